// What hosts meet in the field: two host processes at once, and a device that vanishes.
#include "tests/win/usb_fixture.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

// Set by the first host once both have their printer open, so that their writes overlap.
const char kGoEvent[] = "norvat-test-paced-go";
// A host's exit status for a paced run that succeeded: this plus its slowest call in ms.
const int kPacedOk = 100;

// One host's part of a paced run: text one byte per sendbuf, then text as a command. Returns
// the slowest call in ms, or -1 when a call did not write everything.
double PrintPaced(Norvat &lib, const std::string &text)
{
    double slowest = 0;
    auto timed = [&](bool ok, double start) {
        slowest = std::max(slowest, NowMs() - start);
        return ok;
    };
    for (char c : text) {
        const double start = NowMs();
        if (!timed(lib.sendbuf(&c, 1) == 1, start))
            return -1;
    }
    const double start = NowMs();
    return timed(lib.sendcommand(text.c_str()) == 1, start) ? slowest : -1;
}

} // namespace

// Second host process: loads its own Norvat.dll, opens the port and sends the command
// `times` times; exit status 0 when every command went out. With "paced SERIAL TEXT" it opens
// the USB printer SERIAL, waits for the go, prints as PrintPaced does and exits with kPacedOk
// plus its slowest call in ms.
int RunChildHost(int argc, char **argv)
{
    if (argc == 3 && std::strcmp(argv[0], "paced") == 0) {
        Norvat lib;
        HANDLE go = OpenEventA(SYNCHRONIZE, FALSE, kGoEvent);
        if (go == nullptr || !lib.Load() || lib.OpenUSB(argv[1]) != 1)
            return 3;
        WaitForSingleObject(go, 10000);
        const double slowest = PrintPaced(lib, argv[2]);
        lib.closeport();
        return slowest < 0 ? 4 : kPacedOk + (int)std::min(slowest, 60000.0);
    }
    if (argc != 3)
        return 2;
    Norvat lib;
    if (!lib.Load() || lib.openport(argv[0]) != 1)
        return 3;
    int failures = 0;
    for (int i = 0, times = std::atoi(argv[2]); i < times; i++)
        failures += lib.sendcommand(argv[1]) == 1 ? 0 : 1;
    lib.closeport();
    lib.Unload();
    return failures == 0 ? 0 : 4;
}

namespace {

// Starts this program as a second host with args; the handle of its process, or nullptr.
HANDLE StartChildHost(const std::string &args)
{
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string line = std::string("\"") + self + "\" --child " + args;
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION child = {};
    if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                        &child))
        return nullptr;
    CloseHandle(child.hThread);
    return child.hProcess;
}

// Waits for a second host and gives its exit status (99 when it did not end in time).
DWORD ChildStatus(HANDLE child, DWORD ms)
{
    DWORD status = 99;
    if (WaitForSingleObject(child, ms) == WAIT_OBJECT_0)
        GetExitCodeProcess(child, &status);
    CloseHandle(child);
    return status;
}

std::string Repeat(const std::string &line, int times)
{
    std::string all;
    for (int i = 0; i < times; i++)
        all += line;
    return all;
}

TEST_F(NorvatTest, TwoHostProcessesWriteAtOnceWithoutMixingBytes)
{
    // Both processes' writes create and wait on the same named event "write_event".
    const int times = 150;
    DeviceEnd childEnd(DeviceEndOf(2)), ourEnd(DeviceEndOf(3));
    ASSERT_TRUE(childEnd.IsOpen());
    ASSERT_TRUE(ourEnd.IsOpen());
    childEnd.Drain(50);
    ourEnd.Drain(50);
    const std::string childWire = Repeat("CHILD\r\n", times);
    const std::string ourWire = Repeat("PARENT\r\n", times);
    BackgroundRead fromChild(childEnd, childWire.size(), 60000);
    BackgroundRead fromUs(ourEnd, ourWire.size(), 60000);

    HANDLE child = StartChildHost("2 CHILD " + std::to_string(times));
    ASSERT_NE(child, nullptr);

    ASSERT_EQ(lib.openport("3"), 1);
    int sent = 0;
    for (int i = 0; i < times; i++)
        sent += lib.sendcommand("PARENT");
    lib.closeport();

    EXPECT_EQ(ChildStatus(child, 60000), 0u);
    EXPECT_EQ(sent, times);
    EXPECT_EQ(fromUs.Wait(), ourWire);
    EXPECT_EQ(fromChild.Wait(), childWire);
}

// A receipt program and a label program, each printing to its own slow USB printer at the same
// moment: every write of both waits on the one named "write_event", so each process's writes
// reset or take the other's signals. Each write must still end when its own request does.
TEST_F(Usb, TwoHostProcessesPrintToSlowPrintersWithoutWaitingForNothing)
{
    const std::string ours = "RECEIPT-0123456789AB", theirs = "LABEL-0123456789ABCD";
    SimulatedPrinter *printer[2];
    const std::string serials[2] = {"PACED1", "PACED2"};
    for (int i = 0; i < 2; i++) {
        Plug("p" + std::to_string(i), kHp, serials[i], "Paced printer", false);
        printers.push_back(std::make_unique<SimulatedPrinter>(PipeLink(kHp, serials[i]),
                                                              serials[i], 1));
        printer[i] = printers.back().get();
    }
    HANDLE go = CreateEventA(nullptr, TRUE, FALSE, kGoEvent);
    HANDLE child = StartChildHost("paced " + serials[1] + " " + theirs);
    ASSERT_NE(child, nullptr);
    ASSERT_EQ(lib.OpenUSB(serials[0].c_str()), 1);
    for (int i = 0; i < 500 && !printer[1]->Connected(); i++)
        Sleep(10);
    SetEvent(go);
    const double slowest = PrintPaced(lib, ours);
    lib.closeport();
    const DWORD status = ChildStatus(child, 60000);
    CloseHandle(go);

    EXPECT_GE(slowest, 0) << "a call of ours did not write its bytes";
    EXPECT_LT(slowest, 1000) << "our slowest call, ms";
    EXPECT_GE(status, (DWORD)kPacedOk) << "the other host: 3 no open, 4 a call failed, 99 hung";
    EXPECT_LT(status, (DWORD)kPacedOk + 1000) << "the other host's slowest call, ms";
    EXPECT_EQ(printer[0]->Received(), ours + ours + "\r\n");
    EXPECT_TRUE(printer[1]->WaitForBytes(2 * theirs.size() + 2, 2000));
    EXPECT_EQ(printer[1]->Received(), theirs + theirs + "\r\n");
}

// A private socat pair behind COM20 (library) and COM21 (device), so the test can pull it.
class VanishingDevice : public NorvatTest {
protected:
    void Plug()
    {
        const std::string a = TestbedUnixPath("dev/vanish-a"), b = TestbedUnixPath("dev/vanish-b");
        const std::string dos = std::string(std::getenv("WINEPREFIX")) + "/dosdevices/";
        RunUnix("rm -f " + a + " " + b + "; (socat pty,raw,echo=0,link=" + a +
                " pty,raw,echo=0,link=" + b + " >/dev/null 2>&1 & echo $! > " + pidFile + "); " +
                "ln -sfn " + a + " " + dos + "com20; ln -sfn " + b + " " + dos + "com21; " +
                "for i in $(seq 50); do [ -e " + b + " ] && break; sleep 0.1; done");
    }
    void Pull() { RunUnix("kill $(cat " + pidFile + ") && sleep 0.3"); }
    void TearDown() override
    {
        lib.closeport();
        Pull();
        NorvatTest::TearDown();
    }
    const std::string pidFile = TestbedUnixPath("pids/socat-vanish");
};

TEST_F(VanishingDevice, CallsFailWithoutHangingAndThePortReopens)
{
    Plug();
    ASSERT_EQ(lib.OpenUSB("COM20"), 1);
    {
        DeviceEnd device("\\\\.\\COM21");
        ASSERT_TRUE(device.IsOpen());
        EXPECT_EQ(lib.sendcommand("PING"), 1);
        EXPECT_EQ(device.Read(6, 2000), "PING\r\n");
    }

    Pull();
    double start = NowMs();
    EXPECT_EQ(lib.sendcommand("PING"), 0);
    EXPECT_TRUE(IsPlatformFailure(GetLastError())) << "sendcommand of a vanished device";
    EXPECT_EQ(lib.sendbuf("PING", 4), 0);
    EXPECT_TRUE(IsPlatformFailure(GetLastError())) << "sendbuf of a vanished device";
    EXPECT_LT(NowMs() - start, 25000);
    char buffer[16];
    start = NowMs();
    EXPECT_EQ(lib.RcvBuf(buffer, 15), 0);
    EXPECT_TRUE(IsPlatformFailure(GetLastError())) << "rcvbuf of a vanished device";
    EXPECT_LT(NowMs() - start, 1500);
    lib.closeport();

    Plug();
    ASSERT_EQ(lib.OpenUSB("COM20"), 1);
    DeviceEnd device("\\\\.\\COM21");
    ASSERT_TRUE(device.IsOpen());
    EXPECT_EQ(lib.sendcommand("BACK"), 1);
    EXPECT_EQ(device.Read(6, 2000), "BACK\r\n");
}

} // namespace
