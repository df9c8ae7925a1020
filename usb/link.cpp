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
