/* The module-wide state that every export shares: the one open port and the few items the USB
 * listing keeps between calls. The library takes no locks; hosts call it from one thread. */
#ifndef NORVAT_SESSION_H
#define NORVAT_SESSION_H

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

struct PortSession {
    HANDLE portHandle;     /* the open device, opened for overlapped I/O; NULL when none */
    DWORD writeTimeoutMs;  /* wait for a pending write, and again before its last look */
    HANDLE writeEvent;     /* event of the write in progress; NULL between writes */
    DWORD interfaceCount;  /* USB printer interface entries as last counted */
};

extern PortSession portSession;

/* Port number last chosen by openport (0-9), or 6 after OpenUSB took the USB branch. */
extern unsigned short selectedPortNumber;

/* Serial parsed from the device link examined last: up to 19 characters and a NUL. */
enum { kParsedSerialField = 20 };
extern char parsedSerial[kParsedSerialField];

/* Entry index at which FindNextUSB resumes. */
extern DWORD enumCursor;

/* Closes the open port, if any, and forgets its handle. Returns the close's result (0 when
 * nothing was open). Used by closeport, before every open, and at unload. */
BOOL ClosePortHandle(void);

#endif
