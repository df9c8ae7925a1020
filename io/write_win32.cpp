/* The overlapped write with its bounded wait, on Windows. */
#include "io/io.h"

#include "interface/reason.h"
#include "interface/session.h"
#include "io/overlapped_win32.h"

namespace {

/* Each write creates this event. Another host process writing at the same moment opens the same
 * object: its WriteFile resets the event, and its waiter may take the signal our write set. So
 * the event only wakes us early; whether our write is done is read from its OVERLAPPED. */
const char kWriteEventName[] = "write_event";

/* The wait is cut into slices, and the OVERLAPPED is looked at after each one, so a write whose
 * signal went to another process still returns within one slice of completing. Slices grow from
 * 1 ms: a write that is merely slow costs few wake-ups, a lost signal on a quick one little. */
const DWORD kFirstSliceMs = 1;
const DWORD kLongestSliceMs = 16;

/* Whether the request has ended; *written and *error then say how. */
bool Ended(HANDLE port, OVERLAPPED *overlapped, DWORD *written, DWORD *error)
{
    if (GetOverlappedResult(port, overlapped, written, FALSE)) {
        *error = ERROR_SUCCESS;
        return true;
    }
    *error = GetLastError();
    return *error != ERROR_IO_INCOMPLETE;
}

/* Waits for a pending write until it ends or boundMs pass. Printer and parallel-port drivers
 * ignore COMMTIMEOUTS, so this bound (and the cancel after it) is what ends their writes. */
DWORD AwaitWrite(HANDLE port, HANDLE writeEvent, OVERLAPPED *overlapped, DWORD boundMs,
                 DWORD *error)
{
    DWORD written = 0;
    const DWORD start = GetTickCount();
    DWORD slice = kFirstSliceMs;
    for (;;) {
        if (Ended(port, overlapped, &written, error))
            return written; /* done, or failed with the bytes it had moved */
        const DWORD elapsed = GetTickCount() - start; /* wraps harmlessly */
        if (elapsed >= boundMs)
            break;
        const DWORD left = boundMs - elapsed;
        const DWORD wait = slice < left ? slice : left;
        /* Without an event (its creation failed) the slices are plain sleeps. */
        if (writeEvent != NULL)
            WaitForSingleObject(writeEvent, wait);
        else
            Sleep(wait);
        if (slice < kLongestSliceMs)
            slice *= 2;
    }
    /* Still in flight after the bound: cancel it before our stack record goes away, and report
     * what really went out, so the host never resends those bytes. */
    *error = ERROR_SUCCESS;
    return CancelAndCollect(port, overlapped);
}

} // namespace

uint32_t WriteDevice(const char *data, uint32_t count)
{
    HANDLE port = portSession.portHandle;
    /* The event belongs to this call alone and is closed before it returns. Should it not be
     * created, the write still goes on: the looks at the OVERLAPPED bound the call. */
    HANDLE writeEvent = CreateEventA(NULL, FALSE, FALSE, kWriteEventName);

    OVERLAPPED overlapped;
    ZeroMemory(&overlapped, sizeof overlapped);
    overlapped.hEvent = writeEvent;
    DWORD written = 0;
    DWORD error = ERROR_SUCCESS; /* why no byte went out, if none did */

    if (!WriteFile(port, data, count, &written, &overlapped)) {
        error = GetLastError();
        if (error == ERROR_IO_PENDING) {
            /* A 10 s wait and a second look 10 s later: about 20 s in all, ending as soon as
             * the write does. */
            written = AwaitWrite(port, writeEvent, &overlapped, 2 * portSession.writeTimeoutMs,
                                 &error);
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
