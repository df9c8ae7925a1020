/* USB printer discovery: registry lookups on the USB printer interface class, and the listing
 * and opening built on them. */
#ifndef NORVAT_USB_H
#define NORVAT_USB_H

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

/* Working fields of the listing and opening calls, zero-filled at the start of each call.
 * Every value is read with a 170-byte limit and terminated by hand, so texts end in the first
 * 171 bytes. */
enum { kLinkField = 500 };

/* Number of entries (subkeys) of the interface class key; 0 when it is missing or empty. */
DWORD CountPrintInterfaces(void);

/* For entry index: true when it exists, is live ("Linked") and has a readable "SymbolicLink",
 * which then is in link (a kLinkField-byte field, also used as scratch). */
bool LookupPrintInterface(DWORD index, char *link);

/* As LookupPrintInterface, and the entry's "Port Description" is in description too. */
bool LookupPrintInterfaceDetails(DWORD index, char *link, char *description);

/* Opens the first live printer whose link passes the open filter (port number 6). */
int OpenFirstUsbPrinter(void);

/* Opens the live printer with the serial in request ("description#serial" or a bare serial). */
int OpenUsbBySerial(const char *request);

#endif
