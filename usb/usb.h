/* USB printer discovery: the platform's record of connected printers (the registry's USB printer
 * interface class on Windows, registry_win32.cpp; udev on Linux, udev_linux.cpp). The ten
 * exports walk it by entry index with their filters (interface/exports.cpp); the handles and
 * the listing walk every printer of every maker (printers.cpp). */
#ifndef NORVAT_USB_H
#define NORVAT_USB_H

#include <stddef.h>
#include <stdint.h>

#include "interface/session.h"

/* ---- The ten exports' lookups, by entry index. */

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

/* Whether the system's printer records can be read at all: always on Windows; on Linux only
 * where libudev.so.1 could be loaded. */
bool PrinterRecordsAvailable(void);

/* ---- Every connected printer, for the handles and the listing. */

enum { kPrinterText = 256, kIdText = 5, kDeviceIdText = 1024 };

struct PrinterRecord {
    char link[kPrinterText];        /* its device link: the name the listing gives it */
    char node[kPrinterText];        /* what opens it: Windows the link, Linux /dev/usb/lpN */
    char description[kPrinterText]; /* "" when the system has none */
    char serial[kPrinterText];      /* "" when the printer has none */
    char vendorId[kIdText];         /* four lower-case hex digits */
    char productId[kIdText];
    char deviceId[kDeviceIdText];   /* its IEEE 1284 device ID, when asked for; "" when none */
};

/* Calls visit for every connected printer, in the system's order, until it returns true; with
 * withDeviceId each record carries the printer's device ID (on Windows the printer is asked,
 * which takes a moment). False, with the reason set, when the records cannot be read at all.
 * Platform file. */
typedef bool (*PrinterVisit)(const PrinterRecord *record, void *context);
bool EachPrinter(PrinterVisit visit, void *context, bool withDeviceId);

/* Opens into port the first connected printer that request names (usb/link.h, MatchPrinter): its
 * link, its serial, "description#serial", or a serial cut to 19 characters. 1 when opened; 0
 * with the reason set: no printer matched (or no records at all), or the open's own. */
int OpenPrinter(PortSession *port, const char *request);

#endif
