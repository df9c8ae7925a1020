/* The module-wide state that every export shares: the one open port and the few items the USB
 * listing keeps between calls. Every export that touches it holds the session lock for its whole
 * call, so hosts may call from several threads; the calls then run one after another. */
#ifndef NORVAT_SESSION_H
#define NORVAT_SESSION_H

#include <stddef.h>
#include <stdint.h>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
/* A device opened for overlapped I/O. */
typedef HANDLE PortHandle;
#define NORVAT_NO_PORT NULL
#else
/* A device file descriptor, opened non-blocking. */
typedef int PortHandle;
#define NORVAT_NO_PORT (-1)
#endif

/* What the open port is, which decides how it is written, read and set up. */
enum PortKind {
    kPortDevice,     /* a parallel port, a USB printer, or another device node */
    kPortSerialLine, /* opened as a serial line: a COM name or number, or /dev/tty* on Linux */
    kPortNetwork,    /* a network printer: a connected TCP socket */
};

struct PortSession {
    PortHandle portHandle;   /* the open device; NORVAT_NO_PORT when none */
    uint32_t writeTimeoutMs; /* wait for a pending write, and again before its last look */
    uint32_t interfaceCount; /* USB printer interface entries as last counted */
    PortKind portKind;       /* what portHandle is; kPortDevice when none is open */
};

extern PortSession portSession;

/* Port number last chosen by openport (0-9), or 6 after OpenUSB took the USB branch. */
extern unsigned short selectedPortNumber;

/* Serial parsed from the device link examined last: up to 19 characters and a NUL. */
enum { kParsedSerialField = 20 };
extern char parsedSerial[kParsedSerialField];

/* Entry index at which FindNextUSB resumes. */
extern uint32_t enumCursor;

static inline bool PortIsOpen(void)
{
    return portSession.portHandle != NORVAT_NO_PORT;
}

/* Closes the open port, if any, and forgets it. Returns whether a port was closed. Used by
 * closeport, before every open, and at unload. Platform file. */
bool ClosePortHandle(void);

/* The process-wide lock around the session. It needs no set-up, so it cannot fail, and it is
 * fair: threads get it in the order they asked, so a polling thread cannot starve a writer.
 * Not re-entrant: exports take it, internal routines never do. Platform file. */
void LockSession(void);
void UnlockSession(void);

class SessionLock {
public:
    SessionLock() { LockSession(); }
    ~SessionLock() { UnlockSession(); }
    SessionLock(const SessionLock &) = delete;
    SessionLock &operator=(const SessionLock &) = delete;
};

#endif
