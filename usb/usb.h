/* USB printer discovery. listing.cpp lists and opens printers, the same on both platforms; the
 * lookups below come from the platform's record of connected printers: the registry's USB
 * printer interface class on Windows (registry_win32.cpp), udev on Linux (udev_linux.cpp). */
#ifndef NORVAT_USB_H
#define NORVAT_USB_H

#include <stdint.h>

/* Working fields of the listing and opening calls, zero-filled at the start of each call.
 * Every value is read with a 170-byte limit and terminated by hand, so texts end in the first
 * 171 bytes. */
enum { kLinkField = 500 };

/* Number of interface entries, live or not; 0 when there are none or the record is missing. */
uint32_t CountPrintInterfaces(void);

/* For entry index: true when it exists, is live and has a readable device link, which then is
 * in link (a kLinkField-byte field, also used as scratch). */
bool LookupPrintInterface(uint32_t index, char *link);

/* As LookupPrintInterface, and the entry's port description is in description too. */
bool LookupPrintInterfaceDetails(uint32_t index, char *link, char *description);

/* Opens the first live printer whose link passes the open filter (port number 6). */
int OpenFirstUsbPrinter(void);

/* Opens the live printer with the serial in request ("description#serial" or a bare serial). */
int OpenUsbBySerial(const char *request);

#endif
