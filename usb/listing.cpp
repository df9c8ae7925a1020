/* Listing USB printers as "description#serial" and opening one by serial or the first one. */
#include "usb/usb.h"

#include "include/norvat.h"
#include "interface/session.h"
#include "interface/text.h"
#include "port/port.h"
#include "usb/link.h"

namespace {

/* The listing is a cursor over entry indexes, not a snapshot: each call walks from start to
 * the count last taken, and the cursor moves past the entry returned. */
int ListFrom(DWORD start, int (*passes)(const char *), char *buffer)
{
    char link[kLinkField] = { 0 };
    char description[kLinkField] = { 0 };
    for (DWORD i = start; i < portSession.interfaceCount; i++) {
        if (!LookupPrintInterfaceDetails(i, link, description) || !passes(link))
            continue;
        ParseLinkSerial(link, parsedSerial);
        FormatListing(buffer, description, parsedSerial);
        enumCursor = i + 1;
        return 1;
    }
    return 0;
}

} // namespace

int NORVAT_CALL FindFirstUSB(char *buffer)
{
    portSession.interfaceCount = CountPrintInterfaces();
    if (portSession.interfaceCount == 0)
        return 0;
    return ListFrom(0, PassesFirstListingFilter, buffer);
}

int NORVAT_CALL FindNextUSB(char *buffer)
{
    return ListFrom(enumCursor, PassesNextListingFilter, buffer);
}

int OpenUsbBySerial(const char *request)
{
    const char *wanted = WantedSerial(request);
    portSession.interfaceCount = CountPrintInterfaces();
    if (portSession.interfaceCount == 0)
        return 0;

    char link[kLinkField] = { 0 };
    char copy[kLinkField] = { 0 };
    for (DWORD i = 0; i < portSession.interfaceCount; i++) {
        if (!LookupPrintInterface(i, link) || !PassesOpenFilter(link))
            continue;
        /* Parsing cuts its text, and the whole link is what gets opened. */
        CopyText(copy, sizeof copy, link);
        ParseLinkSerial(copy, parsedSerial);
        if (SerialMatches(parsedSerial, wanted))
            return OpenPortByName(link); /* the first match is the only one tried */
    }
    return 0;
}

int OpenFirstUsbPrinter(void)
{
    portSession.interfaceCount = CountPrintInterfaces();
    if (portSession.interfaceCount == 0)
        return 0;

    char link[kLinkField] = { 0 };
    for (DWORD i = 0; i < portSession.interfaceCount; i++) {
        if (LookupPrintInterface(i, link) && PassesOpenFilter(link))
            return OpenPortByName(link); /* only the first qualifying printer is tried */
    }
    return 0;
}
