// Ports by handle on Linux: the shared cases (tests/shared/handle_cases.h) against umockdev's
// USB printers and serial lines, and what only Linux has: fork and pthread_cancel.
#include "tests/linux/bed_device.h"
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

class LinuxHandles : public LinuxTest {
protected:
    std::unique_ptr<TestDevice> Plug(const PrinterMake &make)
    {
        const int n = plugged_++;
        return PlugBedPrinter(bed, make, "1-" + std::to_string(3 + n), "lp" + std::to_string(n));
    }
    std::unique_ptr<TestDevice> Port(const std::string &node, bool line)
    {
        EXPECT_TRUE(line ? bed.SetModemLines(node, 0) : bed.SetPrinterStatus(node, 0x18));
        return std::make_unique<BedDevice>(bed, node, node);
    }

    const HandlePlatform platform{
        [this](const PrinterMake &make) { return Plug(make); },
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
