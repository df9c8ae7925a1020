/* Serial line set-up on Linux, used by the open. */
#ifndef NORVAT_LINE_LINUX_H
#define NORVAT_LINE_LINUX_H

#include "interface/session.h"

/* Raw mode, 9600 bit/s, 8N1, XON/XOFF on output only, CLOCAL|CREAD, reads that never block.
 * Failures are ignored, as on Windows: the port is usable with whatever the driver kept. */
void SetUpSerialLine(PortSession *port);

#endif
