// The fixture of the USB printer tests: simulated printers (named pipes) with real entries in the
// registry of the test prefix, cleared before and after each test.
#pragma once

#include "tests/win/fixture.h"
#include "tests/win/usb_sim.h"

#include <cstring>
#include <memory>
#include <vector>

const char kHp[] = "VID_03F0&PID_1950";   // passes every filter ("_195" and "VID_03F0")
const char kOther[] = "VID_0A5F&PID_0671"; // passes the open and first-listing filters ("_067")
const char kVidOnly[] = "VID_03F0&PID_0002"; // passes the next-listing filter only

class Usb : public NorvatTest {
protected:
    void SetUp() override
    {
        NorvatTest::SetUp();
        ASSERT_TRUE(UnderWine()) << "refusing to write the registry outside Wine";
        ASSERT_TRUE(UsbRegistry::Clear());
    }
    void TearDown() override
    {
        lib.closeport();
        printers.clear();
        UsbRegistry::Clear();
        NorvatTest::TearDown();
    }

    // Registers a printer and, unless told otherwise, starts its pipe server.
    SimulatedPrinter *Plug(const std::string &subkey, const std::string &vidPid,
                           const std::string &serial, const std::string &description,
                           bool running = true)
    {
        UsbEntry entry;
        entry.subkey = subkey;
        entry.link = PipeLink(vidPid, serial);
        entry.description = description;
        EXPECT_TRUE(UsbRegistry::Write(entry));
        if (!running)
            return nullptr;
        printers.push_back(std::make_unique<SimulatedPrinter>(entry.link, serial));
        return printers.back().get();
    }

    // A listing call's text, or "<0>" when it returned 0 (and then the buffer is untouched).
    std::string List(decltype(&::FindFirstUSB) call)
    {
        char buffer[NORVAT_LISTING_BUFFER_SIZE];
        std::memset(buffer, 0x55, sizeof buffer);
        if (call(buffer) != 1) {
            for (char c : buffer)
                if (c != 0x55)
                    return "<0, buffer written>";
            return "<0>";
        }
        return buffer;
    }
    std::string First() { return List(lib.FindFirstUSB); }
    std::string Next() { return List(lib.FindNextUSB); }

    // Sends a command through the library and says whether `printer` got it and answered.
    ::testing::AssertionResult Talks(SimulatedPrinter *printer, const std::string &serial)
    {
        const size_t before = printer->Received().size();
        if (lib.sendcommand("~HS") != 1)
            return ::testing::AssertionFailure() << "sendcommand failed";
        if (!printer->WaitForBytes(before + 5, 2000))
            return ::testing::AssertionFailure() << "printer " << serial << " got nothing";
        char answer[64];
        const std::string expected = serial + ":~HS\r\n";
        std::string got;
        for (int i = 0; i < 5 && got.size() < expected.size(); i++) {
            const int n = lib.RcvBuf(answer, 63);
            if (n > 0)
                got.append(answer, n);
        }
        if (got != expected)
            return ::testing::AssertionFailure() << "answer '" << got << "'";
        return ::testing::AssertionSuccess();
    }

    std::vector<std::unique_ptr<SimulatedPrinter>> printers;
};

