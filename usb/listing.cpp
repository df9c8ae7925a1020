/* Listing USB printers as "description#serial" and opening one by serial or the first one: the
 * same on both platforms, over the lookups of the platform's record of connected printers. */
#include "usb/usb.h"

#include "include/norvat.h"
#include "interface/reason.h"
#include "interface/session.h"
#include "interface/text.h"
#include "port/port.h"
#include "usb/link.h"

namespace {

/* The listing is a cursor over entry indexes, not a snapshot: each call walks from start to
 * the count last taken, and the cursor moves past the entry returned. */
int ListFrom(uint32_t start, int (*passes)(const char *), char *buffer)
{
    char link[kLinkField] = { 0 };
    char description[kLinkField] = { 0 };
    for (uint32_t i = start; i < portSession.interfaceCount; i++) {
        if (!LookupPrintInterfaceDetails(i, link, description) || !passes(link))
            continue;
        ParseLinkSerial(link, parsedSerial);
        FormatListing(buffer, description, parsedSerial);
        enumCursor = i + 1;
        return 1;
    }
    return Refuse(kReasonEndOfListing);
}

} // namespace

int NORVAT_CALL FindFirstUSB(char *buffer)
{
    if (buffer == NULL)
        return Refuse(kReasonBadArgument);
    SessionLock lock;
    portSession.interfaceCount = CountPrintInterfaces();
    if (portSession.interfaceCount == 0)
        return Refuse(kReasonEndOfListing);
    return ListFrom(0, PassesFirstListingFilter, buffer);
}

int NORVAT_CALL FindNextUSB(char *buffer)
{
    if (buffer == NULL)
        return Refuse(kReasonBadArgument);
    SessionLock lock;
    return ListFrom(enumCursor, PassesNextListingFilter, buffer);
}

int OpenUsbBySerial(const char *request)
{
    const char *wanted = WantedSerial(request);
    portSession.interfaceCount = CountPrintInterfaces();

    char link[kLinkField] = { 0 };
    char copy[kLinkField] = { 0 };
    for (uint32_t i = 0; i < portSession.interfaceCount; i++) {
        if (!LookupPrintInterface(i, link) || !PassesOpenFilter(link))
            continue;
        /* Parsing cuts its text, and the whole link is what gets opened. */
        CopyText(copy, sizeof copy, link);
        ParseLinkSerial(copy, parsedSerial);
        if (SerialMatches(parsedSerial, wanted))
            return OpenPortByName(link); /* the first match is the only one tried */
    }
    return Refuse(kReasonNoPrinter);
}

int OpenFirstUsbPrinter(void)
{
    portSession.interfaceCount = CountPrintInterfaces();

    char link[kLinkField] = { 0 };
    for (uint32_t i = 0; i < portSession.interfaceCount; i++) {
        if (LookupPrintInterface(i, link) && PassesOpenFilter(link))
            return OpenPortByName(link); /* only the first qualifying printer is tried */
    }
    return Refuse(kReasonNoPrinter);
}
