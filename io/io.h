/* Writing to and reading from the open port. Both work on whatever handle the session holds,
 * with the same overlapped calls for serial ports, parallel ports and USB printers. */
#ifndef NORVAT_IO_H
#define NORVAT_IO_H

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

/* One overlapped write of count bytes. Returns the bytes written, 1 for a count of 0, 0 when
 * no port is open or nothing was written. Blocks up to about 20 s. */
int WritePort(const char *data, DWORD count);

/* One overlapped read polled for about 450 ms. Returns 1 when bytes were read, their number in
 * received and a NUL after them in buffer; 0 otherwise. */
int ReadPort(char *buffer, DWORD count, DWORD *received);

/* Cancels a request this thread issued on port and waits until the platform has let go of the
 * OVERLAPPED record and the buffer. Returns the bytes the request moved before it ended. */
DWORD CancelAndCollect(HANDLE port, OVERLAPPED *overlapped);

#endif
