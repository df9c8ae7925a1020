/* What Linux tells of a USB printer, turned into what the listing works with: the device link
 * Windows records for the same printer, and the printer's description. Pure text logic, no
 * Linux header, so it also builds natively for the sanitizer tests and the fuzzer. */
#ifndef NORVAT_DEVICE_ID_H
#define NORVAT_DEVICE_ID_H

#include <stddef.h>

/* Writes "\\?\USB#VID_vvvv&PID_pppp#<serial>#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}" into link,
 * a field of size bytes, vendor and product (sysfs idVendor/idProduct, hex) in upper case.
 * Returns false, leaving link empty, when vendor or product is not 1 to 4 hex digits, serial
 * is empty, or the link would be longer than the 170 bytes a registry value holds: such a
 * printer is not listed, as on Windows. */
bool BuildDeviceLink(char *link, size_t size, const char *vendor, const char *product,
                     const char *serial);

/* Copies the printer's description into field (size bytes, cut to 170 bytes): the DES: field
 * of its IEEE 1284 device id (deviceId, may be NULL), else its MDL: field, else product (may be
 * NULL). The long key names DESCRIPTION: and MODEL: count too. Returns false, leaving field
 * empty, when none of them has text. */
bool DescribePrinter(char *field, size_t size, const char *deviceId, const char *product);

#endif
