// The device link text code, table by table. Every input is an exact-size heap copy (see
// heap_text.h), so under ASan a search that runs past a NUL or a copy past a field fails here.
#include "include/norvat.h"
#include "tests/native/heap_text.h"
#include "usb/link.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// n characters "0123456789012...": a long field whose every cut point is visible.
std::string Digits(size_t n)
{
    std::string s;
    for (size_t i = 0; i < n; i++)
        s += char('0' + i % 10);
    return s;
}

const std::string kGuid = "{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";
const std::string kPrinterLink = "\\\\?\\USB#VID_03F0&PID_1950#ABC123#" + kGuid;

TEST(BoundedHashScan, FindsTheFirstHashInPositionsZeroTo41)
{
    struct Case {
        std::string text;
        int expected;
    };
    const std::vector<Case> cases = {
        {"", -1},
        {"abc", -1},
        {"#", 0},
        {"ab#cd#", 2},
        {std::string("ab\0#", 4), -1}, // the NUL ends the text
        {Digits(41) + "#", 41},
        {Digits(42) + "#", -1},
        {Digits(60), -1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE("text '" + c.text + "'");
        HeapText text(c.text);
        EXPECT_EQ(BoundedHashScan(text.get()), c.expected);
    }
}

TEST(ParseLinkSerial, StoresTheThirdFieldAndCutsTheLinkThere)
{
    struct Case {
        std::string link;
        std::string serial;
        int cut; // where the NUL is written into the link, -1 for nowhere
    };
    const std::vector<Case> cases = {
        {"A#B#C#D", "C", 5},
        {"#X#Y#", "Y", 4},
        {"ABC", "ABC", -1},
        {"A#B", "B", -1},
        {"A#B#", "", -1},
        {"A##C", "C", -1},
        {kPrinterLink, "ABC123", 32},
        // A '#' at position 41 is found, so the serial is the field after the second '#'.
        {Digits(41) + "#B#SER#tail", "SER", 47},
        // At position 42 no search finds one: the serial is the whole link, cut to 19.
        {Digits(42) + "#B#SER#tail", Digits(19), -1},
        // The second field too long: the serial is its start.
        {"A#" + Digits(42) + "#C#D", Digits(19), -1},
        // A long serial is cut to 19 characters; the link is still cut at the third '#'.
        {"A#B#" + Digits(25) + "#D", Digits(19), 4 + 25},
        {"A#B#" + Digits(19) + "#D", Digits(19), 4 + 19},
        {"A#B#" + Digits(42) + "#D", Digits(19), -1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE("link '" + c.link + "'");
        HeapText link(c.link);
        HeapText serial = HeapText::Field(kSerialField); // 20 bytes, no more
        ParseLinkSerial(link.get(), serial.get());
        EXPECT_EQ(std::string(serial.get()), c.serial);

        // Exactly one byte of the link may change: the third '#' becomes the NUL.
        std::string expected = c.link + '\0';
        if (c.cut >= 0) {
            ASSERT_EQ(c.link[c.cut], '#');
            expected[c.cut] = '\0';
        }
        EXPECT_EQ(link.bytes(), expected);
    }
}

TEST(WantedSerial, IsTheTextAfterTheFirstHashWithin42Positions)
{
    struct Case {
        std::string request;
        size_t offset; // where in request the wanted serial starts
    };
    const std::vector<Case> cases = {
        {"Printer#ABC123", 8},
        {"ABC123", 0},
        {"", 0},
        {"#X", 1},
        {"a#b#c", 2}, // a further '#' belongs to the serial
        {Digits(41) + "#S", 42},
        {Digits(42) + "#S", 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE("request '" + c.request + "'");
        HeapText request(c.request);
        // A pointer into request, not a copy.
        EXPECT_EQ(WantedSerial(request.get()), request.get() + c.offset);
    }
}

TEST(FormatListing, WritesDescriptionHashSerialWithinTheHostBuffer)
{
    struct Case {
        std::string description, serial, listing;
    };
    const std::vector<Case> cases = {
        {"Printer", "ABC123", "Printer#ABC123"},
        {"", "", "#"},
        {Digits(171), "S", Digits(170) + "#S"},
        {"P", Digits(25), "P#" + Digits(19)},
        // Both at their limits: 170 + '#' + 19 + NUL fill all 191 bytes.
        {Digits(170), Digits(19), Digits(170) + "#" + Digits(19)},
        {Digits(200), Digits(40), Digits(170) + "#" + Digits(19)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE("description of " + std::to_string(c.description.size()) + ", serial '" +
                     c.serial + "'");
        HeapText description(c.description), serial(c.serial);
        HeapText buffer = HeapText::Field(NORVAT_LISTING_BUFFER_SIZE); // the host's 191 bytes
        FormatListing(buffer.get(), description.get(), serial.get());
        EXPECT_EQ(std::string(buffer.get()), c.listing);
    }
}

TEST(LinkFilters, MatchTheirMarkersCaseSensitivelyAnywhere)
{
    struct Case {
        std::string link;
        int open, next; // the first listing filter is the open filter
    };
    const std::vector<Case> cases = {
        {kPrinterLink, 1, 1},
        {"\\\\?\\USB#VID_1234&PID_0670#X#" + kGuid, 1, 0},
        {"\\\\?\\USB#VID_03F0&PID_0001#X#" + kGuid, 0, 1},
        {"\\\\?\\usb#vid_03f0&pid_0001#x#" + kGuid, 0, 0},
        {"VID_03f0", 0, 0},
        {"_067", 1, 0},
        {"x_195", 1, 1}, // a marker that ends the text
        {"x_19", 0, 0},
        {"VID_03F", 0, 0},
        {"PID-1950", 0, 0},
        {"", 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE("link '" + c.link + "'");
        HeapText link(c.link);
        EXPECT_EQ(PassesOpenFilter(link.get()), c.open);
        EXPECT_EQ(PassesFirstListingFilter(link.get()), c.open);
        EXPECT_EQ(PassesNextListingFilter(link.get()), c.next);
    }
}

TEST(SerialMatches, ComparesTheFirst19CharactersExactly)
{
    struct Case {
        std::string parsed, wanted;
        int matches;
    };
    const std::vector<Case> cases = {
        {"ABC", "ABC", 1},
        {"ABC", "ABCD", 0},
        {"ABCD", "ABC", 0},
        {"abc", "ABC", 0},
        {"", "", 1},
        {"", "A", 0},
        {"A", "", 0},
        {Digits(19), Digits(25), 1},
        {Digits(19), Digits(18) + "x", 0},
        {Digits(19), Digits(18), 0},
        {Digits(25), Digits(19) + "xyz", 1}, // past 19 nothing counts
    };
    for (const Case &c : cases) {
        SCOPED_TRACE("parsed '" + c.parsed + "', wanted '" + c.wanted + "'");
        HeapText parsed(c.parsed), wanted(c.wanted);
        EXPECT_EQ(SerialMatches(parsed.get(), wanted.get()), c.matches);
    }
}

// A host hands a listing text back to OpenUSB: the serial it names must match the device's
// parsed serial exactly when the description leaves the '#' within reach of the search.
TEST(ListingRoundTrip, ListingTextFindsItsSerialWhenTheDescriptionIsShort)
{
    struct Case {
        std::string description, rawSerial;
        bool matches;
    };
    const std::vector<Case> cases = {
        {"Printer", "ABC123", true},
        {"", "S", true},
        {std::string(41, 'D'), "ABC123", true},
        {"Printer", Digits(25), true},
        {std::string(42, 'D'), "ABC123", false},
        {std::string(170, 'D'), Digits(25), false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE("description of " + std::to_string(c.description.size()) + ", serial '" +
                     c.rawSerial + "'");
        HeapText link("\\\\?\\USB#VID_03F0&PID_1950#" + c.rawSerial + "#" + kGuid);
        HeapText parsed = HeapText::Field(kSerialField);
        ParseLinkSerial(link.get(), parsed.get());

        HeapText description(c.description);
        HeapText listing = HeapText::Field(NORVAT_LISTING_BUFFER_SIZE);
        FormatListing(listing.get(), description.get(), parsed.get());
        HeapText request(listing.get()); // what the host passes back, exact size again
        EXPECT_EQ(SerialMatches(parsed.get(), WantedSerial(request.get())), c.matches ? 1 : 0);
    }
}

} // namespace
