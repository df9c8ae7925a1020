// Port numbers, names, serial set-up and closing on Linux, observed from the device's end and
// through stty, as a technician would look at the line.
#include "tests/linux/fixture.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <unistd.h>

#include <cctype>

namespace {

// Whether stty -a output holds a setting as a whole word ("ixon", not "-ixon"); a number is
// the line speed ("speed 9600 baud").
bool SttySays(const std::string &stty, const std::string &setting)
{
    if (std::isdigit((unsigned char)setting[0]))
        return stty.find("speed " + setting + " baud") != std::string::npos;
    for (size_t at = stty.find(setting); at != std::string::npos; at = stty.find(setting, at + 1)) {
        const bool starts = at == 0 || std::isspace((unsigned char)stty[at - 1]) || stty[at - 1] == ';';
        const size_t end = at + setting.size();
        const bool ends = end == stty.size() || std::isspace((unsigned char)stty[end]) || stty[end] == ';';
        if (starts && ends)
            return true;
    }
    return false;
}

std::string Stty(const std::string &node)
{
    return Shell("stty -F " + node + " -a");
}

const char *const kSerialLine[] = {"cs8", "-parenb", "-cstopb", "ixon", "-ixoff", "clocal", "cread",
                                   "-icanon", "-echo", "-isig", "-opost", "-icrnl"};

TEST_F(LinuxTest, EachSelectorOpensItsDevice)
{
    const struct {
        const char *selector, *node;
    } table[] = {
        {"0", "/dev/lp0"},   {"1", "/dev/ttyS0"}, {"2", "/dev/ttyS1"}, {"3", "/dev/ttyS2"},
        {"4", "/dev/ttyS3"}, {"5", "/dev/lp1"},   {"7", "/dev/ttyS6"}, {"8", "/dev/ttyS7"},
        {"9", "/dev/ttyS8"}, {"12", "/dev/ttyS0"},
    };
    for (const auto &c : table) {
        ASSERT_EQ(lib.openport(c.selector), 1) << c.selector;
        EXPECT_TRUE(ProbeArrivesAt(c.node)) << "selector " << c.selector;
    }
    lib.closeport();
}

TEST_F(LinuxTest, NonDigitSelectorReusesTheLastSelection)
{
    // Before any selection that is LPT1.
    ASSERT_EQ(lib.openport("x"), 1);
    EXPECT_TRUE(ProbeArrivesAt("/dev/lp0"));
    ASSERT_EQ(lib.openport("3"), 1);
    ASSERT_EQ(lib.openport(""), 1);
    EXPECT_TRUE(ProbeArrivesAt("/dev/ttyS2"));
    // A name opened through OpenUSB does not change the selection.
    ASSERT_EQ(lib.OpenUSB("COM8"), 1);
    EXPECT_TRUE(ProbeArrivesAt("/dev/ttyS7"));
    ASSERT_EQ(lib.openport("x"), 1);
    EXPECT_TRUE(ProbeArrivesAt("/dev/ttyS2"));
}

TEST_F(LinuxTest, OpenUsbTakesComNamesAndDevicePaths)
{
    const struct {
        const char *request, *node;
        bool serial;
    } opens[] = {
        {"COM1", "/dev/ttyS0", true},
        {"COM9", "/dev/ttyS8", true},
        {"/dev/ttyS4", "/dev/ttyS4", true},
        {"/dev/lp1", "/dev/lp1", false},
    };
    for (const auto &c : opens) {
        ASSERT_EQ(lib.OpenUSB(c.request), 1) << c.request;
        EXPECT_TRUE(ProbeArrivesAt(c.node)) << c.request;
        // Only serial lines take a speed.
        EXPECT_EQ(lib.setbaudrate(19200) != 0, c.serial) << c.request;
    }

    const struct {
        const char *request;
        int error;
    } refused[] = {
        {"COM10", ENOENT},            // /dev/ttyS9 is not there
        {"COM0", ENOENT},             // no such port number
        {"COM01", ENOENT},
        {"COMA", ENOENT},
        {"CONSOLE", ENOENT},
        {"COM123456789012", ENOENT},  // 15 characters: a name, but no such port
        {"COM1234567890123", EINVAL}, // 16 characters
        {"/dev/nosuchport", ENOENT},
        {"com1", ENODEV},             // not "CO": a USB printer's serial
    };
    for (const auto &c : refused) {
        ASSERT_EQ(lib.openport("1"), 1);
        EXPECT_TRUE(FailsWith(Call([&] { return lib.OpenUSB(c.request); }), c.error)) << c.request;
        // A failed open that got as far as a device leaves no port open; an unknown serial
        // leaves the open port alone.
        EXPECT_EQ(lib.sendbuf("z", 1), c.error == ENODEV ? 1 : 0) << c.request;
    }
}

TEST_F(LinuxTest, SerialLineIsSetUpAsTheTerminalShowsIt)
{
    // Start from settings that differ in every respect the library sets.
    Shell("stty -F /dev/ttyS6 4800 cstopb -ixon ixoff icanon echo isig opost icrnl");
    ASSERT_TRUE(SttySays(Stty("/dev/ttyS6"), "4800"));
    ASSERT_EQ(lib.openport("7"), 1);
    const std::string at9600 = Stty("/dev/ttyS6");
    for (const char *expected : kSerialLine)
        EXPECT_TRUE(SttySays(at9600, expected)) << expected << " in: " << at9600;
    EXPECT_TRUE(SttySays(at9600, "9600")) << at9600;

    for (int rate : {19200, 115200, 50, 4000000}) {
        EXPECT_EQ(lib.setbaudrate(rate), 1) << rate;
        const std::string now = Stty("/dev/ttyS6");
        EXPECT_TRUE(SttySays(now, std::to_string(rate))) << now;
        for (const char *expected : kSerialLine)
            EXPECT_TRUE(SttySays(now, expected)) << expected << " at " << rate;
    }
}

TEST_F(LinuxTest, PrintersAndParallelPortsKeepTheirLineSettings)
{
    Shell("stty -F /dev/lp1 icanon echo");
    ASSERT_EQ(lib.openport("5"), 1);
    EXPECT_TRUE(FailsWith(Call([&] { return lib.setbaudrate(9600); }), ENOTTY));
    const std::string stty = Stty("/dev/lp1");
    EXPECT_TRUE(SttySays(stty, "icanon") && SttySays(stty, "echo")) << stty;
}

TEST_F(LinuxTest, RatesWithoutAConstantGoThroughTheDriver)
{
    // umockdev refuses termios2 on its own; with the ioctls passed on, the pty takes any rate,
    // and a driver that keeps another rate has the request refused and the line restored.
    ASSERT_TRUE(bed.PassIoctls("/dev/ttyS0"));
    ASSERT_TRUE(bed.PassIoctls("/dev/ttyS1", true));
    const struct {
        const char *selector, *node;
        int rate;
        int result, error;
        long speedAfter;
    } table[] = {
        {"1", "/dev/ttyS0", 12345, 1, 0, 12345},
        {"1", "/dev/ttyS0", 250000, 1, 0, 250000},
        {"1", "/dev/ttyS0", 57600, 1, 0, 57600},
        {"2", "/dev/ttyS1", 12345, 0, EINVAL, 9600}, // rounds to 12300: refused
        {"2", "/dev/ttyS1", 31250, 1, 0, 31250},
        {"3", "/dev/ttyS2", 12345, 0, ENOTTY, 9600}, // termios2 not taken at all
    };
    for (const auto &c : table) {
        ASSERT_EQ(lib.openport(c.selector), 1);
        const Outcome outcome = Call([&] { return lib.setbaudrate(c.rate); });
        EXPECT_EQ(outcome.result, c.result) << c.node << " at " << c.rate;
        if (c.result == 0) {
            EXPECT_EQ(outcome.error, c.error) << c.node << " at " << c.rate;
        }
        EXPECT_EQ(LineSpeed(bed.End(c.node)), c.speedAfter) << c.node << " at " << c.rate;
    }
}

TEST_F(LinuxTest, ASerialPortHasOneOpenerAtATime)
{
    ASSERT_EQ(lib.openport("1"), 1);
    // Another host process: the norvat tool.
    EXPECT_EQ(Shell(ToolPath() + " send COM1 X 2>&1"),
              "norvat: cannot open COM1: port already open (Device or resource busy)\n");
    // Opening the same port again in this process releases the first open.
    ASSERT_EQ(lib.openport("1"), 1) << "the first descriptor leaked and still holds the port";
    lib.closeport();
    EXPECT_EQ(Shell(ToolPath() + " send COM1 X 2>&1"), "sent 3 bytes to COM1\n");

    // Someone else holds it: this library gets EBUSY, and the port once released.
    const int other = open("/dev/ttyS0", O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(other, 0);
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    EXPECT_TRUE(FailsWith(Call([&] { return lib.openport("1"); }), EBUSY));
    EXPECT_TRUE(FailsWith(Call([&] { return lib.sendbuf("x", 1); }), EBADF));
    close(other);
    ASSERT_EQ(lib.openport("1"), 1);
    EXPECT_TRUE(ProbeArrivesAt("/dev/ttyS0"));
}

// Whether the far end of node sees the library's side closed within ms.
bool SeesHangUp(int end, int ms)
{
    const double deadline = NowMs() + ms;
    while (NowMs() < deadline) {
        struct pollfd p = {end, POLLIN, 0};
        if (poll(&p, 1, 50) > 0 && (p.revents & POLLHUP))
            return true;
    }
    return false;
}

TEST_F(LinuxTest, CloseAndUnloadReleaseThePort)
{
    ASSERT_EQ(lib.openport("4"), 1);
    const int end = bed.End("/dev/ttyS3");
    ASSERT_FALSE(SeesHangUp(end, 100));
    // The 64-bit close reports whether a port was closed.
    EXPECT_EQ(lib.closeport(), 1);
    EXPECT_TRUE(SeesHangUp(end, 1000));
    EXPECT_EQ(lib.closeport(), 0);

    ASSERT_EQ(lib.openport("4"), 1);
    ASSERT_TRUE(ProbeArrivesAt("/dev/ttyS3"));
    lib.Unload();
    EXPECT_TRUE(SeesHangUp(end, 1000)) << "dlclose kept the port open";
    ASSERT_TRUE(lib.Load());
    ASSERT_EQ(lib.openport("4"), 1) << "the unloaded library still holds the port";
    EXPECT_TRUE(ProbeArrivesAt("/dev/ttyS3"));
}

} // namespace
