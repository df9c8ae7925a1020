/* What the reads of both platforms share. */
#include "io/io.h"

int ReadPort(PortSession *port, char *buffer, uint32_t count, uint32_t windowMs,
             uint32_t *received)
{
    if (port->portKind == kPortNetwork)
        return ReadSocket(port, buffer, count, windowMs, received);
    return ReadDevice(port, buffer, count, windowMs, received);
}
