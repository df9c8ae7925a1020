/* Every port the library has: the ten exports' one port (defaultPort) and each handle that
 * norvat_open handed out, each record with a lock of its own, in one list. The list answers
 * whether a pointer is a handle that is open, whether a device is open already, and what to
 * close at unload; it is walked under a lock of its own, held only for a few instructions. */
#ifndef NORVAT_PORTS_H
#define NORVAT_PORTS_H

#include "interface/session.h"

#ifndef _WIN32
#include <pthread.h>
#endif

/* A fair lock: threads get it in the order they asked, so a thread that polls in a loop cannot
 * keep a writer out. It needs no set-up that can fail. Not re-entrant. Platform file
 * (interface/lock_<platform>.cpp). */
struct PortLock {
#ifdef _WIN32
    volatile LONG nextTicket;
    volatile LONG nowServing;
#else
    pthread_mutex_t mutex;
    pthread_cond_t turnChanged;
    unsigned long nextTicket;
    unsigned long nowServing;
#endif
};
void InitPortLock(PortLock *lock);
void DestroyPortLock(PortLock *lock);
void LockPort(PortLock *lock);
/* Keeps errno / the last error as the call left it. */
void UnlockPort(PortLock *lock);

/* The lock around the list, and the memory of handles and listings. Platform file. */
void LockRegistry(void);
void UnlockRegistry(void);
void *AllocateZeroed(size_t size);
void FreeMemory(void *memory);
/* Lets the processor go while another thread finishes a few instructions. */
void PauseBriefly(void);

/* What a handle's port needs beyond the record (on Windows its two events), made before its
 * first open and let go after its last close. False, with the reason set, when it cannot be
 * made. Platform file (interface/module_<platform>.cpp). */
bool InitSession(PortSession *session);
void FinishSession(PortSession *session);

/* What norvat_open was given, kept so that a printer that went away can be found again. */
enum { kOpenedNameField = 512 };

struct norvat_port {
    PortSession session;
    PortLock lock;
    norvat_port *next;    /* the list */
    int users;            /* calls that passed the check and have not ended (list lock) */
    bool closing;         /* norvat_close has begun: new calls are refused */
    bool isDefault;       /* the ten exports' port, never a handle */
    volatile int inFlight; /* a call holds the lock and works */
    bool reopens;          /* a USB or network printer, opened again by openedName after it went */
    char openedName[kOpenedNameField];
};

/* The ten exports' port. */
extern norvat_port defaultPort;

/* Ties a thread to one call: on Linux a pthread_cancel that arrives meanwhile waits until the
 * call has returned, so no lock is ever left held by a cancelled thread. Platform file. */
class CallScope {
public:
    CallScope();
    ~CallScope();
    CallScope(const CallScope &) = delete;
    CallScope &operator=(const CallScope &) = delete;

private:
    int previous_;
};

/* The ten exports' turn at their port. */
class DefaultPortCall {
public:
    DefaultPortCall() { LockPort(&defaultPort.lock); }
    ~DefaultPortCall() { UnlockPort(&defaultPort.lock); }
    DefaultPortCall(const DefaultPortCall &) = delete;
    DefaultPortCall &operator=(const DefaultPortCall &) = delete;

private:
    CallScope scope_;
};

/* Adds a new handle's record to the list, or takes it out again (it must have no users). */
void ListPort(norvat_port *port);
void UnlistPort(norvat_port *port);

/* A call on a handle: false when port is no open handle (*closing false), or was being closed
 * (*closing true: norvat_close came while the call waited for its turn). Otherwise the call has
 * its turn at the port (after the calls that came before it) and must end with EndCall. */
bool BeginCall(norvat_port *port, bool *closing);
void EndCall(norvat_port *port);

/* Cancels the call in flight on port; false when port is no open handle. With closing set (by
 * norvat_close) new calls are refused from now on, calls queued for their turn give up, and the
 * caller counts as a user until UnlistPort. */
bool CancelCall(norvat_port *port, bool closing);

/* Records that session now holds the device key names. False, with nothing recorded, when a port
 * of this process holds it already; ReleaseDevice forgets it again. */
bool ClaimDevice(PortSession *session, const DeviceKey *key);
void ReleaseDevice(PortSession *session);

/* Closes every port's device, the ten exports' one included: at unload. With release, it also
 * frees every handle's record, which only an unload where no call can be running may do. */
void CloseEveryPort(bool release);

/* In a child of fork(): every lock free, no call in flight (only the forking thread went on). */
void FreeEveryLock(void);

#endif
