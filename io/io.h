/* Writing to and reading from the open port. write.cpp and read.cpp hold the exports and what
 * both platforms share; write_<platform>.cpp and read_<platform>.cpp the device calls, which work
 * alike on serial ports, parallel ports and USB printers. */
#ifndef NORVAT_IO_H
#define NORVAT_IO_H

#include <stdint.h>

/* One bounded write of count bytes on the open port. Returns the bytes written, 1 for a count of
 * 0, and 0 with the reason set when no port is open or no byte went out. Blocks up to about
 * 20 s. */
uint32_t WritePort(const char *data, uint32_t count);

/* One bounded read of at most count bytes, count > 0, polled for about 450 ms. Returns 1 when
 * bytes were read, their number in received and a NUL after them in buffer; 0 otherwise, with
 * the reason set. */
int ReadPort(char *buffer, uint32_t count, uint32_t *received);

/* The device calls behind them, on an open port; platform files. WriteDevice: count > 0, returns
 * the bytes that went out, with the reason set when none did. ReadDevice: as ReadPort. */
uint32_t WriteDevice(const char *data, uint32_t count);
int ReadDevice(char *buffer, uint32_t count, uint32_t *received);

/* A network printer's writes and reads; platform files (socket_<platform>.cpp). A write is handed
 * to the socket as a whole, pieces and all, and waited for once: it returns as soon as the printer
 * acknowledged every byte, or after the write bound with the bytes it acknowledged so far (as far
 * as the platform tells), the reason then set. ReadSocket: as ReadPort. */
/* At most two pieces: a command and its CR LF. */
struct WritePiece {
    const char *data;
    uint32_t count;
};
uint32_t WriteSocket(const WritePiece *pieces, int pieceCount);
int ReadSocket(char *buffer, uint32_t count, uint32_t *received);

#endif
