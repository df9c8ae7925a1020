/* sendbuf and sendcommand, on the bounded write of the platform file. */
#include "io/io.h"

#include "include/norvat.h"
#include "interface/reason.h"
#include "interface/session.h"
#include "interface/text.h"

namespace {

const char kCrLf[] = "\r\n";
const char kCarriageReturn = kCrLf[0];
const char kLineFeed = kCrLf[1];

} // namespace

uint32_t WritePort(const char *data, uint32_t count)
{
    if (!PortIsOpen())
        return (uint32_t)Refuse(kReasonNoPort);
    if (count == 0)
        return 1;
    if (portSession.portKind == kPortNetwork) {
        const WritePiece piece = {data, count};
        return WriteSocket(&piece, 1);
    }
    return WriteDevice(data, count);
}

int NORVAT_CALL sendbuf(const char *data, int count)
{
    if (data == NULL || count < 0)
        return Refuse(kReasonBadArgument);
    SessionLock lock;
    return (int)WritePort(data, (uint32_t)count);
}

int NORVAT_CALL sendcommand(const char *text)
{
    if (text == NULL)
        return Refuse(kReasonBadArgument);
    /* One lock for the whole command, so another thread's bytes never land inside it. */
    SessionLock lock;
    if (PortIsOpen() && portSession.portKind == kPortNetwork) {
        /* On a stream, a write per byte only costs a round trip per byte: the command and its
         * CR LF go as one write, and count only when the printer acknowledged all of it. */
        const WritePiece pieces[2] = {{text, (uint32_t)BoundedLength(text, UINT32_MAX - 2)},
                                      {kCrLf, 2}};
        return WriteSocket(pieces, 2) == pieces[0].count + 2 ? 1 : 0;
    }
    /* One write per byte, as devices that parse commands byte by byte expect. */
    for (const char *c = text; *c != '\0'; c++) {
        if (WritePort(c, 1) == 0)
            return 0;
    }
    if (WritePort(&kCarriageReturn, 1) == 0)
        return 0;
    return WritePort(&kLineFeed, 1) == 1 ? 1 : 0;
}
