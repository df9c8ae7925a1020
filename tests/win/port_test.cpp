// Port selection, opening, line set-up and closing, observed from the device's end.
#include "tests/win/guarded_buffer.h"
#include "tests/win/fixture.h"

#include <cctype>
#include <cstring>

namespace {

// Where bytes sent after an open show up.
struct Target {
    std::string deviceEnd; // what the test opens to see them
    bool serial;
};

Target Com(int n) { return {DeviceEndOf(n), true}; }
Target Lpt(int n) { return {ToWindowsPath(TestbedUnixPath("dev/lpt" + std::to_string(n))), false}; }

// Sends a probe through the library and says whether `target` received exactly it.
::testing::AssertionResult ProbeArrivesAt(Norvat &lib, const Target &target)
{
    DeviceEnd device(target.deviceEnd);
    if (!device.IsOpen())
        return ::testing::AssertionFailure() << "cannot open " << target.deviceEnd;
    device.Drain(50);
    const std::string probe = "probe-" + std::to_string(GetTickCount());
    if (lib.sendbuf(probe.data(), (int)probe.size()) != (int)probe.size())
        return ::testing::AssertionFailure() << "sendbuf did not write the probe";
    const std::string got = device.Read(probe.size(), 3000);
    if (got != probe)
        return ::testing::AssertionFailure() << target.deviceEnd << " got '" << got << "'";
    return ::testing::AssertionSuccess();
}

// Whether stty -a output holds a setting as a whole word ("ixon", not "-ixon"); a number is
// the line speed ("speed 9600 baud").
bool SttySays(const std::string &stty, const std::string &setting)
{
    if (setting[0] >= '0' && setting[0] <= '9')
        return stty.find("speed " + setting + " baud") != std::string::npos;
    for (size_t at = stty.find(setting); at != std::string::npos; at = stty.find(setting, at + 1)) {
        const bool starts = at == 0 || std::isspace((unsigned char)stty[at - 1]);
        const size_t end = at + setting.size();
        const bool ends = end == stty.size() || std::isspace((unsigned char)stty[end]);
        if (starts && ends)
            return true;
    }
    return false;
}

struct SelectorCase {
    const char *selector;
    Target (*target)(int);
    int number;
};

class Selector : public NorvatTest, public ::testing::WithParamInterface<SelectorCase> {};

TEST_P(Selector, OpensTheDeviceOfItsFirstCharacter)
{
    const SelectorCase &c = GetParam();
    ASSERT_EQ(lib.openport(c.selector), 1);
    EXPECT_TRUE(ProbeArrivesAt(lib, c.target(c.number)));
    lib.closeport();
}

INSTANTIATE_TEST_SUITE_P(Ports, Selector,
                         ::testing::Values(SelectorCase{"0", Lpt, 1}, SelectorCase{"1", Com, 1},
                                           SelectorCase{"2", Com, 2}, SelectorCase{"3", Com, 3},
                                           SelectorCase{"4", Com, 4}, SelectorCase{"5", Lpt, 2},
                                           SelectorCase{"7", Com, 7}, SelectorCase{"8", Com, 8},
                                           SelectorCase{"9", Com, 9}, SelectorCase{"12", Com, 1}),
                         [](const ::testing::TestParamInfo<SelectorCase> &info) {
                             return std::string("Selector") + info.param.selector + "_" +
                                    (info.param.target == Com ? "COM" : "LPT") +
                                    std::to_string(info.param.number);
                         });

TEST_F(NorvatTest, NonDigitSelectorReusesTheLastSelection)
{
    // Before any selection that is LPT1.
    ASSERT_EQ(lib.openport("x"), 1);
    EXPECT_TRUE(ProbeArrivesAt(lib, Lpt(1)));
    ASSERT_EQ(lib.openport(""), 1);
    EXPECT_TRUE(ProbeArrivesAt(lib, Lpt(1)));

    ASSERT_EQ(lib.openport("3"), 1);
    lib.closeport();
    ASSERT_EQ(lib.openport("x"), 1);
    EXPECT_TRUE(ProbeArrivesAt(lib, Com(3)));
    lib.closeport();
}

TEST_F(NorvatTest, OpenUsbWithComNameOpensThatPortAndKeepsTheSelection)
{
    ASSERT_EQ(lib.openport("8"), 1);
    // COM12 is the far end of the COM2 pair, so the probe shows up on COM2.
    ASSERT_EQ(lib.OpenUSB("COM12"), 1);
    EXPECT_TRUE(ProbeArrivesAt(lib, {"\\\\.\\COM2", true}));
    EXPECT_NE(SttyOfCom(12).find("speed 9600 baud"), std::string::npos);
    lib.closeport();

    ASSERT_EQ(lib.openport("x"), 1); // still port number 8
    EXPECT_TRUE(ProbeArrivesAt(lib, Com(8)));
    lib.closeport();
}

TEST_F(NorvatTest, LowerCaseComNameTakesTheUsbBranch)
{
    // No USB printer is registered: the USB branch finds nothing, and it has made port
    // number 6 the selection, so a later "x" goes to the USB printer too, not to LPT1.
    EXPECT_EQ(lib.OpenUSB("com12"), 0);
    EXPECT_EQ(lib.openport("x"), 0);
    EXPECT_EQ(lib.sendbuf("z", 1), 0);
}

TEST_F(NorvatTest, SerialLineIsSetUpAsTheOsSeesIt)
{
    // Start from settings that differ in every respect the library sets.
    RunUnix("stty -F " + TestbedUnixPath("dev/com7") + " 4800 cs7 parenb cstopb -ixon");
    ASSERT_EQ(lib.openport("7"), 1);
    const std::string at9600 = SttyOfCom(7);
    for (const char *expected : {"9600", "cs8", "-parenb", "-cstopb", "ixon"})
        EXPECT_TRUE(SttySays(at9600, expected)) << expected << " in: " << at9600;

    EXPECT_NE(lib.setbaudrate(19200), 0);
    const std::string at19200 = SttyOfCom(7);
    for (const char *expected : {"19200", "cs8", "-parenb", "-cstopb", "ixon"})
        EXPECT_TRUE(SttySays(at19200, expected)) << expected << " in: " << at19200;
    lib.closeport();
}

TEST_F(NorvatTest, SetbaudrateFailsWithoutASerialPort)
{
    EXPECT_EQ(lib.setbaudrate(9600), 0) << "no port open";
    ASSERT_EQ(lib.openport("0"), 1);
    EXPECT_EQ(lib.setbaudrate(9600), 0) << "LPT1 refuses serial settings";
    lib.closeport();
}

TEST_F(NorvatTest, CloseportResultDiffersByBuildAndReleasesThePort)
{
    ASSERT_EQ(lib.openport("1"), 1);
    ASSERT_GT(OpenersOfCom(1), 0);
#ifdef _WIN64
    EXPECT_NE(lib.closeport(), 0);
#else
    EXPECT_EQ(lib.closeport(), 0);
#endif
    EXPECT_EQ(OpenersOfCom(1), 0);
    // Nothing open: no close is attempted, and both builds say 0.
    EXPECT_EQ(lib.closeport(), 0);
    EXPECT_EQ(lib.sendbuf("z", 1), 0);
}

TEST_F(NorvatTest, ReopenWithoutCloseReleasesTheOldPort)
{
    // Wine keeps a port's descriptor in the server and in the process, so count one open first.
    ASSERT_EQ(lib.openport("1"), 1);
    const int once = OpenersOfCom(1);
    ASSERT_GT(once, 0);
    ASSERT_EQ(lib.openport("1"), 1) << "the same port again";
    EXPECT_EQ(OpenersOfCom(1), once) << "the first handle leaked";
    ASSERT_EQ(lib.openport("2"), 1);
    EXPECT_EQ(OpenersOfCom(1), 0);
    EXPECT_EQ(OpenersOfCom(2), once);
    EXPECT_TRUE(ProbeArrivesAt(lib, Com(2)));
    lib.closeport();
}

TEST_F(NorvatTest, FailedOpenLeavesNoPortOpen)
{
    struct {
        const char *name;
        const char *why;
    } cases[] = {
        {"COM1234567890123", "16 characters: over the limit"},
        {"COM4567890123456789012345678901234567890", "far over the limit"},
        {"COM55", "no such port"},
    };
    for (const auto &c : cases) {
        ASSERT_EQ(lib.openport("1"), 1);
        EXPECT_EQ(lib.OpenUSB(c.name), 0) << c.why;
        EXPECT_EQ(OpenersOfCom(1), 0) << c.why;
        EXPECT_EQ(lib.sendbuf("z", 1), 0) << c.why;
    }
}

TEST_F(NorvatTest, UnloadClosesTheOpenPort)
{
    ASSERT_EQ(lib.openport("4"), 1);
    ASSERT_GT(OpenersOfCom(4), 0);
    lib.Unload();
    EXPECT_EQ(OpenersOfCom(4), 0);

    // And the port opens again in a fresh load; unloading with nothing open is harmless.
    ASSERT_TRUE(lib.Load());
    ASSERT_EQ(lib.openport("4"), 1);
    EXPECT_TRUE(ProbeArrivesAt(lib, Com(4)));
    lib.closeport();
    lib.Unload();
    ASSERT_TRUE(lib.Load());
}

TEST_F(NorvatTest, VersionFillsExactlySixteenBytes)
{
    GuardedBuffer buffer(NORVAT_VERSION_BUFFER_SIZE);
    EXPECT_EQ(lib.GetDllVersion(buffer.data()), 15);
    EXPECT_EQ(std::memcmp(buffer.data(), "Ver1.2 2011/8/1", 16), 0);
}

TEST_F(NorvatTest, SampleExportsAreThereByDecoratedName)
{
    using Fn = int (*)();
    auto fn = reinterpret_cast<Fn>(reinterpret_cast<void *>(GetProcAddress(lib.module, "_Z8fnNorvatv")));
    ASSERT_NE(fn, nullptr);
    EXPECT_EQ(fn(), 42);
    auto n = reinterpret_cast<int *>(GetProcAddress(lib.module, "nNorvat"));
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(*n, 0);
}

} // namespace
