// Ports by handle on Windows: the shared cases (tests/shared/handle_cases.h, state_cases.h)
// against the test bed's driver, whose USB printers, serial and parallel ports answer the class
// requests, with real entries in the registry's USB printer interface class.
#include "tests/shared/state_cases.h"
#include "tests/win/driver_test_device.h"
#include "tests/win/usb_sim.h"

namespace {

class Handles : public DriverTest {
protected:
    std::unique_ptr<TestDevice> Plug(const PrinterMake &make)
    {
        return PlugDriverPrinter(make, plugged_++);
    }
    std::unique_ptr<TestDevice> Port(DriverDevice::Kind kind, const std::string &name)
    {
        auto port = std::make_unique<DriverTestDevice>(kind, name, name);
        EXPECT_TRUE(port->Plugged()) << name;
        return port;
    }

    const HandlePlatform platform{
        [this](const PrinterMake &make) { return Plug(make); },
        [this] { return Port(DriverDevice::kSerialPort, "COM21"); },
        [this] { return Port(DriverDevice::kParallelPort, "LPT3"); },
        NORVAT_STATE_PAPER_OUT | NORVAT_STATE_OFFLINE,
        "COM21",
        [] { return (int)GetLastError(); },
        ERROR_BUSY,
        [this] {
            lib.Unload();
            ASSERT_TRUE(lib.Load());
        },
    };

private:
    int plugged_ = 0;
};

// The network printer cases need the run's own network namespace: suites named Network...
class NetworkHandles : public Handles {
protected:
    void SetUp() override
    {
        Handles::SetUp();
        if (!IsSkipped() && !ServerInOwnNetwork())
            GTEST_SKIP() << "Wine's server is not in a network namespace of the run's own";
    }
};

TEST_F(Handles, EveryMakersPrinterIsListedOpenedAndTalksExactly)
{
    CheckEveryMakersPrinter(lib, platform);
}

TEST_F(Handles, StalledPrinterDelaysNobodyAndCancelOrCloseEndItAtOnce)
{
    CheckStalledPrinterDelaysNobody(lib, platform);
}

TEST_F(Handles, TenExportsAndHandlesKeepTheirOwnPorts)
{
    CheckTenExportsBesideHandles(lib, platform);
}

TEST_F(Handles, FailuresGiveTheirPortableCodes)
{
    CheckHandleFailures(lib, platform);
}

TEST_F(Handles, EachPortReportsItsStateAndWhatItKnows)
{
    CheckPortStates(lib, platform);
}

TEST_F(Handles, EscPosAnswersOverASerialLineAndAUsbPrinter)
{
    std::unique_ptr<TestDevice> line = platform.serialLine();
    CheckEscPosAnswers(lib, *line);
    std::unique_ptr<TestDevice> printer = platform.plug(ThreeMakers()[0]);
    CheckEscPosAnswers(lib, *printer);
}

TEST_F(Handles, UsbPrinterPulledOutMidJobComesBackAtAnotherNode)
{
    CheckUsbPrinterComesBack(lib, platform);
}

// RcvBuf polls without an event: a printer that goes while it waits must end it at once, not
// after the whole 450 ms window.
TEST_F(Handles, TenExportsReadOfAPrinterThatGoesEndsAtOnce)
{
    std::unique_ptr<TestDevice> printer = Plug({"03f0", "1950", "GOES01", "Old printer", ""});
    ASSERT_EQ(lib.OpenUSB("GOES01"), 1);
    double took = 0;
    std::thread reader([&] {
        char answer[8];
        const double start = NowMs();
        EXPECT_EQ(lib.RcvBuf(answer, 7), 0);
        took = NowMs() - start;
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_GEN_FAILURE);
    });
    SleepMs(60);
    ASSERT_TRUE(printer->Unplug());
    reader.join();
    EXPECT_LT(took, 300) << "the read polled out its window";
    lib.closeport();
}

TEST_F(NetworkHandles, ThreePortsAtOnceEachGetTheirOwnBytesInOrder)
{
    CheckThreePortsAtOnce(lib, platform);
}

TEST_F(NetworkHandles, EscPosAnswersFromANetworkPrinter)
{
    NetworkDevice network;
    CheckEscPosAnswers(lib, network);
}

TEST_F(NetworkHandles, NetworkPrinterThatClosesResetsOrRestartsComesBack)
{
    CheckNetworkPrinterComesBack(lib);
}

// A process that ends with a network printer's handle open ends cleanly: at exit the library
// touches no socket (ws2_32 may be gone before it).
TEST_F(NetworkHandles, ProcessThatExitsWithANetworkHandleOpenExitsCleanly)
{
    LoopbackPrinter printer;
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, sizeof self);
    const std::string command = std::string("\"") + self + "\" --exit-with-open-handle " +
                                printer.Address();
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child = {};
    ASSERT_TRUE(CreateProcessA(nullptr, const_cast<char *>(command.c_str()), nullptr, nullptr,
                               FALSE, 0, nullptr, nullptr, &startup, &child));
    ASSERT_EQ(WaitForSingleObject(child.hProcess, 10000), WAIT_OBJECT_0) << "the child hung";
    DWORD code = 1;
    GetExitCodeProcess(child.hProcess, &code);
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
    EXPECT_EQ(code, 7u) << "the child did not end as it meant to";
    EXPECT_TRUE(printer.WaitForBytes(4, 1000));
    EXPECT_EQ(printer.Received(), "EXIT");
}

} // namespace

// The child of ProcessThatExitsWithANetworkHandleOpenExitsCleanly: opens the printer, writes, and
// ends the process with the handle open.
int ExitWithOpenHandle(const char *address)
{
    Norvat lib;
    norvat_port *port = nullptr;
    if (!lib.Load() || lib.open(address, &port) != 0 || lib.write(port, "EXIT", 4, -1) != 4)
        return 1;
    ExitProcess(7);
}
