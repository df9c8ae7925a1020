/* Writing to and reading from a network printer on Windows. "Written" means acknowledged by the
 * printer: Windows 10 (1703 and later) reports through SIO_TCP_INFO how many bytes went out and
 * how many of them are still in flight, unacknowledged. Where it reports nothing (older Windows,
 * Wine), a write counts the bytes the TCP stack took. */
#include "io/io.h"

#include "interface/reason.h"
#include "interface/timing.h"
#include "port/winsock_win32.h"

namespace {

/* The most pieces one write takes: a command and its CR LF. */
const int kMostPieces = 2;

/* SIO_TCP_INFO's answer, version 0, as Windows 10 1703 defines it. */
struct TcpInfoV0 {
    int State;
    ULONG Mss;
    ULONG64 ConnectionTimeMs;
    BOOLEAN TimestampsEnabled;
    ULONG RttUs;
    ULONG MinRttUs;
    ULONG BytesInFlight;
    ULONG Cwnd;
    ULONG SndWnd;
    ULONG RcvWnd;
    ULONG RcvBuf;
    ULONG64 BytesOut;
    ULONG64 BytesIn;
    ULONG BytesReordered;
    ULONG BytesRetrans;
    ULONG FastRetrans;
    ULONG DupAcksIn;
    ULONG TimeoutEpisodes;
    UCHAR SynRetrans;
};
const DWORD kSioTcpInfo = 0xD8000027; /* _WSAIORW(IOC_VENDOR, 39) */
const int kTcpStateEstablished = 4;

/* Bytes of the connection the printer acknowledged so far, in all; false when the platform
 * cannot tell. *established says whether the connection still stands. */
bool Acknowledged(const Winsock *ws, SOCKET s, ULONG64 *acknowledged, bool *established)
{
    DWORD version = 0;
    TcpInfoV0 info;
    DWORD size = 0;
    if (ws->WSAIoctl(s, kSioTcpInfo, &version, sizeof version, &info, sizeof info, &size, NULL,
                     NULL) != 0 ||
        size < sizeof info)
        return false;
    *acknowledged = info.BytesOut - info.BytesInFlight;
    *established = info.State == kTcpStateEstablished;
    return true;
}

DWORD Elapsed(DWORD start)
{
    return GetTickCount() - start; /* wraps harmlessly */
}

/* Waits for s to become writable (readable with forRead) for at most ms, and at most one slice,
 * so that a cancel is seen. */
void AwaitSocket(const Winsock *ws, SOCKET s, bool forRead, DWORD ms)
{
    if (ms > (DWORD)kLongestSliceMs)
        ms = kLongestSliceMs;
    fd_set ready;
    FD_ZERO(&ready);
    FD_SET(s, &ready);
    struct timeval wait = {(long)(ms / 1000), (long)(ms % 1000) * 1000};
    ws->select(0, forRead ? &ready : NULL, forRead ? NULL : &ready, NULL, &wait);
}

/* A connection given up on with bytes not acknowledged: closed with a reset, so the stack drops
 * them and they never reach the printer after the host was told they did not. An unconnected
 * socket takes its place, so later calls fail (not connected) until the host reopens. */
void Abandon(const Winsock *ws, PortSession *port, SOCKET s)
{
    const struct linger abort = {1, 0};
    ws->setsockopt(s, SOL_SOCKET, SO_LINGER, (const char *)&abort, sizeof abort);
    ws->closesocket(s);
    port->portHandle = (HANDLE)ws->socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
}

} // namespace

uint32_t WriteSocket(PortSession *port, const WritePiece *pieces, int pieceCount, int64_t boundMs)
{
    const Winsock *ws = LoadedWinsock();
    const SOCKET s = (SOCKET)port->portHandle;
    const DWORD start = GetTickCount();
    const DWORD bound = (DWORD)boundMs;
    ULONG64 before = 0;
    bool established = true;
    const bool tells = Acknowledged(ws, s, &before, &established);

    uint64_t total = 0, handed = 0;
    for (int i = 0; i < pieceCount; i++)
        total += pieces[i].count;
    int failure = 0;
    while (handed < total && !CancelRequested(port)) {
        /* What is still to go, all pieces in one send: a command and its CR LF travel together. */
        WSABUF buffers[kMostPieces];
        DWORD bufferCount = 0;
        uint64_t skip = handed;
        for (int i = 0; i < pieceCount && i < kMostPieces; i++) {
            if (skip >= pieces[i].count) {
                skip -= pieces[i].count;
                continue;
            }
            buffers[bufferCount].buf = const_cast<char *>(pieces[i].data + skip);
            buffers[bufferCount].len = (ULONG)(pieces[i].count - skip);
            bufferCount++;
            skip = 0;
        }
        DWORD sent = 0;
        if (ws->WSASend(s, buffers, bufferCount, &sent, 0, NULL, NULL) == 0) {
            handed += sent;
            continue;
        }
        const int error = ws->WSAGetLastError();
        if (error != WSAEWOULDBLOCK) {
            failure = error; /* WSAECONNRESET, WSAECONNABORTED: the connection is gone */
            break;
        }
        if (Elapsed(start) >= bound)
            break;
        AwaitSocket(ws, s, false, bound - Elapsed(start));
    }

    uint64_t acknowledged = handed;
    if (tells && handed > 0) {
        /* Looks in slices growing from 1 ms, as the device write does. */
        DWORD slice = 1;
        ULONG64 now = before;
        for (;;) {
            if (!Acknowledged(ws, s, &now, &established) || now - before >= handed ||
                !established || Elapsed(start) >= bound || CancelRequested(port))
                break;
            const DWORD left = bound - Elapsed(start);
            Sleep(slice < left ? slice : left);
            if (slice < (DWORD)kLongestSliceMs)
                slice *= 2;
        }
        acknowledged = now - before < handed ? now - before : handed;
        if (acknowledged < handed && failure == 0)
            failure = established ? 0 : WSAECONNABORTED;
        if (acknowledged < handed && established)
            Abandon(ws, port, s);
    }
    if (acknowledged < total) {
        if (failure != 0)
            SetLastError((DWORD)failure);
        else
            SetReason(CancelRequested(port) ? kReasonCancelled : kReasonTimedOut);
    }
    return (uint32_t)acknowledged;
}

int ReadSocket(PortSession *port, char *buffer, uint32_t count, uint32_t windowMs,
               uint32_t *received)
{
    const Winsock *ws = LoadedWinsock();
    const SOCKET s = (SOCKET)port->portHandle;
    const DWORD start = GetTickCount();
    const int want = count > 0x40000000 ? 0x40000000 : (int)count;
    for (;;) {
        const int n = ws->recv(s, buffer, want, 0);
        if (n > 0) {
            /* A printer hands over what it has: no waiting for more. */
            *received = (uint32_t)n;
            return 1;
        }
        if (n == 0) {
            /* The printer closed the connection: nothing will ever come. */
            SetLastError(WSAECONNRESET);
            return 0;
        }
        const int error = ws->WSAGetLastError();
        if (error != WSAEWOULDBLOCK) {
            SetLastError((DWORD)error);
            return 0;
        }
        if (CancelRequested(port))
            return Refuse(kReasonCancelled);
        if (Elapsed(start) >= windowMs)
            return Refuse(kReasonTimedOut);
        AwaitSocket(ws, s, true, windowMs - Elapsed(start));
    }
}

bool ConnectionEnded(const PortSession *port)
{
    const Winsock *ws = LoadedWinsock();
    const SOCKET s = (SOCKET)port->portHandle;
    if (ws == NULL)
        return true;
    /* Readable with nothing to read means the printer's FIN; a failing peek a reset, or a
     * socket no longer connected (a write given up). Bytes waiting do not count. */
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(s, &readable);
    struct timeval now = {0, 0};
    const int ready = ws->select(0, &readable, NULL, NULL, &now);
    if (ready == SOCKET_ERROR)
        return true;
    if (ready == 0)
        return false;
    char peek;
    const int n = ws->recv(s, &peek, 1, MSG_PEEK);
    return n == 0 || (n == SOCKET_ERROR && ws->WSAGetLastError() != WSAEWOULDBLOCK);
}

uint32_t PendingBytes(const PortSession *port)
{
    const Winsock *ws = LoadedWinsock();
    DWORD version = 0;
    TcpInfoV0 info;
    DWORD size = 0;
    if (port->portKind != kPortNetwork || ws == NULL ||
        ws->WSAIoctl((SOCKET)port->portHandle, kSioTcpInfo, &version, sizeof version, &info,
                     sizeof info, &size, NULL, NULL) != 0 ||
        size < sizeof info)
        return 0;
    return info.BytesInFlight;
}
