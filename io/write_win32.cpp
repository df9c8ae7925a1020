/* The overlapped write with its timed wait, on Windows. */
#include "io/io.h"

#include "interface/reason.h"
#include "interface/session.h"
#include "io/overlapped_win32.h"

namespace {

/* Each write creates this event. Another host process writing at the same moment opens the same
 * object, which is why a write's outcome is taken from its OVERLAPPED, never from a wait. */
const char kWriteEventName[] = "write_event";

} // namespace

uint32_t WriteDevice(const char *data, uint32_t count)
{
    HANDLE port = portSession.portHandle;
    /* The event belongs to this call alone and is closed before it returns. Should it not be
     * created, the write still goes on: the wait below ends at once and the looks at the
     * OVERLAPPED bound the call. */
    HANDLE writeEvent = CreateEventA(NULL, FALSE, FALSE, kWriteEventName);

    OVERLAPPED overlapped;
    ZeroMemory(&overlapped, sizeof overlapped);
    overlapped.hEvent = writeEvent;
    DWORD written = 0;
    DWORD error = ERROR_SUCCESS; /* why no byte went out, if none did */

    if (!WriteFile(port, data, count, &written, &overlapped)) {
        error = GetLastError();
        if (error == ERROR_IO_PENDING) {
            error = ERROR_SUCCESS;
            /* Printer and parallel-port drivers ignore COMMTIMEOUTS, so this timed wait, a
             * second look after the same time again, and the cancel below bound a write. */
            WaitForSingleObject(writeEvent, portSession.writeTimeoutMs);
            if (!GetOverlappedResult(port, &overlapped, &written, FALSE)) {
                Sleep(portSession.writeTimeoutMs);
                if (!GetOverlappedResult(port, &overlapped, &written, FALSE)) {
                    error = GetLastError();
                    if (error == ERROR_IO_INCOMPLETE) {
                        /* Still in flight after about 20 s: cancel it before our stack record
                         * goes away, and report what really went out, so the host never
                         * resends those bytes. */
                        written = CancelAndCollect(port, &overlapped);
                        error = ERROR_SUCCESS;
                    }
                }
            }
        }
    }
    if (writeEvent != NULL)
        CloseHandle(writeEvent);
    if (written == 0) {
        /* Refused or failed: the platform's code. Given up with nothing gone out: a timeout. */
        if (error == ERROR_SUCCESS)
            SetReason(kReasonTimedOut);
        else
            SetLastError(error);
    }
    return written;
}
