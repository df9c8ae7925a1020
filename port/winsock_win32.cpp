/* Loading Winsock at run time. */
#include "port/winsock_win32.h"

#include <windows.h>

namespace {

Winsock winsock;
/* 0 not loaded, 1 being loaded by one thread, 2 loaded. Ports open from many threads at once. */
volatile LONG state = 0;

template <typename T> bool Bind(HMODULE module, const char *name, T *fn)
{
    *fn = reinterpret_cast<T>(reinterpret_cast<void *>(GetProcAddress(module, name)));
    return *fn != NULL;
}

/* Loads and binds; false with the last error set. */
bool Load(void)
{
    /* Once loaded it stays for the life of the process: DllMain may not free libraries, and
     * the next network printer would only load it again. */
    HMODULE module = LoadLibraryA("ws2_32.dll");
    if (module == NULL)
        return false;
    Winsock w;
    const bool bound =
        Bind(module, "WSAStartup", &w.WSAStartup) && Bind(module, "socket", &w.socket) &&
        Bind(module, "closesocket", &w.closesocket) && Bind(module, "connect", &w.connect) &&
        Bind(module, "ioctlsocket", &w.ioctlsocket) && Bind(module, "select", &w.select) &&
        Bind(module, "setsockopt", &w.setsockopt) && Bind(module, "getsockopt", &w.getsockopt) &&
        Bind(module, "WSASend", &w.WSASend) && Bind(module, "recv", &w.recv) &&
        Bind(module, "WSAIoctl", &w.WSAIoctl) &&
        Bind(module, "WSAGetLastError", &w.WSAGetLastError) &&
        Bind(module, "getaddrinfo", &w.getaddrinfo) &&
        Bind(module, "freeaddrinfo", &w.freeaddrinfo);
    if (!bound) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return false;
    }
    WSADATA data;
    const int started = w.WSAStartup(MAKEWORD(2, 2), &data);
    if (started != 0) {
        SetLastError((DWORD)started); /* WSAStartup returns its error instead of setting it */
        return false;
    }
    winsock = w;
    return true;
}

} // namespace

const Winsock *LoadWinsock(void)
{
    for (;;) {
        const LONG was = InterlockedCompareExchange(&state, 1, 0);
        if (was == 2)
            return &winsock;
        if (was == 0) {
            /* Ours to load; a failure leaves it for the next open to try again. */
            const bool loaded = Load();
            InterlockedExchange(&state, loaded ? 2 : 0);
            return loaded ? &winsock : NULL;
        }
        Sleep(1); /* another thread is loading it */
    }
}

const Winsock *LoadedWinsock(void)
{
    return InterlockedCompareExchange(&state, 2, 2) == 2 ? &winsock : NULL;
}

bool InSocketSet(SOCKET s, const fd_set *set)
{
    for (u_int i = 0; i < set->fd_count; i++)
        if (set->fd_array[i] == s)
            return true;
    return false;
}

void KeepSocketError(const Winsock *ws)
{
    SetLastError((DWORD)ws->WSAGetLastError());
}
