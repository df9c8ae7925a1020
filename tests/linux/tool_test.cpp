// The norvat tool on Linux, run as a technician would, against the emulated devices.
#include "tests/linux/bed_device.h"
#include "tests/linux/fixture.h"
#include "tests/linux/own_network.h"
#include "tests/shared/tool_cases.h"

#include <fcntl.h>
#include <netdb.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <vector>

namespace {

// Runs the tool with arguments (shell words: redirections work); its standard output and error,
// and "[exit N]" at the end.
std::string Tool(const std::string &arguments)
{
    return Shell(ToolPath() + " " + arguments + " 2>&1; echo \"[exit $?]\"");
}

// A path in the tests' directory of this test's own: the tests run side by side there.
std::string OwnPath(const std::string &name)
{
    return std::string(std::getenv("TMPDIR")) + "/" + std::to_string(getpid()) + "-" + name;
}

// A file holding bytes; gives its path.
std::string FileOf(const std::string &name, const std::string &bytes)
{
    std::ofstream(OwnPath(name), std::ios::binary) << bytes;
    return OwnPath(name);
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

// The harness of the cases both platforms share.
const ToolBed kToolBed{
    [](const std::string &arguments, const std::string &input) {
        const std::string in = FileOf("in", input), err = FileOf("err", ""), status = FileOf("status", "");
        ToolRun run;
        run.out = Shell(ToolPath() + " " + arguments + " <" + in + " 2>" + err + "; echo $? >" + status);
        run.err = Shell("cat " + err);
        run.status = std::stoul(Shell("cat " + status));
        return run;
    },
    Shell,
    FileOf,
    [] { return errno; },
    [](int reason) { return std::string(reason < 0 ? gai_strerror(reason) : std::strerror(reason)); },
    [](const std::string &script, const std::string &input) {
        return Shell("python3 " + FileOf("script.py", script) + " <" + FileOf("script-in", input) + " 2>&1");
    },
};

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
    // The bed's ttyS9-ttyS31 have no UART behind them and are left out.
    std::string expected;
    for (int n = 0; n <= 8; n++)
        expected += "serial    /dev/ttyS" + std::to_string(n) + "    COM" + std::to_string(n + 1) + "\n";
    const std::string link = "usb       \\\\?\\USB#VID_03F0&PID_1950#";
    const std::string tail = "#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}  ";
    expected += "serial    /dev/ttyUSB0\nserial    /dev/ttyACM0\n"
                "parallel  /dev/lp0      LPT1\nparallel  /dev/lp1      LPT2\n" +
                link + "LBL0042" + tail + "Label printer\n"
                "          maker Acme, model LP-1, serial LBL0042, USB 03f0:1950\n" +
                link + "RCP7731" + tail + "Receipt printer\n"
                "          model Receipt printer, serial RCP7731, USB 03f0:1950\n[exit 0]\n";
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
        {"send COM55 X", "norvat: cannot open COM55: no such port or printer (No such file or directory)\n[exit 1]\n"},
        {"send COM1234567890123 X",
         "norvat: cannot open COM1234567890123: argument refused (Invalid argument)\n[exit 1]\n"},
        {"query 1 '~HS'", "norvat: no answer from 1 within 5 s\n[exit 1]\n"},
        {"baud LPT1 9600", "norvat: cannot set 9600 bit/s on LPT1: not supported on this port "
                           "(Inappropriate ioctl for device)\n[exit 1]\n"},
        {"query NOSUCHSERIAL X", "norvat: cannot open NOSUCHSERIAL: no such port or printer (No such device)\n[exit 1]\n"},
        {"send 'Desk#NOSUCH' X", "norvat: cannot open Desk#NOSUCH: no such port or printer (No such device)\n[exit 1]\n"},
        // --baud: a rate the driver refuses (it keeps 12300 for 12345), a port with no line.
        {"query --baud 12345 COM2 '~HS'",
         "norvat: cannot set 12345 bit/s on COM2: argument refused (Invalid argument)\n[exit 1]\n"},
        {"monitor RCP7731 --baud 9600", "norvat: cannot set 9600 bit/s on RCP7731: not supported on this port "
                                        "(Inappropriate ioctl for device)\n[exit 1]\n"},
    };
    ASSERT_TRUE(bed.PassIoctls("/dev/ttyS1", true));
    for (const auto &c : cases)
        EXPECT_EQ(Tool(c.arguments), c.output) << c.arguments;
    // Without permission, and what to do about it: the tool run as nobody (root can become it),
    // where nobody may run it at all (a build tree under a private home may not let it).
    const std::string nobody = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
    if (getuid() == 0 && Shell(nobody + ToolPath() + " version >/dev/null 2>&1 && echo runs") == "runs\n") {
        EXPECT_EQ(Shell(nobody + ToolPath() + " send COM2 X 2>&1"),
                  "norvat: cannot open COM2: permission denied (Permission denied)\n"
                  "norvat: add your user to the groups lp (USB and parallel printers) and dialout (serial "
                  "ports): sudo usermod -aG lp,dialout $USER, then log in again\n");
    }
    EXPECT_EQ(DrainEnd(bed.End("/dev/ttyS1"), 50), "") << "talked after a refused rate";
}

TEST_F(LinuxTool, BaudSetsTheLineBeforeTalking)
{
    // A device at 19200 bit/s: it makes sense only of what arrives while the line runs at that.
    const int end = bed.End("/dev/ttyS2");
    std::thread device([&] {
        if (AwaitEnd(end, 5, 5000) == "~HS\r\n" && LineSpeed(end) == 19200)
            WriteEnd(end, "AT 19200\r\n");
    });
    EXPECT_EQ(Tool("query --baud 19200 COM3 '~HS'"), "AT 19200\n[exit 0]\n");
    device.join();
}

TEST_F(LinuxTool, SendFileDeliversEveryByteValueFromAFileOrStandardInput)
{
    const int end = bed.End("/dev/ttyS1");
    CheckSendFileDeliversEveryByte(kToolBed, "COM2", [&](size_t n) { return ReadEnd(end, n, 1000); });
}

TEST_F(LinuxTool, SendFileGoesOnAfterAWriteGivenUpAndSaysHowManyBytesALineThatStopsTook)
{
    // 3 bytes go out, then the line pauses past the write's bound (1 s for 8 bytes): the rest
    // goes in a second write, which a line that resumes takes, and one that stopped does not.
    ASSERT_TRUE(bed.EmulateUart("/dev/ttyS3"));
    const int end = bed.End("/dev/ttyS3");
    const std::string eight = FileOf("eight", "ABCDEFGH");
    for (const bool resumes : {true, false}) {
        std::string got;
        std::thread device([&] {
            got = AwaitEnd(end, 3, 1500);
            usleep(1300000);
            got += resumes ? AwaitEnd(end, 5, 1000) : "";
        });
        EXPECT_EQ(Tool("send --file COM4 " + eight),
                  resumes ? "sent 8 bytes to COM4\n[exit 0]\n"
                          : "norvat: COM4 took 3 of 8 bytes: timed out (Connection timed out)\n[exit 1]\n");
        device.join();
        EXPECT_EQ(got, resumes ? "ABCDEFGH" : "ABC");
        DrainEnd(end, 50);
    }
}

TEST_F(LinuxTool, MonitorSendsEachLineOfAScriptAndShowsEachAnswer)
{
    Answerer receipt(bed.End("/dev/usb/lp3"), "RCP7731");
    CheckMonitorScript(kToolBed, "Receipt printer#RCP7731", "RCP7731", [&] { return receipt.Received(); });
}

// The way a person uses it: typed in a terminal (tmux's, of this test's own), ended with Ctrl-C.
TEST_F(LinuxTool, MonitorInATerminalShowsTheAnswerAndClosesThePortOnCtrlC)
{
    Answerer printer(bed.End("/dev/ttyS2"), "COM3");
    const std::string tmux = "tmux -S " + OwnPath("tmux") + " -f /dev/null ";
    const auto shows = [&](const std::string &text) -> ::testing::AssertionResult {
        std::string screen;
        for (int i = 0; i < 100; i++, usleep(100000))
            if ((screen = Shell(tmux + "capture-pane -p")).find(text) != std::string::npos)
                return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "not on the screen: " << text << "\n" << screen;
    };
    Shell(tmux + "new-session -d -x 150 -y 20 '" + ToolPath() + " monitor COM3; echo \"[exit $?]\"; sleep 60'");
    EXPECT_TRUE(shows("--- norvat monitor on COM3"));
    EXPECT_EQ(lib.openport("3"), 0) << "the monitor does not hold COM3";
    Shell(tmux + "send-keys '~HS' Enter");
    EXPECT_TRUE(shows("~HS\nCOM3:~HS\n"));
    Shell(tmux + "send-keys C-c");
    EXPECT_TRUE(shows("--- closed COM3 ---\n[exit 0]"));
    Shell(tmux + "kill-server");
    EXPECT_EQ(printer.Received(), "~HS\r\n");
    EXPECT_EQ(lib.openport("3"), 1) << "COM3 was left open";
}

TEST_F(LinuxTool, ListingTextsOpenExactlyWhereNorvatOpenOpensThem)
{
    std::vector<std::unique_ptr<Answerer>> answering;
    CheckListingTextsOpenWhereNorvatOpenOpens(lib, kToolBed, [&](const std::string &serial, const std::string &des) {
        UsbPrinter p;
        p.usbPort = "1-" + std::to_string(answering.size() + 4);
        p.node = "lp" + std::to_string(answering.size() + 4);
        p.serial = serial;
        p.deviceId = "DES:" + des + ";";
        ASSERT_TRUE(bed.Plug(p)) << bed.Error();
        answering.push_back(std::make_unique<Answerer>(bed.End("/dev/usb/" + p.node), serial));
    });
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
    EXPECT_EQ(Tool("query LBL0042 '~HS'"),
              "norvat: cannot read from LBL0042: device gone (Input/output error)\n[exit 1]\n");
    EXPECT_LT(NowMs() - start, 1500);
    pull.join();
}

// Printers of other makers, alone on the bed's USB ports.
class LinuxToolPrinters : public LinuxTest {
protected:
    void SetUp() override
    {
        LinuxTest::SetUp();
        for (const PrinterMake &make : ToolPrinters())
            plugged.push_back(PlugBedPrinter(bed, make, "1-" + std::to_string(plugged.size() + 2),
                                             "lp" + std::to_string(plugged.size())));
    }
    std::vector<std::unique_ptr<TestDevice>> plugged;
};

TEST_F(LinuxToolPrinters, PortsListEveryMakersPrinterAsValidJsonAndSendReachesItBySerial)
{
    CheckPortsListEveryMakersPrinter(kToolBed, plugged);
}

TEST_F(LinuxToolPrinters, StatusSaysWhetherThePrinterIsReady)
{
    CheckStatusSaysWhetherThePrinterIsReady(kToolBed, *plugged[0]);
}

// On a Linux without libudev.so.1 (hidden here in a mount namespace of the tool's own) the tool
// says so, rather than that no printer is connected.
TEST_F(LinuxTool, WithoutLibudevSaysItIsNotInstalled)
{
    if (Shell("unshare -m true 2>/dev/null && echo yes") != "yes\n")
        GTEST_SKIP() << "hiding libudev.so.1 needs a mount namespace (root)";
    const std::string hidden =
        "unshare -m sh " +
        FileOf("hide-udev.sh", "lib=$(ldconfig -p | sed -n 's/.*libudev\\.so\\.1 .*=> //p' | head -n 1)\n"
                               "mount --bind /dev/null \"$(readlink -f \"$lib\")\" && exec \"$@\"\n") +
        " " + ToolPath() + " ";
    const std::string missing =
        "norvat: libudev.so.1 is not installed: USB printers cannot be listed or opened without it\n";
    EXPECT_EQ(Shell(hidden + "ports 2>&1 >/dev/null; echo \"[exit $?]\""), missing + "[exit 0]\n");
    EXPECT_EQ(Shell(hidden + "send LBL0042 X 2>&1; echo \"[exit $?]\""),
              "norvat: cannot open LBL0042: not supported on this port (Function not implemented)\n" + missing +
                  "[exit 1]\n");
    EXPECT_EQ(Tool("send LBL0042 X"), "sent 3 bytes to LBL0042\n[exit 0]\n") << "with libudev.so.1";
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
    CheckToolReachesANetworkPrinter(lib, kToolBed);
}

} // namespace
