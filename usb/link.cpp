/* Device links look like \\?\USB#VID_03F0&PID_1950#ABC123#{28d78fad-...}: fields separated by
 * '#', the third being the printer's serial. */
#include "usb/link.h"

#include "interface/text.h"

int BoundedHashScan(const char *text)
{
    for (int i = 0; i < kHashScanLimit && text[i] != '\0'; i++) {
        if (text[i] == '#')
            return i;
    }
    return -1;
}

void ParseLinkSerial(char *link, char *serial)
{
    char *s = link;
    int hash = BoundedHashScan(s);
    if (hash >= 0)
        s += hash + 1;
    hash = BoundedHashScan(s);
    if (hash >= 0)
        s += hash + 1;
    hash = BoundedHashScan(s);
    if (hash >= 0)
        s[hash] = '\0';
    /* A serial longer than the field is cut, exactly as SerialMatches compares it. */
    CopyText(serial, kSerialField, s);
}

const char *WantedSerial(const char *request)
{
    const int hash = BoundedHashScan(request);
    return hash >= 0 ? request + hash + 1 : request;
}

void FormatListing(char *buffer, const char *description, const char *serial)
{
    size_t n = CopyText(buffer, kRegistryValueLimit + 1, description);
    buffer[n++] = '#';
    CopyText(buffer + n, kSerialField, serial);
}

int PassesOpenFilter(const char *link)
{
    return ContainsText(link, "_195") || ContainsText(link, "_067");
}

int PassesFirstListingFilter(const char *link)
{
    return PassesOpenFilter(link);
}

int PassesNextListingFilter(const char *link)
{
    return ContainsText(link, "_195") || ContainsText(link, "VID_03F0");
}

int SerialMatches(const char *parsed, const char *wanted)
{
    for (int i = 0; i < kSerialField - 1; i++) {
        if (parsed[i] != wanted[i])
            return 0;
        if (parsed[i] == '\0')
            return 1;
    }
    return 1;
}

namespace {

char Upper(char c)
{
    return c >= 'a' && c <= 'z' ? (char)(c - 'a' + 'A') : c;
}

bool SameTextAnyCase(const char *a, const char *b)
{
    while (*a != '\0' && Upper(*a) == Upper(*b)) {
        a++;
        b++;
    }
    return *a == '\0' && *b == '\0';
}

/* Whether text begins with prefix, in any case. */
bool StartsAnyCase(const char *text, const char *prefix)
{
    while (*prefix != '\0' && Upper(*text) == Upper(*prefix)) {
        text++;
        prefix++;
    }
    return *prefix == '\0';
}

/* A link without the "\\?\" or "\\.\" that only says how to reach it. */
const char *WithoutDevicePrefix(const char *link)
{
    if (link[0] == '\\' && link[1] == '\\' && (link[2] == '?' || link[2] == '.') &&
        link[3] == '\\')
        return link + 4;
    return link;
}

/* Copies "VID_xxxx"'s four hex digits, in lower case, from the field at p; "" otherwise. */
void CopyId(const char *field, const char *key, char *id, size_t size)
{
    id[0] = '\0';
    const char *p = field;
    for (; *p != '\0' && *p != '#'; p++) {
        if (!StartsAnyCase(p, key))
            continue;
        p += BoundedLength(key, 8);
        size_t n = 0;
        for (; n < 4 && n + 1 < size; n++) {
            const char c = p[n];
            if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')))
                break;
            id[n] = c >= 'A' && c <= 'F' ? (char)(c - 'A' + 'a') : c;
        }
        id[n == 4 ? n : 0] = '\0';
        return;
    }
}

} // namespace

void ParsePrinterLink(const char *link, char *vendorId, char *productId, size_t idSize,
                      char *serial, size_t serialSize)
{
    /* Fields: 0 "\\?\USB", 1 "VID_vvvv&PID_pppp", 2 the serial, 3 the class. */
    const char *field[3] = {link, NULL, NULL};
    const char *p = link;
    for (int i = 1; i < 3; i++) {
        while (*p != '\0' && *p != '#')
            p++;
        field[i] = *p == '#' ? ++p : NULL;
    }
    vendorId[0] = productId[0] = '\0';
    if (serialSize > 0)
        serial[0] = '\0';
    if (field[1] == NULL)
        return;
    CopyId(field[1], "VID_", vendorId, idSize);
    CopyId(field[1], "PID_", productId, idSize);
    if (field[2] == NULL || serialSize == 0)
        return;
    size_t n = 0;
    bool madeUp = false;
    for (; field[2][n] != '\0' && field[2][n] != '#' && n + 1 < serialSize; n++) {
        serial[n] = field[2][n];
        madeUp = madeUp || field[2][n] == '&';
    }
    serial[madeUp ? 0 : n] = '\0';
}

PrinterMatch MatchPrinter(const char *request, const char *link, const char *serial)
{
    if (SameTextAnyCase(WithoutDevicePrefix(request), WithoutDevicePrefix(link)))
        return kMatchesLink;
    const char *wanted = request;
    for (const char *p = request; *p != '\0'; p++)
        if (*p == '#')
            wanted = p + 1;
    if (serial[0] == '\0' || wanted[0] == '\0')
        return kNoMatch;
    if (SameTextAnyCase(wanted, serial))
        return kMatchesSerial;
    const size_t cut = kSerialField - 1;
    if (BoundedLength(wanted, cut + 1) == cut && BoundedLength(serial, cut + 1) > cut) {
        size_t i = 0;
        while (i < cut && Upper(wanted[i]) == Upper(serial[i]))
            i++;
        if (i == cut)
            return kMatchesCut;
    }
    return kNoMatch;
}
