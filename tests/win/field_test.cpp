// What hosts meet in the field: two host processes at once, and a device that vanishes.
#include "tests/win/fixture.h"

#include <cstdlib>
#include <cstring>

// Second host process: loads its own Norvat.dll, opens the port and sends the command
// `times` times. Exit status 0 when every command went out.
int RunChildHost(int argc, char **argv)
{
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

    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string line = std::string("\"") + self + "\" --child 2 CHILD " + std::to_string(times);
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION child = {};
    ASSERT_TRUE(CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                               &child));

    ASSERT_EQ(lib.openport("3"), 1);
    int sent = 0;
    for (int i = 0; i < times; i++)
        sent += lib.sendcommand("PARENT");
    lib.closeport();

    ASSERT_EQ(WaitForSingleObject(child.hProcess, 60000), WAIT_OBJECT_0);
    DWORD childStatus = 99;
    GetExitCodeProcess(child.hProcess, &childStatus);
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);

    EXPECT_EQ(sent, times);
    EXPECT_EQ(childStatus, 0u);
    EXPECT_EQ(fromUs.Wait(), ourWire);
    EXPECT_EQ(fromChild.Wait(), childWire);
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
