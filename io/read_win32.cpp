/* The polled read on Windows: one overlapped read, looked at every 15 ms. */
#include "io/io.h"

#include "interface/reason.h"
#include "interface/timing.h"
#include "io/overlapped_win32.h"

namespace {

int Deliver(DWORD count, uint32_t *received)
{
    *received = count;
    if (count == 0)
        return Refuse(kReasonTimedOut);
    return 1;
}

/* Errors that only say the read ended without data in time. Wine ends a quiet serial read with
 * ERROR_TIMEOUT, Windows drivers may say ERROR_SEM_TIMEOUT; our own cancel gives
 * ERROR_OPERATION_ABORTED. Anything else (a device that is gone) is passed on. */
bool MeansNothingArrived(DWORD error)
{
    return error == ERROR_SUCCESS || error == ERROR_IO_INCOMPLETE || error == ERROR_TIMEOUT ||
           error == ERROR_SEM_TIMEOUT || error == ERROR_OPERATION_ABORTED;
}

} // namespace

int ReadDevice(PortSession *session, char *buffer, uint32_t count, uint32_t windowMs,
               uint32_t *received)
{
    HANDLE port = session->portHandle;

    /* The ten exports' reads have no event: completion is observed on the port handle itself,
     * with a sleep between looks. A handle's port waits on its own read event, so a look comes
     * as soon as the request ends. */
    OVERLAPPED overlapped;
    ZeroMemory(&overlapped, sizeof overlapped);
    overlapped.hEvent = session->readEvent;
    DWORD got = 0;

    if (ReadFile(port, buffer, count, &got, &overlapped))
        return Deliver(got, received);
    if (GetLastError() != ERROR_IO_PENDING)
        return 0; /* refused outright: the platform's code stays */

    DWORD ended = ERROR_SUCCESS; /* how the request ended, if it ended without bytes */
    const uint32_t polls = (windowMs + kReadPollMs - 1) / kReadPollMs;
    for (uint32_t poll = 0; poll < polls && !CancelRequested(session); poll++) {
        const DWORD left = windowMs - poll * kReadPollMs;
        const DWORD wait = left < (DWORD)kReadPollMs ? left : (DWORD)kReadPollMs;
        if (session->readEvent != NULL)
            WaitForSingleObject(session->readEvent, wait);
        else
            Sleep(wait);
        if (GetOverlappedResult(port, &overlapped, &got, FALSE))
            return Deliver(got, received);
        /* Ended with an error after moving bytes (e.g. a serial timeout): keep them. A
         * read that is still pending leaves the count alone, at 0. */
        if (got != 0)
            return Deliver(got, received);
        if (GetLastError() != ERROR_IO_INCOMPLETE) {
            ended = GetLastError();
            /* A device that failed (one that is gone) says so at once; only a read that ended
             * quietly waits out the window. */
            if (!MeansNothingArrived(ended))
                break;
        }
    }

    /* Parallel ports and printers have no read timeouts, and on a quiet serial line the
     * platform's timeout outlasts our window: cancel, so the platform never writes into the
     * host's buffer after we return, and deliver any bytes that arrived meanwhile. */
    got = CancelAndCollect(port, &overlapped);
    if (got != 0)
        return Deliver(got, received);
    if (!MeansNothingArrived(ended)) {
        SetLastError(ended);
        return 0;
    }
    if (CancelRequested(session))
        return Refuse(kReasonCancelled);
    return Refuse(kReasonTimedOut);
}
