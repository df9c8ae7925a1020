/* Ending a request that is still in flight, so no OVERLAPPED or buffer on our stack (or the
 * host's buffer) is written after the call has returned. */
#include "io/overlapped_win32.h"

DWORD CancelAndCollect(HANDLE port, OVERLAPPED *overlapped)
{
    /* CancelIo (not CancelIoEx) because the request was issued by this thread in this call,
     * and it exists on every Windows version the library supports. */
    CancelIo(port);

    /* A waiting GetOverlappedResult would block on the request's event. The write event is
     * named and auto-reset, so a second host process writing at the same time may consume the
     * signal and such a wait would never return. Poll the request's status instead: a
     * cancelled request finishes promptly, with or without its event. */
    DWORD moved = 0;
    while (!GetOverlappedResult(port, overlapped, &moved, FALSE)) {
        if (GetLastError() != ERROR_IO_INCOMPLETE)
            return moved; /* ended: cancelled or failed, with the bytes it had moved */
        Sleep(1);
    }
    return moved;
}

BOOL AskDevice(HANDLE device, DWORD code, void *answer, DWORD size, DWORD *got, DWORD waitMs)
{
    OVERLAPPED overlapped;
    ZeroMemory(&overlapped, sizeof overlapped);
    *got = 0;
    if (DeviceIoControl(device, code, NULL, 0, answer, size, got, &overlapped))
        return TRUE;
    if (GetLastError() != ERROR_IO_PENDING)
        return FALSE;
    for (DWORD waited = 0; waited < waitMs; waited++) {
        if (GetOverlappedResult(device, &overlapped, got, FALSE))
            return TRUE;
        if (GetLastError() != ERROR_IO_INCOMPLETE)
            return FALSE;
        Sleep(1);
    }
    CancelAndCollect(device, &overlapped);
    *got = 0;
    SetLastError(ERROR_TIMEOUT);
    return FALSE;
}
