/*
 * norvat.h - the public interface of Norvat, a port library for printer-class devices:
 * Norvat.dll on Windows (32-bit x86 and 64-bit x86-64), libNorvat.so on Linux.
 *
 Two ways in: the ten functions below (openport ... GetDllVersion) keep one port open at a time,
 * the way hosts have always used them; the functions of "Ports by handle" further down open any
 * number of ports at once, each through a handle of its own. A port is a serial port (COM), a
 * parallel port (LPT), a USB printer or a network printer on raw TCP ("tcp://HOST[:PORT]"). All
 * functions are cdecl on 32-bit x86 and exported by their plain names, so a host may link the
 * import library or bind them by name (GetProcAddress, dlsym, DllImport, ctypes).
 * Texts are 8-bit (ANSI) and NUL-terminated. Buffers belong to the host and must be at least
 * as large as stated.
 *
 * Failures of the ten: every one but closeport returns 0 on failure and leaves the reason in the
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
 *   EBUSY / 170 ERROR_BUSY                     openport or OpenUSB: a handle of this process
 *                                              (norvat_open) holds that device; no port is open
 *   (Linux only)                    ENOSYS     USB printers cannot be found: libudev.so.1 is
 *                                              not installed (below)
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
 * every one of the ten functions but GetDllVersion holds the lock of their one port for its
 * whole call, so their calls from several threads run one after another, in the order they came,
 * and a call first waits for every call that came before it: behind a write, up to its bound
 * (about 20 s on a printer or parallel port that has stopped taking bytes; a command, one bound
 * per byte), behind a read up to about 450 ms. That holds for the listing functions too. The
 * ports opened by handle (norvat_open, below) have locks of their own: no call of the ten ever
 * waits for one of theirs, nor they for the ten.
 *
 * Write bounds: a write the device does not take is given up and cancelled, and its result is
 * the number of bytes that really went out, so a host never resends those and the rest never
 * goes out later. A printer or parallel port gets about 20 s (on Windows the wait looks at the
 * request every few milliseconds and ends as soon as the write does); a
 * serial line 200 ms plus 100 ms per byte, within the same 20 s, and a byte counts only once the
 * line sent it (on Linux: once it left the driver's output queue). A network printer gets about
 * 20 s, and a byte counts only once the printer's TCP acknowledged it: on Linux always; on
 * Windows 10 (1703 and later), which reports it (SIO_TCP_INFO); where the platform reports
 * nothing (older Windows, Wine) the count is the bytes the system's TCP stack took. A network
 * write given up with bytes unacknowledged aborts the connection, so those never arrive later;
 * writes and reads then fail until the host opens the printer again. The connection also ends
 * by itself when the printer acknowledges nothing for 20 s.
 *
 * Processes: each host process has its own ports and locks; two processes may print at once,
 * each to its own device. On Linux a child made by fork() starts with every lock free, even when
 * another thread of the parent was inside a call, and holds its own copies of the parent's open
 * ports: closeport (or norvat_close) in the child closes its copy only. A thread cancelled with
 * pthread_cancel inside a call is cancelled when the call has returned, never inside it.

 *
 * USB printers: OpenUSB and openport("6") open only the connected printers whose device link
 * holds "_195" or "_067" (a printer's link looks like \\?\USB#VID_03F0&PID_1950#SERIAL#{...},
 * on Linux made the same way from the printer's USB ids and serial). FindFirstUSB lists the same
 * printers; FindNextUSB those whose link holds "_195" or "VID_03F0". So a printer with "_067"
 * but neither of the other two is listed only when it is the first, and one with "VID_03F0" but
 * neither "_195" nor "_067" is listed by FindNextUSB and never opened. (The handles have no
 * such filters: norvat_open and norvat_list_ports take every maker's printer.) The listing is a
 * cursor over the platform's records, not a snapshot: a printer plugged in or pulled out between
 * calls may shift the entries, so one may be skipped or listed twice, and FindNextUSB goes on
 * with the number of entries the last FindFirstUSB (or USB open) counted.
 *
 * libudev on Linux: libNorvat.so needs libc alone. It loads libudev.so.1 the first time it looks
 * for a USB printer, through which it finds them; where that is not installed (a container, a
 * minimal system), serial, parallel and network ports and /dev/ paths work as ever, and finding a
 * USB printer fails with ENOSYS (FindFirstUSB, FindNextUSB, openport("6"), OpenUSB of a serial),
 * or NORVAT_ERR_UNSUPPORTED from norvat_open, while norvat_list_ports leaves them out.
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
 *          printer, an open port then staying open (ENOSYS on a Linux without libudev.so.1);
 *          NORVAT_E_INVALID_ARGUMENT for NULL, changing nothing.
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
 *          that serial (an open port then stays open; ENOSYS instead on a Linux without
 *          libudev.so.1, where no USB printer can be found); the platform's code when the open
 *          itself failed (then no port is open); NORVAT_E_INVALID_ARGUMENT for NULL (nothing
 *          changes) and for a serial name over 15 characters (then no port is open) and a
 *          malformed network address (the open port stays open). A network printer: 0 with
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
 *          (buffer untouched), or NORVAT_E_INVALID_ARGUMENT for NULL (nothing changes). On a
 *          Linux without libudev.so.1: 0 with ENOSYS, as no printer can be listed there.
 * Reads the platform's device records only, and waits for nothing but the lock above (which
 * may mean behind another thread's write).
 */
NORVAT_API int NORVAT_CALL FindFirstUSB(char *buffer);

/**
 * Lists the next USB printer after the one last returned by FindFirstUSB/FindNextUSB.
 * @param buffer as for FindFirstUSB, at least 191 bytes. Not NULL.
 * @returns 1 with the text in buffer; 0 with NORVAT_E_NO_MORE_ITEMS at the end of the listing
 *          (buffer untouched), or NORVAT_E_INVALID_ARGUMENT for NULL (the listing stays where
 *          it was); ENOSYS instead of NORVAT_E_NO_MORE_ITEMS on a Linux without libudev.so.1.
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

/*
 * ---------------------------------------------------------------------------------------------
 * Ports by handle
 *
 * Beside the ten functions above, any number of ports may be open at once, each through a handle
 * of its own: a receipt printer, a kitchen printer and a label printer of any makers, from one
 * program. Each handle has its own lock: calls on one port run one after another, in the order
 * they came; calls on different ports, and the ten functions above, never wait for each other,
 * so a stalled printer delays nobody else.
 *
 * Results: 0 or a count on success; on failure one of the negative NORVAT_ERR_* codes below,
 * the same on every platform, with the platform's own code also left in errno (Linux) or
 * GetLastError() (Windows) right after the call. norvat_error_text names each code.
 *
 * Ownership: norvat_open hands out a handle that the host owns until norvat_close, which frees
 * it; a handle used after norvat_close, or any other pointer the library did not hand out, gives
 * NORVAT_ERR_ARGUMENT (the library checks every handle against the ones it has open). A listing
 * belongs to the host until norvat_free_port_list; its texts live as long as it does. Buffers
 * belong to the host.
 *
 * Threads: any thread may call anything on any handle. norvat_cancel and norvat_close may come
 * from another thread while a call is in flight. On Linux a thread cancelled with
 * pthread_cancel inside a call is cancelled once the call returns, never inside it, and after
 * fork() every lock is free in the child, which keeps its copies of the open ports.
 *
 * Unloading the library (FreeLibrary, dlclose) closes every open handle, as it closes the port of
 * the ten functions. On Windows, at process exit the library touches nothing: the system closes
 * what the process had open.
 * ---------------------------------------------------------------------------------------------
 */

typedef struct norvat_port norvat_port;           /* one open port; opaque */
typedef struct norvat_port_list norvat_port_list; /* a snapshot of the ports there are; opaque */

/* Results. On every failure the platform's own code is in errno / GetLastError() too. */
#define NORVAT_ERR_ARGUMENT (-1)    /* NULL, a negative count or size, a rate of 0 or below, a
                                       malformed name, a handle that is not open */
#define NORVAT_ERR_NOT_FOUND (-2)   /* no such port; no connected printer with that serial */
#define NORVAT_ERR_BUSY (-3)        /* the device is already open: in this process (by a handle
                                       or the ten functions) or in another program */
#define NORVAT_ERR_ACCESS (-4)      /* no permission. Linux: add the user to the groups lp (USB
                                       and parallel printers) and dialout (serial ports), then
                                       log in again. Windows: another program may hold a serial
                                       port, which Windows reports as access denied */
#define NORVAT_ERR_TIMEOUT (-5)     /* nothing went out, or nothing came, in time */
#define NORVAT_ERR_UNSUPPORTED (-6) /* not for this kind of port (a line speed for a USB
                                       printer), or not on this system (USB printers on a Linux
                                       without libudev.so.1) */
#define NORVAT_ERR_GONE (-7)        /* the device went away or the connection ended */
#define NORVAT_ERR_CANCELLED (-8)   /* norvat_cancel or norvat_close ended the call */
#define NORVAT_ERR_SYSTEM (-9)      /* anything else; the platform's code says what */

/* timeout_ms of norvat_write and norvat_read: the library's own bounds (see each function). */
#define NORVAT_TIMEOUT_DEFAULT (-1)

/* Fields of a listing entry (norvat_port_list_get). New fields may come later. */
#define NORVAT_FIELD_NAME 0         /* what norvat_open takes to open this port */
#define NORVAT_FIELD_KIND 1         /* "serial", "parallel" or "usb" */
#define NORVAT_FIELD_DESCRIPTION 2  /* "COM1", "LPT1", a USB printer's description */
#define NORVAT_FIELD_SERIAL 3       /* a USB printer's serial; "" when it has none */
#define NORVAT_FIELD_VENDOR_ID 4    /* four lower-case hex digits, "04b8"; "" for no USB device */
#define NORVAT_FIELD_PRODUCT_ID 5   /* four lower-case hex digits, "0202" */
#define NORVAT_FIELD_MANUFACTURER 6 /* from the printer's IEEE 1284 device ID: MFG/MANUFACTURER */
#define NORVAT_FIELD_MODEL 7        /* MDL/MODEL */
#define NORVAT_FIELD_COMMAND_SET 8  /* CMD/COMMAND SET, e.g. "ESC/POS", "ZPL" */
#define NORVAT_FIELD_DEVICE_ID 9    /* the whole device ID text */

/* A port's state (norvat_status, norvat_escpos_status): bits. */
#define NORVAT_STATE_PAPER_OUT 0x0001     /* out of paper */
#define NORVAT_STATE_OFFLINE 0x0002       /* offline (not selected) */
#define NORVAT_STATE_ERROR 0x0004         /* the printer reports an error */
#define NORVAT_STATE_COVER_OPEN 0x0008    /* ESC/POS: the cover is open */
#define NORVAT_STATE_PAPER_LOW 0x0010     /* ESC/POS: the roll is near its end */
#define NORVAT_STATE_FEED_BUTTON 0x0020   /* ESC/POS: paper is being fed by the feed button */
#define NORVAT_STATE_DRAWER_OPEN 0x0040   /* ESC/POS: drawer kick-out connector pin 3 is high */
#define NORVAT_STATE_CUTTER_ERROR 0x0080  /* ESC/POS: auto-cutter error */
#define NORVAT_STATE_UNRECOVERABLE 0x0100 /* ESC/POS: unrecoverable error */
#define NORVAT_STATE_DSR 0x0200           /* serial: DSR is on */
#define NORVAT_STATE_CTS 0x0400           /* serial: CTS is on */
#define NORVAT_STATE_DCD 0x0800           /* serial: DCD (RLSD) is on */
#define NORVAT_STATE_DISCONNECTED 0x1000  /* network: the printer closed or reset the connection */
/* The bits that mean "not ready to print": what the norvat tool and the bindings call not
 * ready. The serial modem lines are not among them: many printers do not wire them. */
#define NORVAT_STATE_NOT_READY                                                                   \
    (NORVAT_STATE_PAPER_OUT | NORVAT_STATE_OFFLINE | NORVAT_STATE_ERROR |                        \
     NORVAT_STATE_COVER_OPEN | NORVAT_STATE_CUTTER_ERROR | NORVAT_STATE_UNRECOVERABLE |          \
     NORVAT_STATE_DISCONNECTED)

/**
 * Opens a port and hands out a handle to it.
 * @param name any of:
 *        - a serial port: "COM1", "COM12" (any name beginning with 'C', at most 15 characters,
 *          and on Linux COMn is /dev/ttyS<n-1>); set to 9600 bit/s, 8N1, XON/XOFF on output;
 *        - "LPT1", "LPT2" (on Linux /dev/lp0, /dev/lp1);
 *        - a network printer, "tcp://HOST" or "tcp://HOST:PORT" (as OpenUSB takes it);
 *        - on Linux a device path, "/dev/ttyUSB0", "/dev/usb/lp0" (a /dev/tty* one as a serial
 *          port);
 *        - a connected USB printer of any maker: the name norvat_list_ports gives it (its
 *          device link, which is how a printer without a serial is opened), its serial, or
 *          "description#serial" with a description of any length (the serial is what follows
 *          the last '#'). Serials compare without regard to case; a serial of exactly 19
 *          characters also matches a longer one that begins with it, as FindFirstUSB cuts them.
 *          A serial that begins with 'C' and has no '#' is taken for a serial port's name:
 *          pass "#SERIAL" or the listed name instead.
 *        Not NULL.
 * @param port receives the handle on success; untouched on failure. Not NULL.
 * @returns 0 with *port set. NORVAT_ERR_ARGUMENT for NULL or a malformed name (a serial name
 *          over 15 characters, a network address that is none); NORVAT_ERR_NOT_FOUND when no
 *          such port exists or no connected printer matches; NORVAT_ERR_BUSY when the device is
 *          already open, here or elsewhere; NORVAT_ERR_ACCESS without permission;
 *          NORVAT_ERR_TIMEOUT when a network printer did not answer within 5 s;
 *          NORVAT_ERR_UNSUPPORTED for a USB printer on a Linux without libudev.so.1;
 *          NORVAT_ERR_SYSTEM otherwise.
 * Blocks for the open only: a USB printer, one pass over the system's printer records; a
 * network printer, resolving its name, then at most 5 s to connect. Never closes or touches
 * another port.
 */
NORVAT_API int NORVAT_CALL norvat_open(const char *name, norvat_port **port);

/**
 * Closes a port and frees its handle. A call in flight on it from another thread is cancelled
 * (as norvat_cancel) and waited for, as are calls that were waiting for their turn (they return
 * NORVAT_ERR_CANCELLED). The handle is invalid afterwards.
 * @param port a handle from norvat_open; NULL is harmless.
 * @returns 0; NORVAT_ERR_ARGUMENT for a handle that is not open.
 * Blocks until the call in flight has returned: within one of its polling slices (at most
 * 16 ms) after the cancel.
 */
NORVAT_API int NORVAT_CALL norvat_close(norvat_port *port);

/**
 * Writes count bytes and says how many really went out.
 * @param data the bytes, not NULL (unless count is 0).
 * @param count their number, 0 or more.
 * @param timeout_ms the most the call waits in all, in milliseconds; NORVAT_TIMEOUT_DEFAULT (or
 *        any negative value) for the library's bounds: about 20 s, a serial line 200 ms plus
 *        100 ms per byte (a serial line never waits longer than that, whatever timeout_ms says).
 * @returns the bytes that went out: on a serial line what the line sent, on a network printer
 *          what the printer acknowledged (where the platform tells it; see "Write bounds"
 *          above), elsewhere what the device took. Less than count when the device stopped
 *          taking bytes in time: the write was given up and cancelled, and the rest never goes
 *          out later. 0 when count is 0. When no byte went out: NORVAT_ERR_TIMEOUT,
 *          NORVAT_ERR_GONE (the device went away, the connection ended), NORVAT_ERR_CANCELLED,
 *          or NORVAT_ERR_SYSTEM; NORVAT_ERR_ARGUMENT for NULL data or a negative count.
 * Blocks until the device took everything, at most timeout_ms (plus one polling slice, at most
 * 16 ms).
 */
NORVAT_API int NORVAT_CALL norvat_write(norvat_port *port, const void *data, int count,
                                        int timeout_ms);

/**
 * Reads what the device sent.
 * @param buffer receives at most size bytes; no NUL is added. Not NULL (unless size is 0).
 * @param size the most bytes to read, 0 or more.
 * @param timeout_ms the most to wait for the first byte, in milliseconds; 0 returns at once with
 *        what is waiting; NORVAT_TIMEOUT_DEFAULT (or any negative value) waits about 450 ms.
 * @returns the bytes read: once the first arrived, what has arrived by the time the device
 *          pauses (a serial line: 200 ms after its last byte; other ports hand over what they
 *          have at once). 0 when nothing came in time: that is no failure. NORVAT_ERR_GONE,
 *          NORVAT_ERR_CANCELLED or NORVAT_ERR_SYSTEM when the read failed;
 *          NORVAT_ERR_ARGUMENT for a NULL buffer or a negative size.
 * Blocks for at most timeout_ms for the first byte, then as long as bytes keep coming without a
 * pause, up to size bytes.
 */
NORVAT_API int NORVAT_CALL norvat_read(norvat_port *port, void *buffer, int size,
                                       int timeout_ms);

/**
 * Sets the line speed of a serial port (8N1 and XON/XOFF on output are kept).
 * @param rate bits per second, above 0.
 * @returns 0. NORVAT_ERR_UNSUPPORTED when the port is no serial line (a parallel port, a USB
 *          or network printer); NORVAT_ERR_ARGUMENT for a rate of 0 or below, or one the driver
 *          refused (the line then keeps its speed).
 * Does not wait for the device.
 */
NORVAT_API int NORVAT_CALL norvat_set_baud_rate(norvat_port *port, int rate);

/**
 * Ends the call in flight on a port, from any thread: a write returns the bytes that went out
 * (the rest never goes out), or NORVAT_ERR_CANCELLED when none did; a read returns what it has,
 * or NORVAT_ERR_CANCELLED. Calls that come later are not affected; with nothing in flight it does
 * nothing.
 * @returns 0; NORVAT_ERR_ARGUMENT for a handle that is not open.
 * Does not wait: the call in flight ends within one of its polling slices (at most 16 ms).
 */
NORVAT_API int NORVAT_CALL norvat_cancel(norvat_port *port);

/**
 * Lists every port that can be opened now: the serial ports and parallel ports the system has,
 * and every connected USB printer of every maker. (Windows: the serial ports the system records,
 * LPT1 and LPT2 where they exist, and the USB printer interface class records; Linux: the tty
 * and printer device classes, and udev's USB printers.)
 * @param list receives the snapshot, which the host frees with norvat_free_port_list; untouched
 *        on failure. Not NULL.
 * @returns the number of entries, 0 or more. NORVAT_ERR_ARGUMENT for NULL; NORVAT_ERR_SYSTEM
 *          when memory ran out. Without libudev.so.1 on Linux the USB printers are left out (the
 *          rest is listed); norvat_open of a USB printer then says NORVAT_ERR_UNSUPPORTED.
 * Blocks for one pass over the system's records; on Windows it asks each USB printer for its
 * device ID, which a busy printer's driver may take a moment to answer.
 */
NORVAT_API int NORVAT_CALL norvat_list_ports(norvat_port_list **list);

/**
 * One field of one entry of a listing.
 * @param index 0 to the count norvat_list_ports returned, less one.
 * @param field one of NORVAT_FIELD_*.
 * @returns the text, owned by the listing: "" when the field is unknown for this entry; NULL
 *          for a NULL list, an index out of range or a field this version does not know.
 */
NORVAT_API const char *NORVAT_CALL norvat_port_list_get(const norvat_port_list *list, int index,
                                                        int field);

/** Frees a listing and its texts. NULL is harmless. */
NORVAT_API void NORVAT_CALL norvat_free_port_list(norvat_port_list *list);

/**
 * The port's own state, without sending a byte to the printer.
 * @param state receives NORVAT_STATE_* bits: what is so now. Not NULL.
 * @param known receives the bits this kind of port can report at all; a bit that is not in
 *        *known says nothing, so "not known" is never read as "fine". May be NULL.
 *        - USB printers: NORVAT_STATE_PAPER_OUT, NORVAT_STATE_OFFLINE, NORVAT_STATE_ERROR, from
 *          the IEEE 1284 status byte the printer class reports (Linux LPGETSTATUS, Windows
 *          IOCTL_USBPRINT_GET_LPT_STATUS). Many printers report it faithfully; some always say
 *          all is well, so "ready" means the printer did not say otherwise.
 *        - parallel ports: the same three on Linux (LPGETSTATUS); on Windows PAPER_OUT and
 *          OFFLINE (IOCTL_PAR_QUERY_INFORMATION, which has no fault bit; a port that is
 *          switched off or not connected counts as offline).
 *        - serial lines: NORVAT_STATE_DSR, NORVAT_STATE_CTS, NORVAT_STATE_DCD, the modem lines
 *          (TIOCMGET, GetCommModemStatus). Many serial printers drop DSR or CTS when offline or
 *          out of paper; others do not wire them.
 *        - network printers: NORVAT_STATE_DISCONNECTED, when the printer closed or reset the
 *          connection (the next call opens a new one, see below).
 *        - any other device (a Linux device path that is none of these), and any port whose
 *          driver does not answer the request: none.
 * @returns 0. NORVAT_ERR_GONE when a USB printer has been unplugged or switched off (while it is
 *          away; a printer that is back is opened again first, and its state reported);
 *          NORVAT_ERR_ARGUMENT for NULL state or a handle that is not open; NORVAT_ERR_SYSTEM
 *          when the driver refused the request.
 * Does not wait for the printer beyond the driver's answer (a USB printer answers the status
 * request at once, even while printing).
 *
 * A printer that comes back: a handle of a USB printer remembers the printer (by what it was
 * opened with: its serial, listing text or listed name), and one of a network printer its
 * address. When the device has gone (unplugged, switched off, the connection closed or reset),
 * calls fail with NORVAT_ERR_GONE while it is away, each within about 0.5 s; the
 * first call after it is back opens it again by itself (a USB printer at whatever node it now
 * has, a network printer with a new connection) before sending anything. Nothing is ever sent
 * twice: a write under way when the device went returns the bytes that went out and is not
 * resumed. A network printer that closed an idle connection is reconnected at the next call.
 * Serial lines and parallel ports are not reopened: their calls keep failing until the host
 * closes and opens them again.
 */
NORVAT_API int NORVAT_CALL norvat_status(norvat_port *port, unsigned *state, unsigned *known);

/**
 * The bytes written to a network printer that it has not acknowledged yet.
 * @returns the count, 0 or more: on Linux what the socket holds unacknowledged (SIOCOUTQ); on
 *          Windows 10 (1703 and later) the bytes in flight (SIO_TCP_INFO); 0 where the platform
 *          cannot say (older Windows, Wine) and for every port that is no network printer.
 *          NORVAT_ERR_ARGUMENT for a handle that is not open.
 * Does not wait.
 */
NORVAT_API int NORVAT_CALL norvat_pending(norvat_port *port);

/**
 * Throws away what the device sent and nobody read.
 * @returns the number of bytes thrown away that the library saw (a serial driver's own buffer
 *          is emptied without counting); NORVAT_ERR_GONE, NORVAT_ERR_SYSTEM when the device
 *          failed; NORVAT_ERR_ARGUMENT for a handle that is not open.
 * Does not wait for more bytes: it takes what is there now.
 */
NORVAT_API int NORVAT_CALL norvat_discard_input(norvat_port *port);

/**
 * Asks an ESC/POS printer for its state with the real-time status requests (DLE EOT n, which a
 * printer answers at once with one byte, even while its buffer is full or it is offline). First
 * throws away what the printer sent earlier, then sends DLE EOT 1, 2, 4 and 3, one at a time,
 * each only after the answer to the one before: a late answer is never taken for another
 * request's. A byte that is no status byte (bits 0, 1, 4 and 7 must read 0, 1, 1, 0) is thrown
 * away.
 * @param timeout_ms the most the whole exchange takes, in milliseconds; NORVAT_TIMEOUT_DEFAULT
 *        (or any negative value) for 1000 ms.
 * @param state receives NORVAT_STATE_* bits from the answers: DLE EOT 1 OFFLINE, DRAWER_OPEN;
 *        DLE EOT 2 COVER_OPEN, FEED_BUTTON, PAPER_OUT (printing stopped at the paper end), ERROR;
 *        DLE EOT 4 PAPER_LOW, PAPER_OUT; DLE EOT 3 CUTTER_ERROR, UNRECOVERABLE, ERROR (an error
 *        that recovers by itself). Not NULL.
 * @returns the number of requests answered: 4 when all were; 1 to 3 when the printer stopped
 *          answering after that many (in the order 1, 2, 4, 3; the bits of the others are not
 *          known and left clear). NORVAT_ERR_TIMEOUT when it answered none in time (a printer
 *          that speaks no ESC/POS); the port stays usable. NORVAT_ERR_GONE, NORVAT_ERR_CANCELLED,
 *          NORVAT_ERR_SYSTEM as for norvat_write; NORVAT_ERR_ARGUMENT for NULL state.
 * Blocks for at most timeout_ms (plus one polling slice, at most 16 ms).
 */
NORVAT_API int NORVAT_CALL norvat_escpos_status(norvat_port *port, int timeout_ms,
                                                unsigned *state);

/**
 * A short fixed English text for a result: "argument refused", "no such port", ..., "success"
 * for 0 or a count, "unknown result" for a code this version does not know. Never NULL; the text
 * is static.
 */
NORVAT_API const char *NORVAT_CALL norvat_error_text(int result);

#ifdef __cplusplus
}
#endif

#endif /* NORVAT_H */
