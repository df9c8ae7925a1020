/* RcvBuf, on the polled read of the platform file. */
#include "io/io.h"

#include "include/norvat.h"
#include "interface/reason.h"
#include "interface/session.h"

int ReadPort(char *buffer, uint32_t count, uint32_t *received)
{
    if (!PortIsOpen())
        return Refuse(kReasonNoPort);
    if (count == 0) {
        /* Nothing asked, nothing read: the device is not touched, so no byte waiting there is
         * taken, and the buffer holds the empty text, as after any read of 0 bytes. */
        *received = 0;
        buffer[0] = '\0';
        return Refuse(kReasonNone);
    }
    if (portSession.portKind == kPortNetwork)
        return ReadSocket(buffer, count, received);
    return ReadDevice(buffer, count, received);
}

int NORVAT_CALL RcvBuf(char *buffer, int count)
{
    if (buffer == NULL || count < 0)
        return Refuse(kReasonBadArgument);
    SessionLock lock;
    uint32_t received = 0;
    if (!ReadPort(buffer, (uint32_t)count, &received))
        return 0;
    buffer[received] = '\0';
    return (int)received;
}
