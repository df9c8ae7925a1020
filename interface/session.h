/* The record of one open port, which every platform file takes as an argument: the ten exports
 * keep one of them for their one port (interface/exports.cpp), and every handle of norvat_open
 * has its own (interface/handles.cpp). */
#ifndef NORVAT_SESSION_H
#define NORVAT_SESSION_H

#include <stddef.h>
#include <stdint.h>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
/* A device opened for overlapped I/O, or a network printer's socket. */
typedef HANDLE PortHandle;
#define NORVAT_NO_PORT NULL
#else
/* A device file descriptor, opened non-blocking, or a network printer's socket. */
typedef int PortHandle;
#define NORVAT_NO_PORT (-1)
#endif

/* What the open port is, which decides how it is written, read and set up. */
enum PortKind {
    kPortDevice,     /* another device node (a Linux device path that is none of the below) */
    kPortParallel,   /* LPT1, LPT2; on Linux also /dev/lp* */
    kPortUsbPrinter, /* a USB printer; on Linux also /dev/usb/lp* */
    kPortSerialLine, /* opened as a serial line: a COM name or number, or /dev/tty* on Linux */
    kPortNetwork,    /* a network printer: a connected TCP socket */
};

/* What a device is, so that it is never open twice in this process (interface/ports.cpp). */
enum { kDeviceKeyField = 272 };
struct DeviceKey {
    bool held;
#ifdef _WIN32
    char path[kDeviceKeyField]; /* the path opened, without "\\.\" or "\\?\", compared
                                   without regard to case */
#else
    unsigned long long device, inode; /* a character device's number, or a file's identity */
#endif
};

struct PortSession {
    PortHandle portHandle;   /* the open device; NORVAT_NO_PORT when none */
    PortKind portKind;       /* what portHandle is; kPortDevice when none is open */
    uint32_t writeTimeoutMs; /* a write's wait, and again before its last look */
    DeviceKey key;           /* what portHandle is open on; not held for a network printer */
    /* Set by norvat_cancel (or norvat_close) for the call in flight; every wait of the I/O
     * code looks at it once per slice. Never set on the ten exports' port. */
    volatile int cancelRequested;
#ifdef _WIN32
    /* The ten exports create the named "write_event" with every write (writeEvent NULL); a
     * handle's port has one unnamed event of its own for its writes and one for its reads,
     * made when the handle is and closed with it. */
    HANDLE writeEvent;
    HANDLE readEvent;
#endif
};

static inline bool PortIsOpen(const PortSession *port)
{
    return port->portHandle != NORVAT_NO_PORT;
}

static inline bool CancelRequested(const PortSession *port)
{
    return __atomic_load_n(&port->cancelRequested, __ATOMIC_ACQUIRE) != 0;
}

/* Closes the port's device, if any, and forgets it; keeps the caller's errno / last error.
 * Returns whether a device was closed. Platform file (port/open_<platform>.cpp). */
bool ClosePortHandle(PortSession *port);

#endif
