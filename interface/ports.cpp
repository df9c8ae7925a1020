/* The list of ports: checking handles, counting the calls on them, and which devices are open. */
#include "interface/ports.h"

#include "interface/text.h"
#include "interface/timing.h"

/* Constant-initialised, so it holds from the moment the image is mapped: the DLL has no C
 * runtime to run constructors. */
norvat_port defaultPort = {
    {NORVAT_NO_PORT, kPortDevice, kWriteWaitMs, {}, 0
#ifdef _WIN32
     ,
     NULL, NULL
#endif
    },
#ifdef _WIN32
    {0, 0},
#else
    {PTHREAD_MUTEX_INITIALIZER, PTHREAD_COND_INITIALIZER, 0, 0},
#endif
    NULL, 0, false, true, 0, false, {0}};

namespace {

/* Every handle; the default port is looked at beside them. */
norvat_port *handles = NULL;

bool Listed(const norvat_port *port)
{
    for (const norvat_port *p = handles; p != NULL; p = p->next)
        if (p == port)
            return true;
    return false;
}

bool SameKey(const DeviceKey *a, const DeviceKey *b)
{
#ifdef _WIN32
    for (size_t i = 0; i < sizeof a->path; i++) {
        char x = a->path[i], y = b->path[i];
        if (x >= 'a' && x <= 'z')
            x = (char)(x - 'a' + 'A');
        if (y >= 'a' && y <= 'z')
            y = (char)(y - 'a' + 'A');
        if (x != y)
            return false;
        if (x == '\0')
            return true;
    }
    return true;
#else
    return a->device == b->device && a->inode == b->inode;
#endif
}

/* Whether other, another port's record, holds the device key names. */
bool Holds(const PortSession *other, const PortSession *session, const DeviceKey *key)
{
    return other != session && __atomic_load_n(&other->key.held, __ATOMIC_ACQUIRE) &&
           SameKey(&other->key, key);
}

} // namespace

void ListPort(norvat_port *port)
{
    LockRegistry();
    port->next = handles;
    handles = port;
    UnlockRegistry();
}

void UnlistPort(norvat_port *port)
{
    /* Calls that got past the check, and those queued behind the lock, finish first. */
    for (;;) {
        LockRegistry();
        if (port->users == 0) {
            for (norvat_port **p = &handles; *p != NULL; p = &(*p)->next) {
                if (*p == port) {
                    *p = port->next;
                    break;
                }
            }
            UnlockRegistry();
            return;
        }
        UnlockRegistry();
        PauseBriefly();
    }
}

bool BeginCall(norvat_port *port, bool *closing)
{
    LockRegistry();
    const bool listed = port != NULL && Listed(port);
    *closing = listed && port->closing;
    const bool usable = listed && !port->closing;
    if (usable)
        port->users++;
    UnlockRegistry();
    if (!usable)
        return false;
    LockPort(&port->lock);
    if (port->closing) {
        *closing = true;
        /* Queued behind a call that norvat_close cancelled. */
        UnlockPort(&port->lock);
        LockRegistry();
        port->users--;
        UnlockRegistry();
        return false;
    }
    __atomic_store_n(&port->session.cancelRequested, 0, __ATOMIC_RELEASE);
    __atomic_store_n(&port->inFlight, 1, __ATOMIC_RELEASE);
    return true;
}

void EndCall(norvat_port *port)
{
    __atomic_store_n(&port->inFlight, 0, __ATOMIC_RELEASE);
    UnlockPort(&port->lock);
    LockRegistry();
    port->users--;
    UnlockRegistry();
}

bool CancelCall(norvat_port *port, bool closing)
{
    LockRegistry();
    const bool usable = port != NULL && Listed(port) && !port->closing;
    if (usable) {
        if (closing) {
            port->closing = true;
            port->users++;
        }
        if (closing || __atomic_load_n(&port->inFlight, __ATOMIC_ACQUIRE) != 0)
            __atomic_store_n(&port->session.cancelRequested, 1, __ATOMIC_RELEASE);
    }
    UnlockRegistry();
    return usable;
}

bool ClaimDevice(PortSession *session, const DeviceKey *key)
{
    LockRegistry();
    bool held = Holds(&defaultPort.session, session, key);
    for (const norvat_port *p = handles; p != NULL && !held; p = p->next)
        held = Holds(&p->session, session, key);
    if (!held) {
        session->key = *key;
        __atomic_store_n(&session->key.held, true, __ATOMIC_RELEASE);
    }
    UnlockRegistry();
    return !held;
}

void ReleaseDevice(PortSession *session)
{
    /* No lock: a close at unload must not wait for one. A claim that reads the key at this
     * moment may still find it held, as it was. */
    __atomic_store_n(&session->key.held, false, __ATOMIC_RELEASE);
}

void CloseEveryPort(bool release)
{
    ClosePortHandle(&defaultPort.session);
    for (norvat_port *port = handles; port != NULL; port = port->next)
        ClosePortHandle(&port->session);
    if (!release)
        return;
    while (handles != NULL) {
        norvat_port *port = handles;
        handles = port->next;
        FinishSession(&port->session);
        DestroyPortLock(&port->lock);
        FreeMemory(port);
    }
}

void FreeEveryLock(void)
{
    InitPortLock(&defaultPort.lock);
    for (norvat_port *p = handles; p != NULL; p = p->next) {
        InitPortLock(&p->lock);
        p->users = 0;
        p->inFlight = 0;
    }
}

