/* sendbuf and sendcommand, on the bounded write of the platform file. */
#include "io/io.h"

#include "include/norvat.h"
#include "interface/reason.h"
#include "interface/session.h"

namespace {

const char kCarriageReturn = '\r';
const char kLineFeed = '\n';

} // namespace

uint32_t WritePort(const char *data, uint32_t count)
{
    if (!PortIsOpen())
        return (uint32_t)Refuse(kReasonNoPort);
    if (count == 0)
        return 1;
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
    /* One write per byte, as devices that parse commands byte by byte expect. */
    for (const char *c = text; *c != '\0'; c++) {
        if (WritePort(c, 1) == 0)
            return 0;
    }
    if (WritePort(&kCarriageReturn, 1) == 0)
        return 0;
    return WritePort(&kLineFeed, 1) == 1 ? 1 : 0;
}
