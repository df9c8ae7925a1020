// The Linux test bed's devices as the shared cases' TestDevice (tests/shared/handle_cases.h): a
// device end read on a thread of its own, and USB printers that can be pulled out and plugged
// back.
#pragma once

#include "tests/linux/testbed.h"
#include "tests/shared/handle_cases.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

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

// Plugs a printer of that make in at USB port usbPort ("1-3") as /dev/usb/<node>, reporting all well.
// Its TestDevice's name is its serial, or its node when it has none.
inline std::unique_ptr<TestDevice> PlugBedPrinter(Testbed &bed, const PrinterMake &make,
                                                  const std::string &usbPort, const std::string &node)
{
    UsbPrinter printer;
    printer.usbPort = usbPort;
    printer.node = node;
    printer.vendor = make.vendor;
    printer.product = make.product;
    printer.serial = make.serial;
    printer.deviceId = make.deviceId;
    const std::string path = "/dev/usb/" + node;
    // The status request is answered from the start: the bed ties it to a node at open().
    EXPECT_TRUE(bed.Plug(printer) && bed.SetPrinterStatus(path, 0x18)) << bed.Error();
    return std::make_unique<BedPrinter>(bed, printer, make.serial.empty() ? path : make.serial);
}
