/* Connecting to a network printer on Windows, through Winsock loaded at run time. */
#include "port/network.h"

#include "interface/timing.h"
#include "port/winsock_win32.h"

namespace {

/* A printer that stops acknowledging ends the connection within the write bound (TCP_MAXRT,
 * in seconds), so later calls fail at once instead of queueing. */
const DWORD kMaxRetransmitSeconds = kNetworkSilenceMs / 1000;
const int kTcpMaxRt = 5; /* TCP_MAXRT, not in every SDK's headers */

/* One address: a non-blocking connect, waited for at most leftMs. The socket, or INVALID_SOCKET
 * with *failure set. */
SOCKET TryConnect(const Winsock *ws, const ADDRINFOA *address, DWORD leftMs, int *failure)
{
    SOCKET s = ws->socket(address->ai_family, address->ai_socktype, address->ai_protocol);
    if (s == INVALID_SOCKET) {
        *failure = ws->WSAGetLastError();
        return INVALID_SOCKET;
    }
    u_long nonBlocking = 1;
    int error = 0;
    if (ws->ioctlsocket(s, FIONBIO, &nonBlocking) != 0) {
        error = ws->WSAGetLastError();
    } else if (ws->connect(s, address->ai_addr, (int)address->ai_addrlen) != 0) {
        error = ws->WSAGetLastError();
        if (error == WSAEWOULDBLOCK) {
            /* Done when writable; failed when in the exception set (a refusal). */
            fd_set writable, failed;
            FD_ZERO(&writable);
            FD_ZERO(&failed);
            FD_SET(s, &writable);
            FD_SET(s, &failed);
            struct timeval wait = {(long)(leftMs / 1000), (long)(leftMs % 1000) * 1000};
            const int ready = ws->select(0, NULL, &writable, &failed, &wait);
            if (ready == SOCKET_ERROR) {
                error = ws->WSAGetLastError();
            } else if (ready == 0) {
                error = WSAETIMEDOUT;
            } else {
                int size = sizeof error;
                error = 0;
                if (ws->getsockopt(s, SOL_SOCKET, SO_ERROR, (char *)&error, &size) != 0)
                    error = ws->WSAGetLastError();
                else if (error == 0 && !InSocketSet(s, &writable))
                    error = WSAECONNREFUSED;
            }
        }
    }
    if (error == 0)
        return s;
    ws->closesocket(s);
    *failure = error;
    return INVALID_SOCKET;
}

} // namespace

int ConnectNetworkPrinter(PortSession *port, const NetworkAddress *address, int connectMs)
{
    const Winsock *ws = LoadWinsock();
    if (ws == NULL)
        return 0;

    ADDRINFOA hints;
    ZeroMemory(&hints, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = AI_NUMERICSERV | (address->literalV6 ? AI_NUMERICHOST : 0);
    ADDRINFOA *found = NULL;
    /* The resolver takes as long as the system's name resolution does (DNS servers, NetBIOS,
     * LLMNR) and answers with its own code, WSAHOST_NOT_FOUND (11001) for an unknown name. */
    const int resolved = ws->getaddrinfo(address->host, address->service, &hints, &found);
    if (resolved != 0) {
        SetLastError((DWORD)resolved);
        return 0;
    }

    /* Every address the name has, in the resolver's order, within one bound. */
    const DWORD start = GetTickCount();
    SOCKET s = INVALID_SOCKET;
    int failure = WSAETIMEDOUT;
    for (const ADDRINFOA *a = found; a != NULL && s == INVALID_SOCKET; a = a->ai_next) {
        const DWORD elapsed = GetTickCount() - start;
        if (elapsed >= (DWORD)connectMs) {
            failure = WSAETIMEDOUT;
            break;
        }
        s = TryConnect(ws, a, (DWORD)connectMs - elapsed, &failure);
    }
    ws->freeaddrinfo(found);
    if (s == INVALID_SOCKET) {
        SetLastError((DWORD)failure);
        return 0;
    }

    /* Small writes (a command, a status request) go out at once. Failures leave a usable, if
     * slower, connection. */
    const BOOL on = TRUE;
    ws->setsockopt(s, IPPROTO_TCP, TCP_NODELAY, (const char *)&on, sizeof on);
    ws->setsockopt(s, IPPROTO_TCP, kTcpMaxRt, (const char *)&kMaxRetransmitSeconds,
                   sizeof kMaxRetransmitSeconds);
    port->portHandle = (HANDLE)s;
    port->portKind = kPortNetwork;
    return 1;
}

bool CloseNetworkSocket(HANDLE socket)
{
    const Winsock *ws = LoadedWinsock();
    return ws != NULL && ws->closesocket((SOCKET)socket) == 0;
}
