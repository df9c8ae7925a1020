/* The polled read on Windows: one overlapped read, looked at every 15 ms. */
#include "io/io.h"

#include "interface/reason.h"
#include "interface/session.h"
#include "io/overlapped_win32.h"

namespace {

/* 30 looks, 15 ms apart: a read never holds the host for more than about 450 ms. */
const int kPollCount = 30;
const DWORD kPollIntervalMs = 15;

int Deliver(char *buffer, DWORD count, uint32_t *received)
{
    *received = count;
    buffer[count] = '\0';
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

int ReadDevice(char *buffer, uint32_t count, uint32_t *received)
{
    HANDLE port = portSession.portHandle;

    /* No event: completion is observed on the port handle itself. */
    OVERLAPPED overlapped;
    ZeroMemory(&overlapped, sizeof overlapped);
    DWORD got = 0;

    if (ReadFile(port, buffer, count, &got, &overlapped))
        return Deliver(buffer, got, received);
    if (GetLastError() != ERROR_IO_PENDING)
        return 0; /* refused outright: the platform's code stays */

    DWORD ended = ERROR_SUCCESS; /* how the request ended, if it ended without bytes */
    for (int poll = 0; poll < kPollCount; poll++) {
        Sleep(kPollIntervalMs);
        if (GetOverlappedResult(port, &overlapped, &got, FALSE))
            return Deliver(buffer, got, received);
        /* Ended with an error after moving bytes (e.g. a serial timeout): keep them. A
         * read that is still pending leaves the count alone, at 0. */
        if (got != 0)
            return Deliver(buffer, got, received);
        if (GetLastError() != ERROR_IO_INCOMPLETE)
            ended = GetLastError();
    }

    /* Parallel ports and printers have no read timeouts, and on a quiet serial line the
     * platform's timeout outlasts our window: cancel, so the platform never writes into the
     * host's buffer after we return, and deliver any bytes that arrived meanwhile. */
    got = CancelAndCollect(port, &overlapped);
    if (got != 0)
        return Deliver(buffer, got, received);
    if (MeansNothingArrived(ended))
        return Refuse(kReasonTimedOut);
    SetLastError(ended);
    return 0;
}
