/* What the writes of both platforms share. */
#include "io/io.h"

#include "interface/timing.h"

int64_t WriteBoundMs(const PortSession *port, uint32_t count, int timeoutMs)
{
    int64_t bound = timeoutMs >= 0 ? (int64_t)timeoutMs : 2 * (int64_t)port->writeTimeoutMs;
    if (port->portKind == kPortSerialLine) {
        const int64_t line = kSerialWriteConstantMs + (int64_t)kSerialWritePerByteMs * count;
        if (line < bound)
            bound = line;
    }
    return bound;
}

uint32_t WritePort(PortSession *port, const char *data, uint32_t count, int64_t boundMs)
{
    if (port->portKind == kPortNetwork) {
        const WritePiece piece = {data, count};
        return WriteSocket(port, &piece, 1, boundMs);
    }
    return WriteDevice(port, data, count, boundMs);
}
