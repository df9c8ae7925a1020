// libFuzzer target for the link text code. An input is up to three texts separated by '\n':
// a link (also used as the text a host hands to OpenUSB, and as an IEEE 1284 device id), a
// description (also a USB product name) and a wanted serial (also a USB serial); each is cut at
// its first NUL and handed over as an exact-size heap copy. ASan catches any access past a text or field;
// the invariants below trap when a result is wrong.
#include "include/norvat.h"
#include "port/name.h"
#include "tests/native/heap_text.h"
#include "usb/device_id.h"
#include "usb/link.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

#define REQUIRE(condition)                                                                     \
    do {                                                                                       \
        if (!(condition))                                                                      \
            __builtin_trap();                                                                  \
    } while (0)

const size_t kSerialMax = kSerialField - 1;

bool Has(const std::string &text, const char *needle)
{
    return text.find(needle) != std::string::npos;
}

// Where the first '#' at or after start lies within 42 positions, or npos: written over
// std::string, independently of the code under test.
size_t HashFrom(const std::string &text, size_t start)
{
    const size_t at = text.find('#', start);
    return at != std::string::npos && at - start < size_t(kHashScanLimit) ? at
                                                                         : std::string::npos;
}

void CheckScanAndWanted(const std::string &text)
{
    HeapText copy(text);
    const int at = BoundedHashScan(copy.get());
    const size_t expected = HashFrom(text, 0);
    REQUIRE(expected == std::string::npos ? at == -1 : at == int(expected));
    REQUIRE(WantedSerial(copy.get()) == copy.get() + (at >= 0 ? at + 1 : 0));
}

void CheckFilters(const std::string &link)
{
    HeapText copy(link);
    const bool open = Has(link, "_195") || Has(link, "_067");
    REQUIRE((PassesOpenFilter(copy.get()) != 0) == open);
    REQUIRE((PassesFirstListingFilter(copy.get()) != 0) == open);
    const bool next = Has(link, "_195") || Has(link, "VID_03F0");
    REQUIRE((PassesNextListingFilter(copy.get()) != 0) == next);
}

// Parses link and checks the serial and the one byte ParseLinkSerial may write into the link.
std::string CheckParse(const std::string &link)
{
    size_t start = 0;
    for (int field = 0; field < 2; field++) {
        const size_t at = HashFrom(link, start);
        if (at != std::string::npos)
            start = at + 1;
    }
    const size_t cut = HashFrom(link, start);
    const size_t end = cut == std::string::npos ? link.size() : cut;
    const std::string expected = link.substr(start, std::min(end - start, kSerialMax));

    HeapText copy(link);
    HeapText serial = HeapText::Field(kSerialField);
    ParseLinkSerial(copy.get(), serial.get());
    REQUIRE(std::memchr(serial.get(), '\0', kSerialField) != nullptr);
    const std::string got(serial.get());
    REQUIRE(got.size() <= kSerialMax && got.find('#') == std::string::npos);
    REQUIRE(got == expected);

    std::string after = link + '\0';
    if (cut != std::string::npos)
        after[cut] = '\0';
    REQUIRE(copy.bytes() == after);
    return got;
}

void CheckListing(const std::string &description, const std::string &serial)
{
    HeapText d(description), s(serial);
    HeapText buffer = HeapText::Field(NORVAT_LISTING_BUFFER_SIZE);
    FormatListing(buffer.get(), d.get(), s.get());
    REQUIRE(std::memchr(buffer.get(), '\0', buffer.size()) != nullptr);
    const std::string listing(buffer.get());
    REQUIRE(listing.size() <= size_t(NORVAT_LISTING_BUFFER_SIZE - 1));
    REQUIRE(listing == description.substr(0, kRegistryValueLimit) + "#" +
                           serial.substr(0, kSerialMax));
}

void CheckMatches(const std::string &parsed, const std::string &wanted)
{
    HeapText p(parsed), w(wanted);
    const bool same = std::strncmp(parsed.c_str(), wanted.c_str(), kSerialMax) == 0;
    REQUIRE((SerialMatches(p.get(), w.get()) != 0) == same);
    REQUIRE((SerialMatches(w.get(), p.get()) != 0) == same);
}

// A listing text handed back to OpenUSB names the parsed serial again when the description
// keeps the '#' within reach of the search.
void CheckRoundTrip(const std::string &description, const std::string &parsed)
{
    HeapText d(description), p(parsed);
    HeapText buffer = HeapText::Field(NORVAT_LISTING_BUFFER_SIZE);
    FormatListing(buffer.get(), d.get(), p.get());
    HeapText request(buffer.get());
    const bool reachable = description.size() < size_t(kHashScanLimit) &&
                           description.find('#') == std::string::npos;
    if (reachable)
        REQUIRE(SerialMatches(p.get(), WantedSerial(request.get())) == 1);
    if (HashFrom(description, 0) == std::string::npos && !reachable)
        REQUIRE(WantedSerial(request.get()) == request.get());
}

// The Linux build's link from udev's attributes: any serial that fits parses back out of it,
// and the description never leaves its field or the 170-byte limit.
void CheckDeviceId(const std::string &deviceId, const std::string &product,
                   const std::string &serial)
{
    HeapText id(deviceId), name(product), s(serial), vendor("03f0"), pid("1950");
    HeapText link = HeapText::Field(kRegistryValueLimit + 1);
    const bool built = BuildDeviceLink(link.get(), link.size(), vendor.get(), pid.get(), s.get());
    REQUIRE(built == (!serial.empty() && serial.size() <= kRegistryValueLimit - 65));
    if (built && serial.find('#') == std::string::npos) {
        HeapText copy(link.get());
        HeapText parsed = HeapText::Field(kSerialField);
        ParseLinkSerial(copy.get(), parsed.get());
        // The serial starts at position 26, so its end is found for serials up to 41
        // characters; a longer one runs on into the tail, but past the 19 kept either way.
        REQUIRE(std::string(parsed.get()) == serial.substr(0, kSerialMax));
    }
    HeapText description = HeapText::Field(kRegistryValueLimit + 1);
    if (DescribePrinter(description.get(), description.size(), id.get(), name.get()))
        REQUIRE(std::strlen(description.get()) > 0);
    else
        REQUIRE(description.get()[0] == '\0' && product.empty());
}

} // namespace

// A port name (the link, as a host's text): a network address that parses names a host of at
// most 253 characters and a port of 1-65535, and every address parses alike in any case of its
// scheme.
void CheckPortName(const std::string &name)
{
    HeapText copy(name);
    const PortNameKind kind = ClassifyPortName(copy.get());
    NetworkAddress address;
    const bool parsed = ParseNetworkAddress(copy.get(), &address);
    REQUIRE(!parsed || kind == kPortNameNetwork);
    REQUIRE(kind != kPortNameNetwork || OpenedByName(copy.get(), false));
    if (!parsed)
        return;
    const size_t host = std::strlen(address.host);
    REQUIRE(host >= 1 && host <= size_t(kLongestHostName));
    REQUIRE(name.find(address.host) != std::string::npos);
    const long port = std::atol(address.service);
    REQUIRE(port >= 1 && port <= 65535);
    std::string upper = name;
    for (size_t i = 0; i < 6; i++)
        upper[i] = char(std::toupper((unsigned char)upper[i]));
    HeapText upperCopy(upper);
    NetworkAddress again;
    REQUIRE(ParseNetworkAddress(upperCopy.get(), &again) && std::strcmp(again.host, address.host) == 0);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<std::string> parts(3);
    size_t part = 0;
    for (size_t i = 0; i < size; i++) {
        if (data[i] == '\n' && part + 1 < parts.size())
            part++;
        else
            parts[part] += char(data[i]);
    }
    for (std::string &text : parts)
        text.resize(std::strlen(text.c_str())); // a text ends at its first NUL
    const std::string &link = parts[0], &description = parts[1], &wanted = parts[2];

    CheckScanAndWanted(link);
    CheckScanAndWanted(wanted);
    CheckFilters(link);
    const std::string serial = CheckParse(link);
    CheckListing(description, wanted);
    CheckMatches(serial, wanted);
    CheckMatches(link, wanted);
    CheckRoundTrip(description, serial);
    CheckDeviceId(link, description, wanted);
    CheckPortName(link);
    return 0;
}
