// The test bed driver's devices as the shared cases' TestDevice (tests/shared/handle_cases.h):
// what a device received counts from its last plug; a USB printer is listed in the registry and,
// pulled out, comes back under another registry entry.
#pragma once

#include "tests/shared/handle_cases.h"
#include "tests/win/driver_printer.h"
#include "tests/win/fixture.h"
#include "tests/win/testbed.h"
#include "tests/win/usb_sim.h"

#include <cctype>
#include <memory>
#include <string>

const char kClassTail[] = "#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";

// A device of the driver; what it received counts from its last plug.
class DriverTestDevice : public TestDevice {
public:
    DriverTestDevice(DriverDevice::Kind kind, const std::string &link, const std::string &name)
        : device_(kind, link), kind_(kind), name_(name)
    {
    }
    bool Plugged() { return device_.Plugged(); }
    std::string Name() override { return name_; }
    std::string Received() override { return device_.Received().substr(base_); }
    bool WaitForBytes(size_t count, int ms) override
    {
        return device_.WaitForBytes(base_ + count, (DWORD)ms);
    }
    void Send(const std::string &bytes) override
    {
        if (!bytes.empty())
            device_.QueueAnswer(bytes);
    }
    void Stall(bool stalled) override { stalled ? device_.Stall() : device_.Release(); }
    bool WaitClosed(int ms) override
    {
        for (double deadline = NowMs() + ms; device_.Opens() > 0; Sleep(5))
            if (NowMs() > deadline)
                return false;
        return true;
    }
    bool SetState(unsigned state) override
    {
        switch (kind_) {
        case DriverDevice::kUsbPrinter:
            return device_.SetStatus((unsigned char)(((state & NORVAT_STATE_PAPER_OUT) ? 0x20 : 0) |
                                                     ((state & NORVAT_STATE_OFFLINE) ? 0 : 0x10) |
                                                     ((state & NORVAT_STATE_ERROR) ? 0 : 0x08)));
        case DriverDevice::kSerialPort:
            return device_.SetModem(((state & NORVAT_STATE_DSR) ? MS_DSR_ON : 0) |
                                    ((state & NORVAT_STATE_CTS) ? MS_CTS_ON : 0) |
                                    ((state & NORVAT_STATE_DCD) ? MS_RLSD_ON : 0));
        case DriverDevice::kParallelPort:
            return device_.SetParallelStatus((unsigned char)(
                ((state & NORVAT_STATE_PAPER_OUT) ? 0x04 : 0) |
                ((state & NORVAT_STATE_OFFLINE) ? 0x08 : 0x80)));
        }
        return false;
    }
    void AnswerWhen(const std::string &written, const std::string &answer, int delayMs) override
    {
        device_.AnswerWhen(written, answer, (DWORD)delayMs);
    }
    void ClearAnswers() override
    {
        device_.Reset();
        base_ = 0;
    }

protected:
    DriverDevice device_;
    size_t base_ = 0;

private:
    DriverDevice::Kind kind_;
    std::string name_;
};

// A USB printer of the driver, listed in the registry; pulled out, it comes back under another
// registry entry.
class DriverTestPrinter : public DriverTestDevice {
public:
    DriverTestPrinter(const std::string &link, const std::string &name, const std::string &entry,
                      const std::string &description)
        : DriverTestDevice(DriverDevice::kUsbPrinter, link, name), link_(link), entry_(entry),
          description_(description)
    {
        EXPECT_TRUE(RegisterDriverPrinter(entry_, link_, description_));
    }
    bool SetDeviceId(const std::string &id) { return device_.SetDeviceId(id); }
    bool Unplug() override { return device_.Unplug() && UsbRegistry::Remove(entry_); }
    bool Replug() override
    {
        entry_ += "b";
        base_ = device_.Received().size();
        return device_.Replug() && device_.Release() && RegisterDriverPrinter(entry_, link_, description_);
    }

private:
    std::string link_, entry_, description_;
};

// Plugs the n-th printer of a test in, of that make, registered as entry "p<n>" and reporting all
// well. Its TestDevice's name is its serial, or its link when it has none.
inline std::unique_ptr<TestDevice> PlugDriverPrinter(const PrinterMake &make, int n)
{
    const std::string instance = make.serial.empty() ? "6&2c8f1a&0&" + std::to_string(n) : make.serial;
    std::string ids = "VID_" + make.vendor + "&PID_" + make.product;
    for (char &c : ids)
        c = (char)toupper((unsigned char)c);
    const std::string link = "USB#" + ids + "#" + instance + kClassTail;
    auto printer = std::make_unique<DriverTestPrinter>(
        link, make.serial.empty() ? "\\\\?\\" + link : make.serial, "p" + std::to_string(n),
        make.description);
    EXPECT_TRUE(printer->Plugged());
    printer->SetState(0);
    if (!make.deviceId.empty()) {
        EXPECT_TRUE(printer->SetDeviceId(make.deviceId));
    }
    return printer;
}

// The fixture of the tests on the driver's devices: a fresh library, the driver, and the USB
// printer interface class empty before and after each test.
class DriverTest : public NorvatTest {
protected:
    void SetUp() override
    {
        NorvatTest::SetUp();
        ASSERT_TRUE(UnderWine()) << "refusing to write the registry or load a driver outside Wine";
        const std::string why = DriverDevice::Unavailable();
        if (!why.empty())
            GTEST_SKIP() << why;
        ASSERT_TRUE(UsbRegistry::Clear());
    }
    void TearDown() override
    {
        UsbRegistry::Clear();
        NorvatTest::TearDown();
    }
};
