/* Opening, serial line set-up and closing a port: open_<platform>.cpp and line_<platform>.cpp
 * hold the device calls, on the record of the port they are given. */
#ifndef NORVAT_PORT_H
#define NORVAT_PORT_H

#include "interface/session.h"

/* Opens a device into port: "LPT1", "LPT2", a USB device link, or a name beginning with 'C' (a
 * serial port, set up at 9600 8N1 with XON/XOFF on output; at most 15 characters), a network
 * printer's "tcp://" address (connecting for at most connectMs), and on Linux a "/dev/" path.
 * Closes the port's device first (but for a malformed network address, which changes nothing).
 * Returns 1 when opened; 0 otherwise, with the reason set, and then no device is open: a
 * device already open in this process gives the busy reason. */
int OpenPortByName(PortSession *port, const char *name, int connectMs);

/* Whether this platform opens "/dev/..." paths by name (Linux); elsewhere such a text is a USB
 * printer's serial, as any text that names no port. Platform file. */
extern const bool kOpensDevicePaths;

/* Sets speed, 8N1 and XON/XOFF output on the port's serial line. Non-zero on success; 0 with
 * the platform's reason when the port is no serial line or refuses the rate. A device must be
 * open; a network printer's socket is never asked. */
int SetLineSpeed(PortSession *port, int rate);

#endif
