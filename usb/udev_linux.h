/* What the Linux port code asks of the USB printer record beyond the lookups in usb.h. */
#ifndef NORVAT_UDEV_LINUX_H
#define NORVAT_UDEV_LINUX_H

#include <stddef.h>

/* The device node (/dev/usb/lpN) of the connected printer whose device link is link, copied
 * into node (size bytes). False when no connected printer has that link. */
bool PrinterNodeForLink(const char *link, char *node, size_t size);

#endif
