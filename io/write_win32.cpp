/* The overlapped write with its timed wait, and sendbuf / sendcommand on top of it. */
#include "io/io.h"

#include "include/norvat.h"
#include "interface/session.h"

namespace {

/* Each write creates this event. Another host process writing at the same moment opens the
 * same object, which is why a write's outcome is taken from its OVERLAPPED, never from a wait. */
const char kWriteEventName[] = "write_event";

const char kCarriageReturn = '\r';
const char kLineFeed = '\n';

void CloseWriteEvent(void)
{
    if (portSession.writeEvent != NULL)
        CloseHandle(portSession.writeEvent);
    portSession.writeEvent = NULL;
}

} // namespace

int WritePort(const char *data, DWORD count)
{
    HANDLE port = portSession.portHandle;
    if (port == NULL)
        return 0;
    if (count == 0)
        return 1;

    /* Should the event not be created the write still goes on: the wait below ends at once
     * and the looks at the OVERLAPPED bound the call. */
    portSession.writeEvent = CreateEventA(NULL, FALSE, FALSE, kWriteEventName);

    OVERLAPPED overlapped;
    ZeroMemory(&overlapped, sizeof overlapped);
    overlapped.hEvent = portSession.writeEvent;
    DWORD written = 0;

    if (WriteFile(port, data, count, &written, &overlapped)) {
        CloseWriteEvent();
        return (int)written;
    }
    if (GetLastError() != ERROR_IO_PENDING) {
        CloseWriteEvent();
        return 0;
    }

    /* Printer and parallel-port drivers ignore COMMTIMEOUTS, so this timed wait, a second look
     * after the same time again, and the cancel below are what bound a write. */
    WaitForSingleObject(portSession.writeEvent, portSession.writeTimeoutMs);
    if (!GetOverlappedResult(port, &overlapped, &written, FALSE)) {
        Sleep(portSession.writeTimeoutMs);
        if (!GetOverlappedResult(port, &overlapped, &written, FALSE) &&
            GetLastError() == ERROR_IO_INCOMPLETE) {
            /* Still in flight after about 20 s: cancel it before our stack record goes away,
             * and report what really went out, so the host never resends those bytes. */
            written = CancelAndCollect(port, &overlapped);
        }
    }
    CloseWriteEvent();
    return (int)written;
}

int NORVAT_CALL sendbuf(const char *data, int count)
{
    return WritePort(data, (DWORD)count);
}

int NORVAT_CALL sendcommand(const char *text)
{
    /* One write per byte, as devices that parse commands byte by byte expect. */
    for (const char *c = text; *c != '\0'; c++) {
        if (WritePort(c, 1) == 0)
            return 0;
    }
    if (WritePort(&kCarriageReturn, 1) == 0)
        return 0;
    return WritePort(&kLineFeed, 1) == 1 ? 1 : 0;
}
