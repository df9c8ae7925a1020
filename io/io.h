/* Writing to and reading from a port. write.cpp and read.cpp hold what both platforms share;
 * write_<platform>.cpp and read_<platform>.cpp the device calls, which work alike on serial
 * ports, parallel ports and USB printers, and socket_<platform>.cpp a network printer's. Every
 * wait looks at the port's cancelRequested at least once per kLongestSliceMs, and a call that
 * sees it set gives up as at the end of its bound, with the reason "cancelled" when nothing
 * moved. */
#ifndef NORVAT_IO_H
#define NORVAT_IO_H

#include <stdint.h>

#include "interface/session.h"

/* How long a write of count bytes on port may take, in milliseconds: timeoutMs when it is 0 or
 * more, else the port's write bound (twice writeTimeoutMs); a serial line never longer than its
 * line bound, 200 ms plus 100 ms per byte. */
int64_t WriteBoundMs(const PortSession *port, uint32_t count, int timeoutMs);

/* One bounded write of count bytes (count > 0) on the port's open device or socket. Returns the
 * bytes that went out; when none did, 0 with the reason set. Given up after boundMs, the write is
 * cancelled: what had not gone out never goes out later. */
uint32_t WritePort(PortSession *port, const char *data, uint32_t count, int64_t boundMs);

/* One bounded read of at most count bytes (count > 0) on the port's open device or socket,
 * waiting at most windowMs (0: what is there now). Returns 1 when bytes were read, their number
 * in received; 0 otherwise, with the reason set (timed out when nothing came). No NUL is added. */
int ReadPort(PortSession *port, char *buffer, uint32_t count, uint32_t windowMs,
             uint32_t *received);

/* The device calls behind them; platform files. */
uint32_t WriteDevice(PortSession *port, const char *data, uint32_t count, int64_t boundMs);
int ReadDevice(PortSession *port, char *buffer, uint32_t count, uint32_t windowMs,
               uint32_t *received);

/* A network printer's writes and reads; platform files (socket_<platform>.cpp). A write is handed
 * to the socket as a whole, pieces and all, and waited for once: it returns as soon as the printer
 * acknowledged every byte, or after boundMs with the bytes it acknowledged so far (as far as the
 * platform tells), the reason then set. */
/* At most two pieces: a command and its CR LF. */
struct WritePiece {
    const char *data;
    uint32_t count;
};
uint32_t WriteSocket(PortSession *port, const WritePiece *pieces, int pieceCount,
                     int64_t boundMs);
int ReadSocket(PortSession *port, char *buffer, uint32_t count, uint32_t windowMs,
               uint32_t *received);

/* ---- The port's state (status.cpp, status_<platform>.cpp). */

/* Milliseconds from an arbitrary start; differences are right across a wrap. Platform file. */
uint32_t TickMs(void);

/* The state the port's device reports without a byte sent (NORVAT_STATE_* bits in *state, the
 * bits this kind can report in *known). 1, or 0 with the reason set (a device that is gone). */
int ReadPortState(PortSession *port, unsigned *state, unsigned *known);

/* What a USB printer or parallel port says of itself (NORVAT_STATE_* bits in *state, the bits it
 * can report in *known). 1, or 0 with the platform's code left. Platform file. */
int ReadPrinterState(PortSession *port, unsigned *state, unsigned *known);

/* A serial line's modem lines as NORVAT_STATE_DSR, _CTS and _DCD bits. 1, or 0 with the
 * platform's code left. Platform file. */
int ReadModemState(PortSession *port, unsigned *state);

/* Whether a network printer closed or reset the connection; nothing waiting is read. Platform
 * file. */
bool ConnectionEnded(const PortSession *port);

/* Bytes written to a network printer that it has not acknowledged; 0 where the platform cannot
 * say, and for any other port. Platform file. */
uint32_t PendingBytes(const PortSession *port);

/* The NORVAT_STATE_* bits of an IEEE 1284 status byte (the parallel port's status lines). */
unsigned DecodePrinterStatus(unsigned statusByte);

/* Throws away what the device sent and nobody read, without waiting for more: the count seen,
 * or -1 with the reason set. */
int DiscardInput(PortSession *port);

/* Asks an ESC/POS printer with DLE EOT 1, 2, 4, 3 within timeoutMs (see norvat_escpos_status).
 * The number of requests answered; 0 with the reason set when none was (timed out) or the port
 * failed. */
int AskEscPosStatus(PortSession *port, int timeoutMs, unsigned *state);

#endif
