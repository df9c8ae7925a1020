// Ports by handle on Linux: the shared cases (tests/shared/handle_cases.h) against umockdev's
// USB printers and serial lines, and what only Linux has: fork and pthread_cancel.
#include "tests/linux/fixture.h"
#include "tests/linux/own_network.h"
#include "tests/shared/state_cases.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// A device end of the test bed, read on a thread of its own (unless stalled), which also gives
// the answers the test scripted.
class BedDevice : public TestDevice {
public:
    BedDevice(Testbed &bed, const std::string &node, const std::string &name)
        : bed_(bed), node_(node), name_(name)
    {
        Start();
    }
    ~BedDevice() override { Stop(); }
    std::string Name() override { return name_; }
    std::string Received() override
    {
        std::lock_guard<std::mutex> hold(lock_);
        return received_;
    }
    bool WaitForBytes(size_t count, int ms) override
    {
        const double deadline = NowMs() + ms;
        while (Received().size() < count && NowMs() < deadline)
            usleep(2000);
        return Received().size() >= count;
    }
    void Send(const std::string &bytes) override { WriteEnd(end_, bytes); }
    void Stall(bool stalled) override { stalled_ = stalled; }
    bool WaitClosed(int ms) override
    {
        struct pollfd hangUp = {end_, 0, 0};
        return poll(&hangUp, 1, ms) > 0 && (hangUp.revents & POLLHUP) != 0;
    }
    bool SetState(unsigned state) override
    {
        if (node_.compare(0, 8, "/dev/tty") == 0)
            return bed_.SetModemLines(node_, ((state & NORVAT_STATE_DSR) ? TIOCM_DSR : 0) |
                                                 ((state & NORVAT_STATE_CTS) ? TIOCM_CTS : 0) |
                                                 ((state & NORVAT_STATE_DCD) ? TIOCM_CD : 0));
        return bed_.SetPrinterStatus(node_, ((state & NORVAT_STATE_PAPER_OUT) ? 0x20 : 0) |
                                                ((state & NORVAT_STATE_OFFLINE) ? 0 : 0x10) |
                                                ((state & NORVAT_STATE_ERROR) ? 0 : 0x08));
    }
    void AnswerWhen(const std::string &written, const std::string &answer, int delayMs) override
    {
        std::lock_guard<std::mutex> hold(lock_);
        rules_.push_back({written, answer, delayMs});
    }
    void ClearAnswers() override
    {
        std::lock_guard<std::mutex> hold(lock_);
        rules_.clear();
        unanswered_.clear();
    }

protected:
    void Start()
    {
        end_ = bed_.End(node_);
        fcntl(end_, F_SETFL, fcntl(end_, F_GETFL) | O_NONBLOCK);
        stop_ = false;
        thread_ = std::thread([this] { Run(); });
    }
    void Stop()
    {
        stop_ = true;
        thread_.join();
    }
    Testbed &bed_;
    std::string node_, name_, received_;

private:
    struct Rule {
        std::string written, answer;
        int delayMs;
    };
    void Run()
    {
        while (!stop_) {
            const std::string got = stalled_ ? std::string() : ReadEnd(end_, 65536, 5);
            if (got.empty()) {
                usleep(2000);
                continue;
            }
            std::vector<Rule> answers;
            {
                std::lock_guard<std::mutex> hold(lock_);
                received_ += got;
                unanswered_ += got;
                for (const Rule &rule : rules_) {
                    const size_t at = unanswered_.find(rule.written);
                    if (at != std::string::npos) {
                        unanswered_.erase(0, at + rule.written.size());
                        answers.push_back(rule);
                    }
                }
                if (rules_.empty())
                    unanswered_.clear();
            }
            for (const Rule &rule : answers) {
                usleep((useconds_t)rule.delayMs * 1000);
                WriteEnd(end_, rule.answer);
            }
        }
    }
    int end_ = -1;
    std::mutex lock_;
    std::string unanswered_;
    std::vector<Rule> rules_;
    std::atomic<bool> stalled_{false}, stop_{false};
    std::thread thread_;
};

// A USB printer of the bed, which can be pulled out and plugged back at the next port and node.
class BedPrinter : public BedDevice {
public:
    BedPrinter(Testbed &bed, const UsbPrinter &printer, const std::string &name)
        : BedDevice(bed, "/dev/usb/" + printer.node, name), printer_(printer)
    {
    }
    bool Unplug() override { return bed_.Unplug(printer_); }
    bool Replug() override
    {
        Stop();
        printer_.usbPort += "0";
        printer_.node += "0";
        node_ = "/dev/usb/" + printer_.node;
        received_.clear();
        const bool plugged = bed_.Plug(printer_) && SetState(0);
        Start();
        return plugged;
    }

private:
    UsbPrinter printer_;
};

class LinuxHandles : public LinuxTest {
protected:
    std::unique_ptr<TestDevice> Plug(const PrinterSpec &spec)
    {
        UsbPrinter printer;
        printer.usbPort = "1-" + std::to_string(3 + plugged_);
        printer.node = "lp" + std::to_string(plugged_++);
        printer.vendor = spec.vendor;
        printer.product = spec.product;
        printer.serial = spec.serial;
        printer.deviceId = spec.deviceId;
        const std::string node = "/dev/usb/" + printer.node;
        // The status request is answered from the start: the bed ties it to a node at open().
        EXPECT_TRUE(bed.Plug(printer) && bed.SetPrinterStatus(node, 0x18));
        return std::make_unique<BedPrinter>(bed, printer, spec.serial.empty() ? node : spec.serial);
    }
    std::unique_ptr<TestDevice> Port(const std::string &node, bool line)
    {
        EXPECT_TRUE(line ? bed.SetModemLines(node, 0) : bed.SetPrinterStatus(node, 0x18));
        return std::make_unique<BedDevice>(bed, node, node);
    }

    const HandlePlatform platform{
        [this](const PrinterSpec &spec) { return Plug(spec); },
        [this] { return Port("/dev/ttyS1", true); },
        [this] { return Port("/dev/lp0", false); },
        NORVAT_STATE_PAPER_OUT | NORVAT_STATE_OFFLINE | NORVAT_STATE_ERROR,
        "COM2",
        [] { return errno; },
        EBUSY,
        [this] {
            lib.Unload();
            ASSERT_TRUE(lib.Load());
        },
    };

private:
    int plugged_ = 0;
};

TEST_F(LinuxHandles, EveryMakersPrinterIsListedOpenedAndTalksExactly)
{
    CheckEveryMakersPrinter(lib, platform);
}

TEST_F(LinuxHandles, ThreePortsAtOnceEachGetTheirOwnBytesInOrder)
{
    const std::string problem = EnterOwnNetwork();
    if (!problem.empty())
        GTEST_SKIP() << problem;
    CheckThreePortsAtOnce(lib, platform);
}

TEST_F(LinuxHandles, StalledPrinterDelaysNobodyAndCancelOrCloseEndItAtOnce)
{
    CheckStalledPrinterDelaysNobody(lib, platform);
}

TEST_F(LinuxHandles, TenExportsAndHandlesKeepTheirOwnPorts)
{
    CheckTenExportsBesideHandles(lib, platform);
}

TEST_F(LinuxHandles, FailuresGiveTheirPortableCodes)
{
    CheckHandleFailures(lib, platform);
}

// A thread cancelled inside a stalled write, and a child forked meanwhile: neither leaves a lock
// held, and the child has its own copy of the port. (A line with no ioctl handler of the bed, whose
// threads a child could find holding its locks.)
TEST_F(LinuxHandles, CancelledThreadAndForkedChildLeaveNoLockHeld)
{
    BedDevice line(bed, "/dev/ttyS2", "/dev/ttyS2");
    norvat_port *port = nullptr;
    ASSERT_EQ(lib.open("/dev/ttyS2", &port), 0);
    line.Stall(true);
    static const std::string job(1 << 20, 'J');
    struct Call {
        Norvat *lib;
        norvat_port *port;
    } call{&lib, port};
    pthread_t thread;
    pthread_create(&thread, nullptr, [](void *c) -> void * {
        Call *call = static_cast<Call *>(c);
        call->lib->write(call->port, job.data(), (int)job.size(), 1500);
        return nullptr;
    }, &call);
    SleepMs(200);
    const pid_t child = fork();
    if (child == 0) {
        // The parent's write holds the port's lock; the child's copy is free.
        char buffer[4];
        _exit(lib.read(port, buffer, sizeof buffer, 0) == 0 && lib.close(port) == 0 ? 0 : 1);
    }
    pthread_cancel(thread);
    pthread_join(thread, nullptr);
    int status = -1;
    for (int i = 0; i < 300 && waitpid(child, &status, WNOHANG) == 0; i++)
        SleepMs(10);
    if (!WIFEXITED(status)) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child found a lock held";
    line.Stall(false);
    SleepMs(300); // what the cancelled write had handed over drains first
    const double start = NowMs();
    EXPECT_TRUE(Arrives(lib, port, line, "after the cancelled thread"));
    EXPECT_LT(NowMs() - start, 500) << "the cancelled thread left the lock held";
    EXPECT_EQ(lib.close(port), 0);
}

TEST_F(LinuxHandles, EachPortReportsItsStateAndWhatItKnows)
{
    CheckPortStates(lib, platform);
}

TEST_F(LinuxHandles, EscPosAnswersOverASerialLineAUsbPrinterAndTheNetwork)
{
    std::unique_ptr<TestDevice> line = platform.serialLine();
    CheckEscPosAnswers(lib, *line);
    std::unique_ptr<TestDevice> printer = platform.plug(ThreeMakers()[0]);
    CheckEscPosAnswers(lib, *printer);
    const std::string problem = EnterOwnNetwork();
    if (!problem.empty())
        GTEST_SKIP() << problem;
    NetworkDevice network;
    CheckEscPosAnswers(lib, network);
}

TEST_F(LinuxHandles, UsbPrinterPulledOutMidJobComesBackAtAnotherNode)
{
    CheckUsbPrinterComesBack(lib, platform);
}

TEST_F(LinuxHandles, NetworkPrinterThatClosesResetsOrRestartsComesBack)
{
    const std::string problem = EnterOwnNetwork();
    if (!problem.empty())
        GTEST_SKIP() << problem;
    CheckNetworkPrinterComesBack(lib);
}

} // namespace
