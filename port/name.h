/* What a port name means: decided here once, for both platforms, OpenUSB and the norvat tool.
 * Pure text logic with no platform header, so it also builds natively for the sanitizer tests and
 * the fuzzer. The platform files only open what a name names. */
#ifndef NORVAT_NAME_H
#define NORVAT_NAME_H

#include <stdint.h>

enum PortNameKind {
    kPortNameSerial,     /* begins with 'C': "COM1", "COM12"; at most 15 characters */
    kPortNameParallel,   /* "LPT1" to "LPT9" (the ten exports open LPT1 and LPT2 only) */
    kPortNameNetwork,    /* "tcp://HOST[:PORT]", the scheme in any case */
    kPortNameDevicePath, /* "/dev/...", a device node (Linux) */
    kPortNameDeviceLink, /* anything else: a USB printer's device link, opened as it is */
};

PortNameKind ClassifyPortName(const char *name);

/* Whether OpenUSB opens request by name rather than looking for the USB printer with that serial:
 * a serial port name (beginning "CO"), a network address, and where devicePaths is set a device
 * path. No printer serial begins with "tcp://". */
bool OpenedByName(const char *request, bool devicePaths);

/* A network printer's address, taken apart. */
enum { kLongestHostName = 253, kDefaultNetworkPort = 9100 };
struct NetworkAddress {
    char host[kLongestHostName + 1]; /* a name, an IPv4 literal, or an IPv6 literal unbracketed */
    char service[6];                 /* the port, 1-65535, as the resolver takes it */
    bool literalV6;                  /* host was given in brackets */
};

/* Takes "tcp://HOST" or "tcp://HOST:PORT" apart (PORT 9100 when left out). HOST is a name or an
 * IPv4 literal of at most 253 characters, or an IPv6 literal in brackets. False for anything
 * else: another scheme, an empty host, a port of 0, above 65535 or not all digits, text after
 * the port. */
bool ParseNetworkAddress(const char *name, NetworkAddress *address);

#endif
