// USB printers on Linux: listing and opening through udev, with the same edge cases as the
// Windows listing, against printers that umockdev emulates.
#include "tests/linux/fixture.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <vector>

namespace {

class LinuxUsb : public LinuxTest {
protected:
    // Plugs a printer into USB port 1-<slot> as /dev/usb/lp<slot>.
    UsbPrinter Printer(int slot, const std::string &serial, const std::string &deviceId,
                       const std::string &product = "1950", const std::string &vendor = "03f0")
    {
        UsbPrinter p;
        p.usbPort = "1-" + std::to_string(slot);
        p.node = "lp" + std::to_string(slot);
        p.serial = serial;
        p.deviceId = deviceId;
        p.product = product;
        p.vendor = vendor;
        return p;
    }
    void Plug(const UsbPrinter &p) { ASSERT_TRUE(bed.Plug(p)) << bed.Error(); }

    // A listing call's text, or "<0:errno>" when it returned 0 (and then the buffer is untouched).
    std::string List(decltype(&::FindFirstUSB) call)
    {
        char buffer[NORVAT_LISTING_BUFFER_SIZE];
        std::memset(buffer, 0x55, sizeof buffer);
        errno = 0;
        if (call(buffer) != 1) {
            const int error = errno;
            for (char c : buffer)
                if (c != 0x55)
                    return "<0, buffer written>";
            return "<0:" + std::to_string(error) + ">";
        }
        return buffer;
    }
    std::string First() { return List(lib.FindFirstUSB); }
    std::string Next() { return List(lib.FindNextUSB); }

    // Sends a command through the library and says whether the printer at node answered it.
    ::testing::AssertionResult Talks(const std::string &node, const std::string &name)
    {
        Answerer printer(bed.End(node), name);
        if (lib.sendcommand("~HS") != 1)
            return ::testing::AssertionFailure() << "sendcommand failed";
        const std::string answer = ReadAnswer(name.size() + 6);
        if (answer != name + ":~HS\r\n")
            return ::testing::AssertionFailure() << node << " answered '" << answer << "'";
        return ::testing::AssertionSuccess();
    }
};

const std::string kNoMore = "<0:" + std::to_string(ENOENT) + ">";

TEST_F(LinuxUsb, NoPrinterMeansNothingListedAndNothingOpened)
{
    EXPECT_EQ(First(), kNoMore);
    EXPECT_TRUE(FailsWith(Call([&] { return lib.OpenUSB("Desk#SER1"); }), ENODEV));
    EXPECT_TRUE(FailsWith(Call([&] { return lib.openport("6"); }), ENODEV));
    // The count is now 0, so even a printer that appears is not looked at by FindNextUSB.
    Plug(Printer(2, "SER1", "DES:Desk;"));
    EXPECT_EQ(Next(), kNoMore);
}

TEST_F(LinuxUsb, ListsLivePrintersInUdevOrderWithTheirDescriptions)
{
    // udev lists by device path: 1-2, 1-3, 1-4, 1-5, 1-6, 1-7.
    Plug(Printer(2, "SER2", "MFG:Acme;MDL:LP-1;CMD:ZPL;DES:Front desk;"));
    Plug(Printer(3, "", "DES:No serial;"));                // not live: skipped
    Plug(Printer(4, "SER4", "MFG:Acme;MDL:LP-4;"));         // the model, without DES
    UsbPrinter named = Printer(5, "SER5", "");              // the USB product name
    named.productName = "Receipt printer";
    Plug(named);
    Plug(Printer(6, "SER6", "DES:Vid only;", "0002"));      // VID_03F0 only: next listing only
    Plug(Printer(7, "SER7", "DES:Other maker;", "0671", "0a5f")); // "_067": first listing only

    EXPECT_EQ(First(), "Front desk#SER2");
    EXPECT_EQ(Next(), "LP-4#SER4");
    EXPECT_EQ(Next(), "Receipt printer#SER5");
    EXPECT_EQ(Next(), "Vid only#SER6");
    EXPECT_EQ(Next(), kNoMore);
    EXPECT_EQ(Next(), kNoMore);

    // The same filters as on Windows decide what opens.
    EXPECT_TRUE(FailsWith(Call([&] { return lib.OpenUSB("SER6"); }), ENODEV));
    ASSERT_EQ(lib.OpenUSB("SER7"), 1);
    EXPECT_TRUE(Talks("/dev/usb/lp7", "SER7"));
}

TEST_F(LinuxUsb, ListingTextHandedBackOpensThatPrinterWhenTheSplitAllows)
{
    struct Case {
        std::string description;
        bool opens;
        const char *why;
    };
    const std::vector<Case> cases = {
        {std::string(41, 'd'), true, "'#' at position 41 is found"},
        {std::string(42, 'd'), false, "'#' at position 42 is beyond the search"},
        {"Desk#2", false, "a '#' in the description moves the split"},
        {"COUNTER", false, "\"CO\" makes it a serial-port name"},
    };
    int slot = 2;
    for (const Case &c : cases) {
        const std::string serial = "RT" + std::to_string(slot);
        Plug(Printer(slot, serial, "DES:" + c.description + ";"));
        std::string text;
        for (std::string t = First(); t[0] != '<'; t = Next())
            text = t; // the newest printer lists last
        ASSERT_EQ(text, c.description + "#" + serial) << c.why;
        EXPECT_EQ(lib.OpenUSB(text.c_str()), c.opens ? 1 : 0) << c.why;
        if (c.opens) {
            EXPECT_TRUE(Talks("/dev/usb/lp" + std::to_string(slot), serial)) << c.why;
        }
        lib.closeport();
        slot++;
    }
}

TEST_F(LinuxUsb, SerialsOpenExactlyAndLongOnesAreCutAlike)
{
    Plug(Printer(2, "ABC1234", "DES:One;"));
    Plug(Printer(3, "ABC123", "DES:Two;"));
    const std::string longSerial = "SN0123456789ABCDEFGHIJKL"; // 24 characters
    Plug(Printer(4, longSerial, "DES:Long serial;"));

    ASSERT_EQ(lib.OpenUSB("ABC123"), 1);
    EXPECT_TRUE(Talks("/dev/usb/lp3", "B"));
    EXPECT_TRUE(FailsWith(Call([&] { return lib.OpenUSB("abc123"); }), ENODEV));
    EXPECT_TRUE(FailsWith(Call([&] { return lib.OpenUSB("ABC12"); }), ENODEV));

    EXPECT_EQ(First(), "One#ABC1234");
    EXPECT_EQ(Next(), "Two#ABC123");
    const std::string text = Next();
    ASSERT_EQ(text, "Long serial#" + longSerial.substr(0, 19));
    for (const std::string &request : {text, longSerial}) {
        ASSERT_EQ(lib.OpenUSB(request.c_str()), 1) << request;
        EXPECT_TRUE(Talks("/dev/usb/lp4", "L")) << request;
    }
}

TEST_F(LinuxUsb, PortSixOpensTheFirstPrinterAndXAfterTheUsbBranchToo)
{
    Plug(Printer(2, "LOW", "DES:Low;"));
    Plug(Printer(3, "HIGH", "DES:High;"));
    ASSERT_EQ(lib.OpenUSB("HIGH"), 1);
    EXPECT_TRUE(Talks("/dev/usb/lp3", "H"));
    // The USB branch made port number 6 the selection: "x" opens the first printer.
    ASSERT_EQ(lib.openport("x"), 1);
    EXPECT_TRUE(Talks("/dev/usb/lp2", "L"));
    ASSERT_EQ(lib.openport("6"), 1);
    EXPECT_TRUE(Talks("/dev/usb/lp2", "L"));
}

TEST_F(LinuxUsb, LongestListingFitsTheHostBufferAndOverLongLinksAreNotListed)
{
    // A 170-byte description, '#' and a 19-character serial: 190 bytes and the NUL.
    Plug(Printer(2, "S234567890123456789", "DES:" + std::string(200, 'L') + ";"));
    // A serial of 106 characters makes a link of 171 bytes: neither listed nor opened.
    Plug(Printer(3, std::string(106, 'x'), "DES:Too long;"));

    const size_t page = (size_t)sysconf(_SC_PAGESIZE);
    char *span = static_cast<char *>(
        mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_EQ(mprotect(span + page, page, PROT_NONE), 0);
    char *buffer = span + page - NORVAT_LISTING_BUFFER_SIZE; // the last byte before the guard
    ASSERT_EQ(lib.FindFirstUSB(buffer), 1);
    EXPECT_EQ(std::string(buffer), std::string(170, 'L') + "#S234567890123456789");
    EXPECT_EQ(lib.FindNextUSB(buffer), 0);
    munmap(span, 2 * page);
    EXPECT_TRUE(FailsWith(Call([&] { return lib.OpenUSB(std::string(106, 'x').c_str()); }), ENODEV));
}

TEST_F(LinuxUsb, PrinterUnpluggedBetweenListingAndOpenIsNotOpened)
{
    const UsbPrinter printer = Printer(2, "AWAY", "DES:Away;");
    Plug(printer);
    Plug(Printer(3, "STAYS", "DES:Stays;"));
    ASSERT_EQ(First(), "Away#AWAY");
    ASSERT_TRUE(bed.Unplug(printer));
    EXPECT_TRUE(FailsWith(Call([&] { return lib.OpenUSB("Away#AWAY"); }), ENODEV));
    EXPECT_EQ(First(), "Stays#STAYS");
    ASSERT_EQ(lib.openport("6"), 1);
    EXPECT_TRUE(Talks("/dev/usb/lp3", "S"));
}

} // namespace
