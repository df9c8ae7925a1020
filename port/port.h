/* Port selection, opening, serial line set-up and closing. port.cpp holds what both platforms
 * share (port numbers, the exports); open_<platform>.cpp and line_<platform>.cpp the device calls. */
#ifndef NORVAT_PORT_H
#define NORVAT_PORT_H

/* Serial line timeouts, one set for both platforms (Windows hands them to the driver, Linux keeps
 * them itself): a read ends 200 ms after its last byte, or 200 ms plus 100 ms per byte asked for
 * after it began; a write is given up 200 ms plus 100 ms per byte after it began, and what the
 * line had not sent by then never goes out. */
enum {
    kSerialReadIntervalMs = 200,
    kSerialReadPerByteMs = 100,
    kSerialReadConstantMs = 200,
    kSerialWritePerByteMs = 100,
    kSerialWriteConstantMs = 200,
};

/* Opens a device into the session: "LPT1", "LPT2", a USB device link, or a name beginning with
 * 'C' (a serial port, set up at 9600 8N1 with XON/XOFF on output; at most 15 characters). On
 * Linux also a "/dev/" path. Closes the open port first. Returns 1 when opened; 0 otherwise,
 * with the reason set, and then no port is open. */
int OpenPortByName(const char *name);

/* Whether this platform opens "/dev/..." paths by name (Linux); elsewhere such a text is a USB
 * printer's serial, as any text that names no port. Platform file. */
extern const bool kOpensDevicePaths;

/* Opens port number 0-9 as the port table says (6 is the first USB printer). */
int OpenNumberedPort(unsigned short portNumber);

/* Sets speed, 8N1 and XON/XOFF output on the open port. Non-zero on success; 0 with the
 * platform's reason when the port is no serial line or refuses the rate. A port must be open. */
int SetLineSpeed(int rate);

#endif
