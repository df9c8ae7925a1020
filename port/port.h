/* Port selection, opening, serial line set-up and closing. */
#ifndef NORVAT_PORT_H
#define NORVAT_PORT_H

/* Opens a device path into the session: "LPT1", a USB device link, or a name beginning with
 * 'C' (a serial port, opened as "\\.\" + name and set up at 9600 8N1). Closes the open port
 * first. Returns 1 when opened; 0 otherwise, and then no port is open. */
int OpenPortByName(const char *name);

/* Opens port number 0-9 as the port table says (6 is the first USB printer). */
int OpenNumberedPort(unsigned short portNumber);

/* Sets speed, 8N1 and XON/XOFF output on the open serial port. Non-zero on success. */
int SetLineSpeed(int rate);

#endif
