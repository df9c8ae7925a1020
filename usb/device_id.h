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

/* As BuildDeviceLink, for any printer and any length that fits size: a printer without a serial
 * gets "&" and the USB port it is plugged into ("&1-2") in its place, as Windows makes up an
 * instance with '&' in it for such a printer. False, leaving link empty, when the ids are not
 * hex, both serial and usbPort are empty, or size is too small. */
bool BuildPrinterLink(char *link, size_t size, const char *vendor, const char *product,
                      const char *serial, const char *usbPort);

/* Copies the value of a key of an IEEE 1284 device ID into field (size bytes, cut to fit): the
 * long key ("MANUFACTURER"), else the short one ("MFG"), in any case. ""
 * when neither is there (deviceId may be NULL). */
void DeviceIdField(const char *deviceId, const char *longKey, const char *shortKey, char *field,
                   size_t size);

#endif
