/* Overlapped requests on Windows: what the write and the read share. */
#ifndef NORVAT_OVERLAPPED_WIN32_H
#define NORVAT_OVERLAPPED_WIN32_H

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

/* Cancels a request this thread issued on port and waits until the platform has let go of the
 * OVERLAPPED record and the buffer. Returns the bytes the request moved before it ended. */
DWORD CancelAndCollect(HANDLE port, OVERLAPPED *overlapped);

/* Sends a device request (DeviceIoControl) on a handle opened for overlapped I/O and waits at
 * most waitMs for its answer, cancelling it after that. TRUE with *got set when it succeeded;
 * FALSE with the last error set (ERROR_TIMEOUT when the driver did not answer in time). */
BOOL AskDevice(HANDLE device, DWORD code, void *answer, DWORD size, DWORD *got, DWORD waitMs);

#endif
