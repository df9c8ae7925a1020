// The norvat tool on Linux, run as a technician would, against the emulated devices.
#include "tests/linux/fixture.h"

namespace {

// Runs the tool with arguments; its standard output and error, and "[exit N]" at the end.
std::string Tool(const std::string &arguments)
{
    return Shell(ToolPath() + " " + arguments + " 2>&1; echo \"[exit $?]\"");
}

class LinuxTool : public LinuxTest {
protected:
    void SetUp() override
    {
        LinuxTest::SetUp();
        for (int slot : {2, 3}) {
            UsbPrinter p;
            p.usbPort = "1-" + std::to_string(slot);
            p.node = "lp" + std::to_string(slot);
            p.serial = slot == 2 ? "LBL0042" : "RCP7731";
            p.deviceId = slot == 2 ? "MFG:Acme;MDL:LP-1;DES:Label printer;" : "MDL:Receipt printer;";
            ASSERT_TRUE(bed.Plug(p)) << bed.Error();
        }
    }
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

} // namespace
