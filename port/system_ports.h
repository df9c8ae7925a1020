/* The serial and parallel ports the machine has, for the listing. Platform files
 * (system_ports_<platform>.cpp). */
#ifndef NORVAT_SYSTEM_PORTS_H
#define NORVAT_SYSTEM_PORTS_H

/* One port: kind "serial" or "parallel", name what norvat_open takes ("COM3", "/dev/ttyUSB0"),
 * description what it is ("COM1" for /dev/ttyS0, a USB adapter's product name, the system's
 * device name); texts valid during the call only. */
typedef void (*SystemPortVisit)(const char *kind, const char *name, const char *description,
                                void *context);

/* Calls visit for every serial port, then every parallel port, each kind in number order. */
void EachSystemPort(SystemPortVisit visit, void *context);

#endif
