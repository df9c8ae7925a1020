/* The polled read and RcvBuf on top of it. */
#include "io/io.h"

#include "include/norvat.h"
#include "interface/session.h"

namespace {

/* 30 looks, 15 ms apart: a read never holds the host for more than about 450 ms. */
const int kPollCount = 30;
const DWORD kPollIntervalMs = 15;

int Deliver(char *buffer, DWORD count, DWORD *received)
{
    *received = count;
    buffer[count] = '\0';
    return count != 0 ? 1 : 0;
}

} // namespace

int ReadPort(char *buffer, DWORD count, DWORD *received)
{
    HANDLE port = portSession.portHandle;
    if (port == NULL)
        return 0;

    /* No event: completion is observed on the port handle itself. */
    OVERLAPPED overlapped;
    ZeroMemory(&overlapped, sizeof overlapped);
    DWORD got = 0;

    if (ReadFile(port, buffer, count, &got, &overlapped))
        return Deliver(buffer, got, received);
    if (GetLastError() != ERROR_IO_PENDING)
        return 0;

    for (int poll = 0; poll < kPollCount; poll++) {
        Sleep(kPollIntervalMs);
        if (GetOverlappedResult(port, &overlapped, &got, FALSE))
            return Deliver(buffer, got, received);
        /* Ended with an error after moving bytes (e.g. a serial timeout): keep them. A
         * read that is still pending leaves the count alone, at 0. */
        if (got != 0)
            return Deliver(buffer, got, received);
    }

    /* Parallel ports and printers have no read timeouts, and on a quiet serial line the
     * platform's timeout outlasts our window: cancel, so the platform never writes into the
     * host's buffer after we return, and deliver any bytes that arrived meanwhile. */
    got = CancelAndCollect(port, &overlapped);
    if (got != 0)
        return Deliver(buffer, got, received);
    return 0;
}

int NORVAT_CALL RcvBuf(char *buffer, int count)
{
    DWORD received = 0;
    if (!ReadPort(buffer, (DWORD)count, &received))
        return 0;
    buffer[received] = '\0';
    return (int)received;
}
