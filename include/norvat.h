/*
 * norvat.h - the public interface of Norvat, a port library for printer-class devices:
 * Norvat.dll on Windows (32-bit x86 and 64-bit x86-64), libNorvat.so on Linux.
 *
 * One device is open at a time: a serial port (COM), a parallel port (LPT1/LPT2), a USB
 * printer or a network printer on raw TCP ("tcp://HOST[:PORT]"). All functions are cdecl on
 * 32-bit x86 and exported by their plain names, so a host may link the import library or bind
 * them by name (GetProcAddress, dlsym, DllImport, ctypes).
 * Texts are 8-bit (ANSI) and NUL-terminated. Buffers belong to the host and must be at least
 * as large as stated.
 *
 * Failures: every function but closeport returns 0 on failure and leaves the reason in the
 * platform's error: GetLastError() on Windows, errno on Linux. A successful call may leave any
 * value there. The reasons, Windows code / Linux errno:
 *   NORVAT_E_INVALID_ARGUMENT  87 / EINVAL     a null pointer, a negative count, a rate of 0 or
 *                                              below, a malformed network address, a serial
 *                                              name over 15 characters; the call changes
 *                                              nothing (an open port stays open) but for the
 *                                              serial name (no port is open after it)
 *   NORVAT_E_NO_PORT            6 / EBADF      no port is open
 *   NORVAT_E_NOT_CONNECTED   1167 / ENODEV     no connected USB printer matched
 *   NORVAT_E_NO_MORE_ITEMS    259 / ENOENT     nothing (more) to list
 *   NORVAT_E_TIMEOUT         1460 / ETIMEDOUT  nothing arrived in time, or a write was given up
 *                                              with no byte gone out
 *   anything else                              the platform's own code for the device call that
 *                                              failed (2 / ENOENT no such port, 5 / EACCES
 *                                              access denied, EBUSY in use, ECONNREFUSED /
 *                                              10061 a network printer refused, ...); for a
 *                                              network name the resolver does not know, the
 *                                              resolver's code (Windows WSAHOST_NOT_FOUND
 *                                              11001 and its kin; Linux the EAI_* code,
 *                                              negative, whose text gai_strerror gives)
 *
 * How long a call blocks: each function says how long it takes on its own. On top of that,
 * every function but GetDllVersion holds one process-wide lock for its whole call, so calls from
 * several threads run one after another, in the order they came, and a call first waits for
 * every call that came before it: behind a write, up to its bound (about 20 s on a printer or
 * parallel port that has stopped taking bytes; a command, one bound per byte), behind a read up
 * to about 450 ms. That holds for the listing functions too.
 *
 * Write bounds: a write the device does not take is given up and cancelled, and its result is
 * the number of bytes that really went out, so a host never resends those and the rest never
 * goes out later. A printer or parallel port gets about 20 s (on Windows a 10 s wait and a
 * second look 10 s later, both ending as soon as the write does); a serial line 200 ms plus
 * 100 ms per byte, within the same 20 s, and a byte counts only once the line sent it (on
 * Linux: once it left the driver's output queue). A network printer gets about 20 s, and a
 * byte counts only once the printer's TCP acknowledged it: on Linux always; on Windows 10
 * (1703 and later), which reports it (SIO_TCP_INFO); where the platform reports nothing (older
 * Windows, Wine) the count is the bytes the system's TCP stack took. A network write given up
 * with bytes unacknowledged aborts the connection, so those never arrive later; writes and
 * reads then fail until the host opens the printer again. The connection also ends by itself
 * when the printer acknowledges nothing for 20 s.
 *
 * Processes: each host process has its own port and lock; two processes may print at once, each
 * to its own device. On Linux a child made by fork() starts with a free lock, even when another
 * thread of the parent was inside a call, and holds its own copy of the parent's open port:
 * closeport in the child closes that copy only.
 *
 * USB printers: OpenUSB and openport("6") open only the connected printers whose device link
 * holds "_195" or "_067" (a printer's link looks like \\?\USB#VID_03F0&PID_1950#SERIAL#{...},
 * on Linux made the same way from the printer's USB ids and serial). FindFirstUSB lists the same
 * printers; FindNextUSB those whose link holds "_195" or "VID_03F0". So a printer with "_067"
 * but neither of the other two is listed only when it is the first, and one with "VID_03F0" but
 * neither "_195" nor "_067" is listed by FindNextUSB and never opened. The listing is a cursor over the platform's records, not a snapshot: a
 * printer plugged in or pulled out between calls may shift the entries, so one may be skipped
 * or listed twice, and FindNextUSB goes on with the number of entries the last FindFirstUSB
 * (or USB open) counted.
 */
#ifndef NORVAT_H
#define NORVAT_H

#ifdef _WIN32
#define NORVAT_CALL __cdecl
#ifdef NORVAT_BUILDING_DLL
#define NORVAT_API
#else
#define NORVAT_API __declspec(dllimport)
#endif
#else
#define NORVAT_CALL
#define NORVAT_API __attribute__((visibility("default")))
#endif

/* Buffer sizes the host must provide. */
#define NORVAT_LISTING_BUFFER_SIZE 191 /* FindFirstUSB / FindNextUSB: 170 + '#' + 19 + NUL */
#define NORVAT_VERSION_BUFFER_SIZE 16  /* GetDllVersion */

/* The reasons the library sets itself (see above). */
#ifdef _WIN32
#define NORVAT_E_INVALID_ARGUMENT 87 /* ERROR_INVALID_PARAMETER */
#define NORVAT_E_NO_PORT 6           /* ERROR_INVALID_HANDLE */
#define NORVAT_E_NOT_CONNECTED 1167  /* ERROR_DEVICE_NOT_CONNECTED */
#define NORVAT_E_NO_MORE_ITEMS 259   /* ERROR_NO_MORE_ITEMS */
#define NORVAT_E_TIMEOUT 1460        /* ERROR_TIMEOUT */
#else
#define NORVAT_E_INVALID_ARGUMENT 22 /* EINVAL */
#define NORVAT_E_NO_PORT 9           /* EBADF */
#define NORVAT_E_NOT_CONNECTED 19    /* ENODEV */
#define NORVAT_E_NO_MORE_ITEMS 2     /* ENOENT */
#define NORVAT_E_TIMEOUT 110         /* ETIMEDOUT */
#endif

#ifdef __cplusplus
extern "C" {
#endif

/**
 * Opens a port by number, taken from the first character of selector:
 * '0' LPT1, '1'-'4' COM1-COM4, '5' LPT2, '6' the first USB printer, '7'-'9' COM7-COM9
 * (on Linux /dev/lp0, /dev/ttyS0-3, /dev/lp1, the first USB printer, /dev/ttyS6-8).
 * Any other first character (or an empty text) reuses the last number chosen, LPT1 at first.
 * A serial port is set to 9600 bit/s, 8N1, XON/XOFF on output. A port that is already open is
 * closed first.
 * @param selector NUL-terminated text; only its first character counts. Not NULL.
 * @returns 1 when the port was opened. 0 when it could not be opened, then no port is open:
 *          the platform's code from the open; NORVAT_E_NOT_CONNECTED for '6' with no USB
 *          printer, an open port then staying open; NORVAT_E_INVALID_ARGUMENT for NULL,
 *          changing nothing.
 * Blocks for the open only (a USB printer: one pass over the device records); see the lock
 * above.
 */
NORVAT_API int NORVAT_CALL openport(const char *selector);

/**
 * Opens a serial port by name, a network printer by address, or a USB printer by serial.
 * @param request a name starting with "CO" (e.g. "COM12", at most 15 characters) opens that serial
 *        port as openport does (on Linux COMn is /dev/ttyS<n-1>, and a "/dev/" path opens that
 *        device, a /dev/tty* one as a serial port); "tcp://HOST" or "tcp://HOST:PORT" (the
 *        scheme in any case; PORT 1-65535, 9100 when left out; HOST a name or an IPv4
 *        literal of at most 253 characters, or an IPv6 literal in brackets, "tcp://[::1]")
 *        connects to the network printer there, leaving the port number openport reuses
 *        alone, as a COM name does; any other text is a listing text
 *        "description#serial" as returned by FindFirstUSB/FindNextUSB, or a bare serial, and
 *        opens the connected USB printer with that serial. The serial is what follows the first
 *        '#' within the first 42 characters, so a listing text opens its printer only when the
 *        description has at most 41 characters, holds no '#' and does not begin with "CO"; a
 *        bare serial always works. Serials are compared over their first 19 characters,
 *        case-sensitively. Not NULL.
 * @returns 1 when opened. 0 otherwise: NORVAT_E_NOT_CONNECTED when no connected printer has
 *          that serial (an open port then stays open); the platform's code when the open itself
 *          failed (then no port is open); NORVAT_E_INVALID_ARGUMENT for NULL (nothing changes)
 *          and for a serial name over 15 characters (then no port is open) and a malformed
 *          network address (the open port stays open). A network printer: 0 with
 *          ETIMEDOUT / WSAETIMEDOUT (10060) when it did not answer within 5 s,
 *          ECONNREFUSED / WSAECONNREFUSED (10061) at once when it refused, the resolver's
 *          code for a name it does not know (above); then no port is open.
 * Blocks as openport does; a network printer: resolving the name for as long as the system's
 *          resolver takes (on Linux resolv.conf's timeout and attempts per server, 5 s and 2 by
 *          default; a literal address is not looked up), then connecting for at most 5 s over
 *          every address the name has.
 */
NORVAT_API int NORVAT_CALL OpenUSB(const char *request);

/**
 * Lists the first connected USB printer as "description#serial".
 * @param buffer receives the NUL-terminated listing text; at least
 *        NORVAT_LISTING_BUFFER_SIZE (191) bytes. Not NULL.
 * @returns 1 with the text in buffer; 0 with NORVAT_E_NO_MORE_ITEMS when no printer is connected
 *          (buffer untouched), or NORVAT_E_INVALID_ARGUMENT for NULL (nothing changes).
 * Reads the platform's device records only, and waits for nothing but the lock above (which
 * may mean behind another thread's write).
 */
NORVAT_API int NORVAT_CALL FindFirstUSB(char *buffer);

/**
 * Lists the next USB printer after the one last returned by FindFirstUSB/FindNextUSB.
 * @param buffer as for FindFirstUSB, at least 191 bytes. Not NULL.
 * @returns 1 with the text in buffer; 0 with NORVAT_E_NO_MORE_ITEMS at the end of the listing
 *          (buffer untouched), or NORVAT_E_INVALID_ARGUMENT for NULL (the listing stays where
 *          it was).
 * Blocks as FindFirstUSB does.
 */
NORVAT_API int NORVAT_CALL FindNextUSB(char *buffer);

/**
 * Closes the open port, if any (a network printer: its connection). Calling it with no port
 * open is harmless. Unloading the library closes an open port too.
 * @returns no success indication: always 0 in the 32-bit build; in the 64-bit builds 1 when a
 *          port was closed and 0 when none was open. Sets no reason.
 * Does not wait for the device; see the lock above.
 */
NORVAT_API int NORVAT_CALL closeport(void);

/**
 * Sets the line speed of the open serial port (8N1 and XON/XOFF on output are kept).
 * @param rate bits per second, e.g. 9600, 19200, 115200; above 0.
 * @returns non-zero on success. 0 with NORVAT_E_NO_PORT when no port is open; with the
 *          platform's code when the port is not a serial port (LPT, USB) or refuses the rate
 *          (a network printer: ENOTTY / ERROR_NOT_SUPPORTED (50), as USB printer drivers say);
 *          with NORVAT_E_INVALID_ARGUMENT for a rate of 0 or below (the line keeps its speed).
 * Does not wait for the device; see the lock above.
 */
NORVAT_API int NORVAT_CALL setbaudrate(int rate);

/**
 * Writes count raw bytes to the open port with one write.
 * @param data bytes to send, not NULL; count their number, 0 or more.
 * @returns the number of bytes written (less than count after a partial write); 1 when count
 *          is 0 (nothing is sent). 0 when nothing went out: NORVAT_E_NO_PORT, NORVAT_E_TIMEOUT
 *          when the device took no byte in time, the platform's code when the write failed
 *          (a device that is gone), NORVAT_E_INVALID_ARGUMENT for NULL or a negative count
 *          (nothing is sent).
 * Blocks until the write completes, at most for the write bound above (about 20 s; a serial
 * line 200 ms plus 100 ms per byte); given up, the result is the bytes that really went out
 * and the rest never goes out. The port stays open. On a network printer the result counts
 * the bytes the printer acknowledged (see above), and 0 comes with NORVAT_E_TIMEOUT, or with
 * the platform's code when the connection is gone (ECONNRESET, EPIPE; WSAECONNRESET 10054,
 * WSAECONNABORTED 10053, WSAENOTCONN 10057 after an abort). A host is never killed by SIGPIPE.
 */
NORVAT_API int NORVAT_CALL sendbuf(const char *data, int count);

/**
 * Sends a command: each character of text, then CR and LF, one byte per write.
 * @param text NUL-terminated command, not NULL; an empty text sends CR LF alone.
 * @returns 1 when the text and CR LF were all written. 0 when a byte was not taken (nothing
 *          after that byte is sent, CR LF included), with the reason of that byte's write as for
 *          sendbuf; NORVAT_E_INVALID_ARGUMENT for NULL (nothing is sent).
 * A command of n characters is n + 2 writes of one byte, each with its own bound, so it blocks
 * for at most n + 2 bounds (a device that takes every byte just before its bound); one byte the
 * device does not take at all ends it after one bound. On a network printer it is one write of
 * all n + 2 bytes with one bound, and 1 only when the printer acknowledged every byte. Another
 * thread's bytes never land inside a command.
 */
NORVAT_API int NORVAT_CALL sendcommand(const char *text);

/**
 * Reads what the device has sent, waiting at most about 450 ms for it.
 * @param buffer receives the bytes read and a NUL after them: count + 1 bytes. Not NULL.
 * @param count the most bytes to read, 0 or more.
 * @returns the number of bytes read, followed by a NUL in buffer. 0 when nothing was read:
 *          NORVAT_E_TIMEOUT when nothing arrived within the window (the buffer's contents are
 *          then unspecified); NORVAT_E_NO_PORT (buffer untouched); the platform's code when the
 *          device failed (a device that is gone); 0 as the reason for a count of 0 (the buffer
 *          then holds the empty text and no waiting byte is taken); NORVAT_E_INVALID_ARGUMENT for
 *          NULL or a negative count (buffer untouched, waiting bytes stay for the next call).
 * Blocks for at most about 450 ms, and returns as soon as bytes arrived (a serial line: 200 ms
 * after the last one); bytes that arrive later are kept for the next call. See the lock above.
 * A network printer that closed or reset the connection: 0 with ECONNRESET / WSAECONNRESET
 * (10054) at once.
 */
NORVAT_API int NORVAT_CALL RcvBuf(char *buffer, int count);

/**
 * Copies the version text "Ver1.2 2011/8/1" and its NUL into buffer.
 * @param buffer at least NORVAT_VERSION_BUFFER_SIZE (16) bytes. Not NULL.
 * @returns 15, the length of the text; 0 with NORVAT_E_INVALID_ARGUMENT for NULL.
 */
NORVAT_API int NORVAT_CALL GetDllVersion(char *buffer);

#ifdef __cplusplus
}
#endif

#endif /* NORVAT_H */
