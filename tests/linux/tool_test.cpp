// The norvat tool on Linux, run as a technician would, against the emulated devices.
#include "tests/linux/fixture.h"
#include "tests/linux/own_network.h"
#include "tests/shared/loopback_printer.h"

#include <fcntl.h>
#include <netdb.h>

#include <fstream>

namespace {

// Runs the tool with arguments (shell words: redirections work); its standard output and error,
// and "[exit N]" at the end.
std::string Tool(const std::string &arguments)
{
    return Shell(ToolPath() + " " + arguments + " 2>&1; echo \"[exit $?]\"");
}

// A file in the test's own directory holding bytes; gives its path.
std::string FileOf(const std::string &name, const std::string &bytes)
{
    const std::string path = std::string(std::getenv("TMPDIR")) + "/" + name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

// What a device end gets within ms, waiting also while no one has its port open yet (then the
// end reads as hung up).
std::string AwaitEnd(int fd, size_t count, int ms)
{
    std::string got;
    for (const double deadline = NowMs() + ms; got.size() < count && NowMs() < deadline; usleep(10000))
        got += ReadEnd(fd, count - got.size(), 50);
    return got;
}

std::string EveryByteValue()
{
    std::string every(256, '\0');
    for (int i = 0; i < 256; i++)
        every[(size_t)i] = (char)i;
    return every;
}

class LinuxTool : public LinuxTest {
protected:
    void SetUp() override
    {
        LinuxTest::SetUp();
        for (int slot : {2, 3}) {
            UsbPrinter &p = printers[slot - 2];
            p.usbPort = "1-" + std::to_string(slot);
            p.node = "lp" + std::to_string(slot);
            p.serial = slot == 2 ? "LBL0042" : "RCP7731";
            p.deviceId = slot == 2 ? "MFG:Acme;MDL:LP-1;DES:Label printer;" : "MDL:Receipt printer;";
            ASSERT_TRUE(bed.Plug(p)) << bed.Error();
        }
    }
    UsbPrinter printers[2];
};

TEST_F(LinuxTool, PortsShowsEverySerialAndParallelPortAndThePrinters)
{
    std::string expected;
    for (int n = 0; n <= 8; n++)
        expected += "serial    /dev/ttyS" + std::to_string(n) + "  (COM" + std::to_string(n + 1) + ")\n";
    expected += "parallel  /dev/lp0    (LPT1)\nparallel  /dev/lp1    (LPT2)\n"
                "usb       Label printer#LBL0042\nusb       Receipt printer#RCP7731\n[exit 0]\n";
    EXPECT_EQ(Tool("ports"), expected);
    EXPECT_EQ(Tool("list"), "Label printer#LBL0042\nReceipt printer#RCP7731\n[exit 0]\n");
}

TEST_F(LinuxTool, QueriesAPrinterByListingTextAndSendsExactBytes)
{
    Answerer receipt(bed.End("/dev/usb/lp3"), "RCP7731");
    EXPECT_EQ(Tool("query 'Receipt printer#RCP7731' '~HS'"), "RCP7731:~HS\n[exit 0]\n");
    EXPECT_EQ(receipt.Received(), "~HS\r\n");

    const int end = bed.End("/dev/ttyS1");
    EXPECT_EQ(Tool("send --hex COM2 '1B 40 00 ff'"), "sent 4 bytes to COM2\n[exit 0]\n");
    EXPECT_EQ(ReadEnd(end, 5, 1000), std::string("\x1b\x40\x00\xff", 4));
    EXPECT_EQ(Tool("baud /dev/ttyS1 38400"), "[exit 0]\n");
    EXPECT_EQ(LineSpeed(end), 38400);
}

TEST_F(LinuxTool, FailuresExitWithOneLineThatSaysWhy)
{
    const struct {
        const char *arguments, *output;
    } cases[] = {
        {"send COM55 X", "norvat: cannot open COM55: No such file or directory\n[exit 1]\n"},
        {"send COM1234567890123 X",
         "norvat: cannot open COM1234567890123: Invalid argument\n[exit 1]\n"},
        {"query 1 '~HS'", "norvat: no answer from 1: Connection timed out\n[exit 1]\n"},
        {"baud LPT1 9600",
         "norvat: cannot set 9600 bit/s on LPT1: Inappropriate ioctl for device\n[exit 1]\n"},
        {"query NOSUCHSERIAL X", "norvat: no USB printer with serial NOSUCHSERIAL is connected\n[exit 1]\n"},
        {"send 'Desk#NOSUCH' X", "norvat: no USB printer with serial NOSUCH is connected\n[exit 1]\n"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(Tool(c.arguments), c.output) << c.arguments;
}

TEST_F(LinuxTool, BaudSetsTheLineBeforeTalkingAndARefusedRateEndsWithTheReason)
{
    // A device at 19200 bit/s: it makes sense only of what arrives while the line runs at that.
    const int end = bed.End("/dev/ttyS2");
    std::thread device([&] {
        if (AwaitEnd(end, 5, 5000) == "~HS\r\n" && LineSpeed(end) == 19200)
            WriteEnd(end, "AT 19200\r\n");
    });
    EXPECT_EQ(Tool("query --baud 19200 COM3 '~HS'"), "AT 19200\n[exit 0]\n");
    device.join();

    ASSERT_TRUE(bed.PassIoctls("/dev/ttyS1", true)); // its driver keeps 12300 for 12345
    const struct {
        const char *arguments, *output;
    } refused[] = {
        {"query --baud 12345 COM2 '~HS'",
         "norvat: cannot set 12345 bit/s on COM2: Invalid argument\n[exit 1]\n"},
        {"send LPT1 --baud 9600 X",
         "norvat: cannot set 9600 bit/s on LPT1: Inappropriate ioctl for device\n[exit 1]\n"},
        {"monitor --baud 9600 RCP7731 </dev/null",
         "norvat: cannot set 9600 bit/s on RCP7731: Inappropriate ioctl for device\n[exit 1]\n"},
    };
    for (const auto &c : refused)
        EXPECT_EQ(Tool(c.arguments), c.output) << c.arguments;
    EXPECT_EQ(DrainEnd(bed.End("/dev/ttyS1"), 50), "") << "talked after a refused rate";
}

TEST_F(LinuxTool, SendFileDeliversEveryByteValueAndSaysWhenTheDeviceStopsTaking)
{
    const std::string every = EveryByteValue(), path = FileOf("every.bin", every);
    const int end = bed.End("/dev/ttyS1");
    for (const std::string &from : {"COM2 - <" + path, "--baud 38400 COM2 " + path}) {
        EXPECT_EQ(Tool("send --file " + from), "sent 256 bytes to COM2\n[exit 0]\n") << from;
        EXPECT_EQ(ReadEnd(end, 257, 1000), every) << from;
    }
    EXPECT_EQ(LineSpeed(end), 38400);

    // A line that sends 3 bytes and then stops: the rest goes in a second write, which takes nothing.
    ASSERT_TRUE(bed.EmulateUart("/dev/ttyS3"));
    std::string early;
    std::thread device([&] { early = AwaitEnd(bed.End("/dev/ttyS3"), 3, 1500); });
    EXPECT_EQ(Tool("send --file COM4 " + FileOf("eight", "ABCDEFGH")),
              "norvat: COM4 took 3 of 8 bytes: Connection timed out\n[exit 1]\n");
    device.join();
    EXPECT_EQ(early, "ABC");
    EXPECT_EQ(Tool("send --file COM4 no-such-file"),
              "norvat: cannot read no-such-file: No such file or directory\n[exit 1]\n");
}

TEST_F(LinuxTool, MonitorSendsEachLineOfAScriptAndShowsEachAnswer)
{
    Answerer receipt(bed.End("/dev/usb/lp3"), "RCP7731"), serial(bed.End("/dev/ttyS2"), "COM3");
    EXPECT_EQ(Tool("monitor 'Receipt printer#RCP7731' <" + FileOf("script", "~HS\nSECOND\r\nLAST")),
              "--- norvat monitor on Receipt printer#RCP7731: lines go out with CR LF; end of input or "
              "Ctrl-C ends ---\nRCP7731:~HS\nRCP7731:SECOND\nRCP7731:LAST\n"
              "--- closed Receipt printer#RCP7731 ---\n[exit 0]\n");
    EXPECT_EQ(receipt.Received(), "~HS\r\nSECOND\r\nLAST\r\n");

    // As hexdump -C shows them; a line that is not hex is not sent.
    EXPECT_EQ(Shell(ToolPath() + " monitor --hex COM3 2>/dev/null <" +
                    FileOf("hex", "nonsense\n7e 48 53 0d 0a\n")),
              Shell("printf 'COM3:~HS\\r\\n' | hexdump -C | head -n 1"));
    EXPECT_EQ(serial.Received(), "~HS\r\n");
}

// The way a person uses it: typed in a terminal (tmux's, of this test's own), ended with Ctrl-C.
TEST_F(LinuxTool, MonitorInATerminalShowsTheAnswerAndClosesThePortOnCtrlC)
{
    Answerer printer(bed.End("/dev/ttyS2"), "COM3");
    struct Terminal {
        const std::string tmux = "tmux -S " + std::string(std::getenv("TMPDIR")) + "/tmux -f /dev/null ";
        ~Terminal() { Shell(tmux + "kill-server"); }
        ::testing::AssertionResult Shows(const std::string &text)
        {
            std::string screen;
            for (int i = 0; i < 100; i++, usleep(100000))
                if ((screen = Shell(tmux + "capture-pane -p")).find(text) != std::string::npos)
                    return ::testing::AssertionSuccess();
            return ::testing::AssertionFailure() << "no '" << text << "' on the screen:\n" << screen;
        }
    } terminal;
    Shell(terminal.tmux + "new-session -d -x 150 -y 20 '" + ToolPath() +
          " monitor COM3; echo \"[exit $?]\"; sleep 60'");
    ASSERT_TRUE(terminal.Shows("--- norvat monitor on COM3"));
    EXPECT_EQ(lib.openport("3"), 0) << "the monitor does not hold COM3";
    Shell(terminal.tmux + "send-keys '~HS' Enter");
    EXPECT_TRUE(terminal.Shows("~HS\nCOM3:~HS\n"));
    Shell(terminal.tmux + "send-keys C-c");
    EXPECT_TRUE(terminal.Shows("--- closed COM3 ---\n[exit 0]"));
    EXPECT_EQ(printer.Received(), "~HS\r\n");
    EXPECT_EQ(lib.openport("3"), 1) << "COM3 was left open";
}

TEST_F(LinuxTool, ListingTextsOpenExactlyWhereOpenUSBOpensThem)
{
    const std::string fits(41, 'F'), over(42, 'O');
    UsbPrinter a = printers[0], b = printers[0];
    a.usbPort = "1-4", a.node = "lp4", a.serial = "FITS", a.deviceId = "DES:" + fits + ";";
    b.usbPort = "1-5", b.node = "lp5", b.serial = "OVER", b.deviceId = "DES:" + over + ";";
    ASSERT_TRUE(bed.Plug(a) && bed.Plug(b)) << bed.Error();
    Answerer answer(bed.End("/dev/usb/lp4"), "FITS");
    const std::string list = Tool("list");
    const struct {
        std::string text, output;
    } cases[] = {
        {fits + "#FITS", "FITS:~HS\n[exit 0]\n"},
        {over + "#OVER", "norvat: no USB printer with serial " + over + "#OVER is connected (a listing text opens its "
                         "printer only when the description has at most 41 characters and no '#': "
                         "pass the serial alone)\n[exit 1]\n"},
    };
    for (const auto &c : cases) {
        EXPECT_NE(list.find(c.text + "\n"), std::string::npos) << list;
        EXPECT_EQ(Tool("query '" + c.text + "' '~HS'"), c.output);
        EXPECT_EQ(lib.OpenUSB(c.text.c_str()), c.output.find("[exit 0]") != std::string::npos ? 1 : 0);
    }
}

TEST_F(LinuxTool, QueryEndsAtOnceWhenTheReadFailsForGood)
{
    // The printer is pulled out once it has the command. The tool must not inherit the device
    // end, or the pty would not hang up when the bed closes it.
    fcntl(bed.End("/dev/usb/lp2"), F_SETFD, FD_CLOEXEC);
    std::thread pull([&] {
        if (AwaitEnd(bed.End("/dev/usb/lp2"), 5, 5000) == "~HS\r\n")
            bed.Unplug(printers[0]);
    });
    const double start = NowMs();
    EXPECT_EQ(Tool("query LBL0042 '~HS'"), "norvat: cannot read from LBL0042: Input/output error\n[exit 1]\n");
    EXPECT_LT(NowMs() - start, 1500);
    pull.join();
}

class LinuxToolNetwork : public LinuxTest {
protected:
    void SetUp() override
    {
        LinuxTest::SetUp();
        const std::string problem = EnterOwnNetwork(); // the tool, started from here, is in it too
        if (!problem.empty())
            GTEST_SKIP() << problem;
    }
};

TEST_F(LinuxToolNetwork, TalksToANetworkPrinterAndSaysWhyOneCannotBeReached)
{
    LoopbackPrinter printer;
    int closed;
    {
        LoopbackPrinter gone;
        closed = gone.Port();
    }
    errno = 0;
    ASSERT_EQ(lib.OpenUSB("tcp://no-such-printer.invalid"), 0);
    const std::string unknown = gai_strerror(errno), refused = "tcp://127.0.0.1:" + std::to_string(closed);
    const struct {
        std::string arguments, output;
    } cases[] = {
        {"query " + printer.Address() + " '~HS'", "NET:~HS\n[exit 0]\n"},
        {"send " + refused + " X", "norvat: cannot open " + refused + ": Connection refused\n[exit 1]\n"},
        {"send tcp://no-such-printer.invalid X",
         "norvat: cannot open tcp://no-such-printer.invalid: " + unknown + "\n[exit 1]\n"},
        {"send --baud 9600 " + printer.Address() + " X",
         "norvat: cannot set 9600 bit/s on " + printer.Address() + ": Inappropriate ioctl for device\n[exit 1]\n"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(Tool(c.arguments), c.output) << c.arguments;
    EXPECT_EQ(printer.Received(), "~HS\r\n");
    EXPECT_EQ(Tool("send tcp://printer:0 X").rfind("norvat: tcp://printer:0 is no network printer's address", 0), 0u);
}

} // namespace
