// The device links and descriptions the Linux build makes from what udev tells of a printer.
// Every input is an exact-size heap copy and every output field exactly its size, so under ASan
// a read past a text or a write past a field fails here.
#include "tests/native/heap_text.h"
#include "usb/device_id.h"
#include "usb/link.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const std::string kGuid = "{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";

// The link, or "<none>" when none was built (then the field must hold the empty text).
std::string Link(const char *vendor, const char *product, const std::string &serial,
                 size_t field = 500)
{
    HeapText vid(vendor ? vendor : ""), pid(product ? product : ""), ser(serial);
    HeapText link = HeapText::Field(field);
    if (!BuildDeviceLink(link.get(), field, vendor ? vid.get() : nullptr,
                         product ? pid.get() : nullptr, ser.get()))
        return link.get()[0] == '\0' ? "<none>" : "<none, field written>";
    return link.get();
}

TEST(BuildDeviceLink, GivesTheLinkWindowsRecordsForThePrinter)
{
    EXPECT_EQ(Link("03f0", "1950", "ABC123"), "\\\\?\\USB#VID_03F0&PID_1950#ABC123#" + kGuid);
    EXPECT_EQ(Link("0a5f", "00e3", "x#y"), "\\\\?\\USB#VID_0A5F&PID_00E3#x#y#" + kGuid);
    EXPECT_EQ(Link("3", "AbC", "S"), "\\\\?\\USB#VID_3&PID_ABC#S#" + kGuid);

    struct Case {
        const char *vendor, *product;
        std::string serial;
        const char *why;
    };
    const std::vector<Case> refused = {
        {"03f0", "1950", "", "no serial"},
        {nullptr, "1950", "S", "no vendor"},
        {"03f0", nullptr, "S", "no product"},
        {"", "1950", "S", "empty vendor"},
        {"03f0x", "1950", "S", "five digits"},
        {"03g0", "1950", "S", "not hex"},
        {"03f0", "19 0", "S", "a space"},
    };
    for (const Case &c : refused)
        EXPECT_EQ(Link(c.vendor, c.product, c.serial), "<none>") << c.why;
}

TEST(BuildDeviceLink, KeepsWithinTheRegistryValueLimitAndTheField)
{
    // Head and tail take 26 + 39 characters: a 105-character serial makes exactly 170.
    const std::string longest(105, 's');
    const std::string link = Link("03f0", "1950", longest);
    EXPECT_EQ(link.size(), 170u);
    EXPECT_EQ(Link("03f0", "1950", longest + "s"), "<none>") << "171 characters";
    // A field too small for the link is never overrun.
    EXPECT_EQ(Link("03f0", "1950", "ABC123", 40), "<none>");
    EXPECT_EQ(Link("03f0", "1950", "ABC123", 0 + 1), "<none>");
}

TEST(BuildDeviceLink, SerialParsesBackOutOfTheLink)
{
    for (const std::string serial : {"LBL0042", "SN0123456789ABCDEFGHIJKL", "a"}) {
        HeapText link(Link("03f0", "1950", serial));
        HeapText parsed = HeapText::Field(kSerialField);
        ParseLinkSerial(link.get(), parsed.get());
        EXPECT_EQ(std::string(parsed.get()), serial.substr(0, kSerialField - 1));
        EXPECT_TRUE(PassesOpenFilter(Link("03f0", "1950", serial).c_str()));
    }
}

// The description, or "<none>" when there is none (then the field must hold the empty text).
std::string Description(const char *deviceId, const char *product, size_t field = 500)
{
    HeapText id(deviceId ? deviceId : ""), name(product ? product : "");
    HeapText out = HeapText::Field(field);
    if (!DescribePrinter(out.get(), field, deviceId ? id.get() : nullptr,
                         product ? name.get() : nullptr))
        return out.get()[0] == '\0' ? "<none>" : "<none, field written>";
    return out.get();
}

TEST(DescribePrinter, TakesDesThenMdlThenTheProduct)
{
    struct Case {
        const char *deviceId, *product, *expected;
    };
    const std::vector<Case> cases = {
        {"MFG:Acme;MDL:LP-1;CMD:ZPL;DES:Label printer front desk;", "USB LP",
         "Label printer front desk"},
        {"MFG:Acme;MODEL:LP-1;DESCRIPTION:Long keys;", "USB LP", "Long keys"},
        {"MFG:Acme;MDL:LP-1;CMD:ZPL;", "USB LP", "LP-1"},
        {"MFG:Acme; MDL:Spaced key;", nullptr, "Spaced key"},
        {"DES:Last field without semicolon", nullptr, "Last field without semicolon"},
        {"DES:With a line end\n", nullptr, "With a line end"},
        {"DES:;MDL:Empty DES skipped;", nullptr, "Empty DES skipped"},
        {"XDES:not a key;MDL:M;", nullptr, "M"},
        {"des:lower case is another key;", "Product", "Product"},
        {"MFG:Acme;", "Product only", "Product only"},
        {nullptr, "No device id", "No device id"},
        {"MFG:Acme;", nullptr, "<none>"},
        {nullptr, "", "<none>"},
        {"", nullptr, "<none>"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(Description(c.deviceId, c.product), c.expected)
            << (c.deviceId ? c.deviceId : "(no id)");
}

TEST(DescribePrinter, CutsAt170BytesAndNeverOverrunsTheField)
{
    const std::string des = "DES:" + std::string(300, 'd') + ";";
    EXPECT_EQ(Description(des.c_str(), nullptr), std::string(170, 'd'));
    EXPECT_EQ(Description(nullptr, std::string(200, 'p').c_str()), std::string(170, 'p'));
    EXPECT_EQ(Description(des.c_str(), nullptr, 10), std::string(9, 'd'));
}

} // namespace
