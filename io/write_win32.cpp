/* The overlapped write with its bounded wait, on Windows. */
#include "io/io.h"

#include "interface/reason.h"
#include "interface/timing.h"
#include "io/overlapped_win32.h"

namespace {

/* The ten exports' writes each create this event. Another host process writing at the same
 * moment opens the same object: its WriteFile resets the event, and its waiter may take the
 * signal our write set. So the event only wakes us early; whether our write is done is read from
 * its OVERLAPPED. A handle's port has an unnamed event of its own instead. */
const char kWriteEventName[] = "write_event";

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

/* Waits for a pending write until it ends, boundMs pass or a cancel is asked for. Printer and
 * parallel-port drivers ignore COMMTIMEOUTS, so this bound (and the cancel after it) is what ends
 * their writes. The wait is cut into slices growing from 1 ms, and the OVERLAPPED is looked at
 * after each one, so a write whose signal went to another process still returns within one
 * slice of completing: a write that is merely slow costs few wake-ups, a lost signal on a quick
 * one little. */
DWORD AwaitWrite(const PortSession *session, HANDLE writeEvent, OVERLAPPED *overlapped,
                 int64_t boundMs, DWORD *error)
{
    HANDLE port = session->portHandle;
    DWORD written = 0;
    const DWORD start = GetTickCount();
    DWORD slice = 1;
    for (;;) {
        if (Ended(port, overlapped, &written, error))
            return written; /* done, or failed with the bytes it had moved */
        const DWORD elapsed = GetTickCount() - start; /* wraps harmlessly */
        if ((int64_t)elapsed >= boundMs || CancelRequested(session))
            break;
        const DWORD left = (DWORD)(boundMs - elapsed);
        const DWORD wait = slice < left ? slice : left;
        /* Without an event (its creation failed) the slices are plain sleeps. */
        if (writeEvent != NULL)
            WaitForSingleObject(writeEvent, wait);
        else
            Sleep(wait);
        if (slice < kLongestSliceMs)
            slice *= 2;
    }
    /* Still in flight: cancel it before our stack record goes away, and report what really went
     * out, so the host never resends those bytes. */
    *error = CancelRequested(session) ? ERROR_OPERATION_ABORTED : ERROR_SUCCESS;
    return CancelAndCollect(port, overlapped);
}

} // namespace

uint32_t WriteDevice(PortSession *session, const char *data, uint32_t count, int64_t boundMs)
{
    HANDLE port = session->portHandle;
    /* The named event belongs to this call alone and is closed before it returns. Should it not
     * be created, the write still goes on: the looks at the OVERLAPPED bound the call. */
    const bool ownEvent = session->writeEvent == NULL;
    HANDLE writeEvent =
        ownEvent ? CreateEventA(NULL, FALSE, FALSE, kWriteEventName) : session->writeEvent;

    OVERLAPPED overlapped;
    ZeroMemory(&overlapped, sizeof overlapped);
    overlapped.hEvent = writeEvent;
    DWORD written = 0;
    DWORD error = ERROR_SUCCESS; /* why no byte went out, if none did */

    if (!WriteFile(port, data, count, &written, &overlapped)) {
        error = GetLastError();
        if (error == ERROR_IO_PENDING)
            written = AwaitWrite(session, writeEvent, &overlapped, boundMs, &error);
    }
    if (ownEvent && writeEvent != NULL)
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
