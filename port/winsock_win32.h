/* Winsock, loaded at run time: the DLL imports KERNEL32 and ADVAPI32 only, so ws2_32.dll is
 * loaded the first time a network printer is opened, and a host that never opens one loads
 * nothing more. */
#ifndef NORVAT_WINSOCK_WIN32_H
#define NORVAT_WINSOCK_WIN32_H

#include <winsock2.h>
#include <ws2tcpip.h>

/* The calls of ws2_32.dll the library makes. */
struct Winsock {
    decltype(&::WSAStartup) WSAStartup;
    decltype(&::socket) socket;
    decltype(&::closesocket) closesocket;
    decltype(&::connect) connect;
    decltype(&::ioctlsocket) ioctlsocket;
    decltype(&::select) select;
    decltype(&::setsockopt) setsockopt;
    decltype(&::getsockopt) getsockopt;
    decltype(&::WSASend) WSASend;
    decltype(&::recv) recv;
    decltype(&::WSAIoctl) WSAIoctl;
    decltype(&::WSAGetLastError) WSAGetLastError;
    decltype(&::getaddrinfo) getaddrinfo;
    decltype(&::freeaddrinfo) freeaddrinfo;
};

/* Loads and starts Winsock once; later calls return the same table. NULL with the last error
 * set when it cannot be. Safe from any thread. */
const Winsock *LoadWinsock(void);

/* The table once loaded, NULL before: a socket can only exist after LoadWinsock. */
const Winsock *LoadedWinsock(void);

/* Whether socket s is in set (select's FD_ISSET calls into ws2_32 by itself). */
bool InSocketSet(SOCKET s, const fd_set *set);

/* Sets the last error from the Winsock error of the call that just failed. */
void KeepSocketError(const Winsock *ws);

/* Closes the session's network printer socket (network_win32.cpp). */
bool CloseNetworkSocket(HANDLE socket);

#endif
