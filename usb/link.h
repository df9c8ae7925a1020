/* Device link parsing and the link filters: pure text logic, no Windows header, so it also builds
 * natively for the sanitizer tests and the fuzzer. */
#ifndef NORVAT_LINK_H
#define NORVAT_LINK_H

#include <stddef.h>

/* Every search for '#' looks at positions 0-41 only. */
enum { kHashScanLimit = 42 };

/* Serials are cut to 19 characters: the serial field holds 20 bytes with the NUL. */
enum { kSerialField = 20 };

/* Position of the first '#' among the first 42 positions of text (stopping at its end), or -1. */
int BoundedHashScan(const char *text);

/* Stores the third '#'-separated field of link (as far as the bounded searches find it) in
 * serial, a field of kSerialField bytes, cut to 19 characters. Cuts link at that third '#', so
 * a caller that still needs the whole link parses a copy. */
void ParseLinkSerial(char *link, char *serial);

/* The serial a host asks OpenUSB for: the text after the first '#' within 42 positions, or all
 * of request when there is none there. */
const char *WantedSerial(const char *request);

/* Writes "description#serial" into a host buffer of at least kListingBuffer bytes; the
 * description is cut to the 170 bytes a registry value can hold. */
enum { kRegistryValueLimit = 170, kListingBuffer = kRegistryValueLimit + 1 + kSerialField };
void FormatListing(char *buffer, const char *description, const char *serial);

/* Whether a link passes the filters: opening (also the first listing) and the next listing. */
int PassesOpenFilter(const char *link);
int PassesFirstListingFilter(const char *link);
int PassesNextListingFilter(const char *link);

/* Whether a parsed serial equals the serial a host asks for, compared as the listing shows it:
 * cut to 19 characters on both sides, so a listing text handed back still matches. */
int SerialMatches(const char *parsed, const char *wanted);

/* ---- Any maker's printer, for the handles: no filters, no 42-position or 19-character limits.
 * A device link's fields are split at every '#'. */

/* From a device link "\\?\USB#VID_vvvv&PID_pppp#serial#{...}" (any case): the USB ids as four
 * lower-case hex digits each ("" when the link has none) and the serial ("" when the third field
 * is no serial but an instance the system made up, which holds '&'). Fields of idSize (at least
 * 5) and serialSize bytes. */
void ParsePrinterLink(const char *link, char *vendorId, char *productId, size_t idSize,
                      char *serial, size_t serialSize);

/* How a text a host passes to norvat_open names a printer with this link and serial: */
enum PrinterMatch {
    kNoMatch,
    kMatchesLink,   /* the link itself, in any case, "\\?\" or "\\.\" alike */
    kMatchesSerial, /* the serial (after the last '#', if any), in any case */
    kMatchesCut,    /* 19 characters that begin a longer serial, as FindFirstUSB lists it */
};
PrinterMatch MatchPrinter(const char *request, const char *link, const char *serial);

#endif
