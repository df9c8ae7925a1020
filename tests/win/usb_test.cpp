// USB printers: listing and opening against simulated printers (named pipes) and real entries
// in the registry of the test prefix.
#include "tests/win/guarded_buffer.h"
#include "tests/win/usb_fixture.h"

#include <cstring>
#include <memory>
#include <vector>

namespace {

TEST_F(Usb, MissingClassKeyMeansNoPrinterAndStopsTheNextListing)
{
    EXPECT_EQ(First(), "<0>");
    EXPECT_EQ(lib.OpenUSB("Desk#SER1"), 0);
    EXPECT_EQ(lib.openport("6"), 0);
    // The count is now 0, so even a printer that appears is not looked at by FindNextUSB.
    Plug("e0", kHp, "SER1", "Desk");
    EXPECT_EQ(Next(), "<0>");
}

TEST_F(Usb, FirstNextUSBOfAFreshLoadLooksAtEntryZeroOnly)
{
    // Before any count the bound is 1 entry.
    Plug("e0", kHp, "SER0", "Desk");
    Plug("e1", kHp, "SER1", "Shelf");
    EXPECT_EQ(Next(), "Desk#SER0");
    EXPECT_EQ(Next(), "<0>");
}

TEST_F(Usb, ListsQualifyingPrintersInEntryOrderAndSkipsTheRest)
{
    Plug("e0", kHp, "SER0", "Front desk");
    UsbEntry unlinked{"e1", PipeLink(kHp, "SER1"), 0, "Unlinked"};
    UsbEntry noLinkedValue{"e2", PipeLink(kHp, "SER2"), -1, "No value"};
    ASSERT_TRUE(UsbRegistry::Write(unlinked));
    ASSERT_TRUE(UsbRegistry::Write(noLinkedValue));
    Plug("e3", kHp, "SER3", "Back office");

    EXPECT_EQ(First(), "Front desk#SER0");
    EXPECT_EQ(Next(), "Back office#SER3");
    EXPECT_EQ(Next(), "<0>");
    EXPECT_EQ(Next(), "<0>");
    // Not live: never opened, by serial or as the first printer.
    EXPECT_EQ(lib.OpenUSB("SER1"), 0);
    EXPECT_EQ(lib.OpenUSB("SER2"), 0);
}

TEST_F(Usb, VidOnlyPrinterIsListedByNextOnlyAndNeverOpened)
{
    SimulatedPrinter *vidOnly = Plug("e0", kVidOnly, "VIDONLY", "Vid only");
    EXPECT_EQ(First(), "<0>");
    Plug("e1", kHp, "SER1", "Desk");
    // e0 fails the first-listing filter, e1 passes; FindNextUSB then resumes after e1.
    EXPECT_EQ(First(), "Desk#SER1");
    EXPECT_EQ(Next(), "<0>");
    UsbRegistry::Remove("e1");
    Plug("f1", kHp, "SER1", "Desk"); // sorts after e0
    EXPECT_EQ(First(), "Desk#SER1");
    // Cursor now 2; a VID_03F0-only printer behind the cursor is not reached. Put one after it.
    Plug("g2", kVidOnly, "VIDONLY2", "Vid only 2", false);
    EXPECT_EQ(First(), "Desk#SER1");
    EXPECT_EQ(Next(), "Vid only 2#VIDONLY2");

    EXPECT_EQ(lib.OpenUSB("Vid only#VIDONLY"), 0);
    EXPECT_EQ(lib.OpenUSB("VIDONLY"), 0);
    EXPECT_EQ(vidOnly->Connections(), 0);
}

TEST_F(Usb, NextAfterAFailedFirstResumesAtTheOldCursorWithTheNewCount)
{
    Plug("e0", kHp, "SER0", "A");
    Plug("e1", kHp, "SER1", "B", false);
    EXPECT_EQ(First(), "A#SER0"); // cursor 1, count 2

    // Between calls the entries change: none passes the first-listing filter any more, and
    // two more appear.
    for (const char *name : {"e0", "e1", "e2", "e3"})
        Plug(name, kVidOnly, std::string("V") + name, std::string("V ") + name, false);
    EXPECT_EQ(First(), "<0>"); // counts 4, keeps the cursor at 1
    EXPECT_EQ(Next(), "V e1#Ve1");
    EXPECT_EQ(Next(), "V e2#Ve2");
    EXPECT_EQ(Next(), "V e3#Ve3"); // only reachable with the new count
    EXPECT_EQ(Next(), "<0>");
}

TEST_F(Usb, EntryWithoutDescriptionIsNotListedButOpensBySerial)
{
    UsbEntry entry{"e0", PipeLink(kHp, "NODESC"), 1, ""};
    entry.hasDescription = false;
    ASSERT_TRUE(UsbRegistry::Write(entry));
    SimulatedPrinter printer(entry.link, "NODESC");
    EXPECT_EQ(First(), "<0>");
    ASSERT_EQ(lib.OpenUSB("NODESC"), 1);
    EXPECT_TRUE(Talks(&printer, "NODESC"));
}

TEST_F(Usb, ListingTextHandedBackOpensThatPrinter)
{
    Plug("e0", kHp, "SER0", "Front desk");
    SimulatedPrinter *second = Plug("e1", kHp, "SER1", "Back office");
    EXPECT_EQ(First(), "Front desk#SER0");
    const std::string text = Next();
    ASSERT_EQ(text, "Back office#SER1");
    ASSERT_EQ(lib.OpenUSB(text.c_str()), 1);
    EXPECT_TRUE(Talks(second, "SER1"));
    EXPECT_EQ(printers[0]->Connections(), 0);
}

TEST_F(Usb, ListingTextRoundTripDependsOnTheDescription)
{
    struct {
        std::string description;
        bool opens;
        const char *why;
    } cases[] = {
        {std::string(41, 'd'), true, "'#' at position 41 is found"},
        {std::string(42, 'd'), false, "'#' at position 42 is beyond the search"},
        {"Desk#2", false, "a '#' in the description moves the split"},
        {"COUNTER", false, "\"CO\" makes it a serial-port name"},
    };
    for (const auto &c : cases) {
        UsbRegistry::Clear();
        printers.clear();
        SimulatedPrinter *printer = Plug("e0", kHp, "RT1", c.description);
        const std::string text = First();
        ASSERT_EQ(text, c.description + "#RT1") << c.why;
        EXPECT_EQ(lib.OpenUSB(text.c_str()), c.opens ? 1 : 0) << c.why;
        if (c.opens) {
            EXPECT_TRUE(Talks(printer, "RT1")) << c.why;
        } else {
            EXPECT_EQ(printer->Connections(), 0) << c.why;
        }
        lib.closeport();
    }
}

TEST_F(Usb, BareSerialOpensTheMatchingPrinterOnly)
{
    Plug("e0", kHp, "ABC1234", "One");
    SimulatedPrinter *wanted = Plug("e1", kOther, "ABC123", "Two");
    ASSERT_EQ(lib.OpenUSB("ABC123"), 1);
    EXPECT_TRUE(Talks(wanted, "ABC123"));
    EXPECT_EQ(printers[0]->Connections(), 0);
    lib.closeport();
    EXPECT_EQ(lib.OpenUSB("abc123"), 0) << "serials compare case-sensitively";
    EXPECT_EQ(lib.OpenUSB("ABC12"), 0);
}

TEST_F(Usb, PortSixOpensTheLowerEntryAndOnlyTriesThatOne)
{
    Plug("e0", kHp, "LOW", "Low");
    Plug("e1", kHp, "HIGH", "High");
    ASSERT_EQ(lib.openport("6"), 1);
    EXPECT_TRUE(Talks(printers[0].get(), "LOW"));
    lib.closeport();

    // The lower printer's device is gone although its entry stays: no fall-back to the other.
    printers[0]->Vanish();
    EXPECT_EQ(lib.openport("6"), 0);
    EXPECT_EQ(printers[1]->Connections(), 0);
    EXPECT_EQ(lib.sendbuf("x", 1), 0) << "a failed open leaves no port open";
}

TEST_F(Usb, SelectorXAfterTheUsbBranchOpensTheFirstPrinter)
{
    Plug("e0", kHp, "FIRST", "First");
    SimulatedPrinter *chosen = Plug("e1", kHp, "CHOSEN", "Chosen");
    ASSERT_EQ(lib.OpenUSB("CHOSEN"), 1);
    EXPECT_TRUE(Talks(chosen, "CHOSEN"));
    lib.closeport();
    ASSERT_EQ(lib.openport("x"), 1);
    EXPECT_TRUE(Talks(printers[0].get(), "FIRST"));
}

TEST_F(Usb, LongSerialIsCutTheSameWayWhenListedAndWhenOpened)
{
    const std::string serial = "SN0123456789ABCDEFGHIJKL"; // 24 characters
    SimulatedPrinter *printer = Plug("e0", kHp, serial, "Long serial");
    const std::string text = First();
    ASSERT_EQ(text, "Long serial#" + serial.substr(0, 19));
    ASSERT_EQ(lib.OpenUSB(text.c_str()), 1);
    EXPECT_TRUE(Talks(printer, serial));
    lib.closeport();
    ASSERT_EQ(lib.OpenUSB(serial.c_str()), 1) << "the full serial opens it too";
}

TEST_F(Usb, RegistryValuesAtAndOverTheReadLimit)
{
    // A link of exactly 170 bytes stored without terminator, behind a live pipe.
    const std::string head = std::string("\\\\.\\pipe\\USB#") + kHp + "#EXACT#";
    const std::string exact = head + std::string(170 - head.size(), 'x');
    ASSERT_EQ(exact.size(), 170u);
    UsbEntry atLimit{"e0", exact, 1, std::string(170, 'D')};
    atLimit.rawValues = true;
    ASSERT_TRUE(UsbRegistry::Write(atLimit));
    SimulatedPrinter printer(exact, "EXACT");

    // One byte more: the value is not read at all, so the entry is neither listed nor opened.
    UsbEntry overLimit{"e1", exact + "y", 1, "Over"};
    ASSERT_TRUE(UsbRegistry::Write(overLimit));

    // The longest listing: a 170-byte description, '#' and a 19-character serial, written
    // into a 191-byte buffer that ends at an inaccessible page.
    UsbEntry longest{"e2", PipeLink(kHp, "S234567890123456789"), 1, std::string(170, 'L')};
    longest.rawValues = true;
    ASSERT_TRUE(UsbRegistry::Write(longest));

    EXPECT_EQ(First(), std::string(170, 'D') + "#EXACT");
    GuardedBuffer buffer(NORVAT_LISTING_BUFFER_SIZE);
    ASSERT_EQ(lib.FindNextUSB(buffer.data()), 1);
    EXPECT_EQ(std::string(buffer.data()), std::string(170, 'L') + "#S234567890123456789");
    EXPECT_EQ(lib.FindNextUSB(buffer.data()), 0);

    ASSERT_EQ(lib.OpenUSB("EXACT"), 1);
    EXPECT_TRUE(Talks(&printer, "EXACT"));
    lib.closeport();
    EXPECT_EQ(lib.OpenUSB("Over"), 0);
}

TEST_F(Usb, ShorterUnterminatedLinkAfterALongerOneOpensItsOwnDevice)
{
    // The working field still holds the longer link of the entry before; the shorter value has
    // no terminator, so without one added the two would run together.
    UsbEntry longer{"e0", PipeLink(kHp, "LONGER") + std::string(60, 'z'), 1, "Long"};
    ASSERT_TRUE(UsbRegistry::Write(longer));
    UsbEntry shorter{"e1", PipeLink(kHp, "SHORT"), 1, "Short"};
    shorter.rawValues = true;
    ASSERT_TRUE(UsbRegistry::Write(shorter));
    SimulatedPrinter printer(shorter.link, "SHORT");
    ASSERT_EQ(lib.OpenUSB("SHORT"), 1);
    EXPECT_TRUE(Talks(&printer, "SHORT"));
    lib.closeport();
    EXPECT_EQ(First(), "Long#LONGER");
    EXPECT_EQ(Next(), "Short#SHORT");
}

TEST_F(Usb, LongSubkeyNamesListAndOpen)
{
    // Real entries are named after the device path; Wine refuses key paths over about 260
    // characters, so about 150 is the longest name that can be made here.
    for (size_t length : {83u, 84u, 150u}) {
        UsbRegistry::Clear();
        printers.clear();
        const std::string serial = "K" + std::to_string(length);
        SimulatedPrinter *printer = Plug(std::string(length, 'k'), kHp, serial, "Keyed");
        EXPECT_EQ(First(), "Keyed#" + serial) << length;
        ASSERT_EQ(lib.OpenUSB(serial.c_str()), 1) << length;
        EXPECT_TRUE(Talks(printer, serial)) << length;
        lib.closeport();
        ASSERT_EQ(lib.openport("6"), 1) << length;
        lib.closeport();
    }
}

TEST_F(Usb, ClosingAndUnloadingReleaseThePrinter)
{
    SimulatedPrinter *printer = Plug("e0", kHp, "REL", "Release");
    ASSERT_EQ(lib.OpenUSB("REL"), 1);
    ASSERT_TRUE(Talks(printer, "REL"));
    lib.closeport();
    EXPECT_TRUE(printer->WaitDisconnected(2000)) << "closeport kept the handle";

    ASSERT_EQ(lib.OpenUSB("REL"), 1);
    ASSERT_TRUE(Talks(printer, "REL"));
    ASSERT_EQ(lib.OpenUSB("REL"), 1) << "again, without closeport";
    EXPECT_TRUE(Talks(printer, "REL"));
    EXPECT_EQ(printer->Connections(), 3);
    lib.Unload();
    EXPECT_TRUE(printer->WaitDisconnected(2000)) << "unload kept the handle";
    ASSERT_TRUE(lib.Load());
}

TEST_F(Usb, PrinterThatVanishesMidUseFailsFastAndReopensWhenBack)
{
    const std::string link = PipeLink(kHp, "GONE");
    UsbEntry entry{"e0", link, 1, "Vanishing"};
    ASSERT_TRUE(UsbRegistry::Write(entry));
    auto printer = std::make_unique<SimulatedPrinter>(link, "GONE");
    ASSERT_EQ(lib.OpenUSB("GONE"), 1);
    ASSERT_TRUE(Talks(printer.get(), "GONE"));

    printer.reset();
    const double start = NowMs();
    EXPECT_EQ(lib.sendcommand("~HS"), 0);
    EXPECT_TRUE(IsPlatformFailure(GetLastError())) << "sendcommand of a vanished device";
    char buffer[16];
    EXPECT_EQ(lib.RcvBuf(buffer, 15), 0);
    EXPECT_TRUE(IsPlatformFailure(GetLastError())) << "rcvbuf of a vanished device";
    EXPECT_LT(NowMs() - start, 3000);
    lib.closeport();

    printer = std::make_unique<SimulatedPrinter>(link, "GONE");
    ASSERT_EQ(lib.OpenUSB("GONE"), 1);
    EXPECT_TRUE(Talks(printer.get(), "GONE"));
}

TEST_F(Usb, PrinterThatTakesNoBytesIsGivenUpAndStaysUsable)
{
    SimulatedPrinter *printer = Plug("e0", kHp, "STALL", "Stalling");
    ASSERT_EQ(lib.OpenUSB("STALL"), 1);
    printer->StallAfter(0); // out of paper: it takes nothing

    std::vector<char> block(1 << 20, 'b');
    const double start = NowMs();
    const int written = lib.sendbuf(block.data(), (int)block.size());
    const double took = NowMs() - start;
    EXPECT_GT(took, 19000) << "gave up before the 10 s wait and the second 10 s";
    EXPECT_LT(took, 25000);
    EXPECT_LT(written, (int)block.size());

    // The cancelled write leaves nothing in flight: once the printer reads again it gets what
    // the result said and nothing more, then the next command and its answer.
    printer->SetReading(true);
    printer->WaitForBytes((size_t)written, 5000);
    Sleep(300);
    EXPECT_EQ(printer->Received().size(), (size_t)written);
    EXPECT_TRUE(Talks(printer, "STALL")) << "the port stays usable";
}

// Another host process's writes use the same named event: each of its waits may take the signal
// that our write set. This thread does just that, all the time.
struct EventThief {
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, "write_event");
    volatile LONG stop = 0;
    static DWORD WINAPI Run(void *self)
    {
        auto *thief = static_cast<EventThief *>(self);
        while (!thief->stop)
            WaitForSingleObject(thief->event, 5);
        return 0;
    }
};

TEST_F(Usb, StalledWriteEndsWhenThePrinterTakesItEvenWhenItsSignalIsTaken)
{
    SimulatedPrinter *printer = Plug("e0", kHp, "LATE", "Late");
    ASSERT_EQ(lib.OpenUSB("LATE"), 1);
    EventThief thief;
    HANDLE thread = CreateThread(nullptr, 0, EventThief::Run, &thief, 0, nullptr);
    // Within the first 10 s wait, and after it, within the second 10 s.
    for (DWORD resumeMs : {2000u, 10500u}) {
        printer->StallAfter(printer->Received().size());
        const std::vector<char> block(64 * 1024, 'l');
        struct Resume {
            SimulatedPrinter *printer;
            DWORD ms;
            static DWORD WINAPI Run(void *self)
            {
                auto *r = static_cast<Resume *>(self);
                Sleep(r->ms);
                r->printer->SetReading(true);
                return 0;
            }
        } resume{printer, resumeMs};
        HANDLE resumer = CreateThread(nullptr, 0, Resume::Run, &resume, 0, nullptr);
        const double start = NowMs();
        EXPECT_EQ(lib.sendbuf(block.data(), (int)block.size()), (int)block.size()) << resumeMs;
        const double took = NowMs() - start;
        WaitForSingleObject(resumer, 30000);
        CloseHandle(resumer);
        EXPECT_GT(took, resumeMs - 100.0);
        EXPECT_LT(took, resumeMs + 1500.0) << "waited for nothing after the printer took it all";
    }
    thief.stop = 1;
    WaitForSingleObject(thread, 5000);
    CloseHandle(thread);
    CloseHandle(thief.event);
}

} // namespace
