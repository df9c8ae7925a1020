/*
 * norvat.h - the public interface of Norvat.dll, a port library for printer-class devices.
 *
 * One device is open at a time: a serial port (COM), a parallel port (LPT1/LPT2) or a USB
 * printer. All functions are cdecl on 32-bit x86 and exported by their plain names, so a host
 * may link the import library or bind them by name with GetProcAddress.
 *
 * The library is not thread safe: call it from one thread at a time. No function validates its
 * pointers; buffers belong to the host and must be at least as large as stated.
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
#define NORVAT_API
#endif

/* Buffer sizes the host must provide. */
#define NORVAT_LISTING_BUFFER_SIZE 191 /* FindFirstUSB / FindNextUSB */
#define NORVAT_VERSION_BUFFER_SIZE 16  /* GetDllVersion */

#ifdef __cplusplus
extern "C" {
#endif

/**
 * Opens a port by number, taken from the first character of selector:
 * '0' LPT1, '1'-'4' COM1-COM4, '5' LPT2, '6' the first USB printer, '7'-'9' COM7-COM9.
 * Any other first character (or an empty text) reuses the last number chosen, LPT1 at first.
 * A serial port is set to 9600 bit/s, 8N1, XON/XOFF on output. A port that is already open is
 * closed first.
 * @param selector NUL-terminated text; only its first character counts.
 * @returns 1 when the port was opened; 0 when it could not be opened (then no port is open).
 * Does not block beyond the open itself.
 */
NORVAT_API int NORVAT_CALL openport(const char *selector);

/**
 * Opens a serial port by name, or a USB printer by serial.
 * @param request a name starting with "CO" (e.g. "COM12", at most 15 characters) opens that serial
 *        port as openport does; any other text is a listing text "description#serial" as
 *        returned by FindFirstUSB/FindNextUSB, or a bare serial, and opens the connected USB
 *        printer with that serial. The serial is what follows the first '#' within the first
 *        42 characters, so a listing text opens its printer only when the description has at
 *        most 41 characters, holds no '#' and does not begin with "CO"; a bare serial always
 *        works. Serials are compared over their first 19 characters, case-sensitively.
 * @returns 1 when opened; 0 otherwise (a name over 15 characters is refused). After a failed
 *          open that reached a device no port is open; when no printer matched, an open port
 *          stays open.
 */
NORVAT_API int NORVAT_CALL OpenUSB(const char *request);

/**
 * Lists the first connected USB printer as "description#serial".
 * @param buffer receives the NUL-terminated listing text; at least
 *        NORVAT_LISTING_BUFFER_SIZE (191) bytes.
 * @returns 1 with the text in buffer; 0 when no printer is connected (buffer untouched).
 * Reads the registry only; does not block.
 */
NORVAT_API int NORVAT_CALL FindFirstUSB(char *buffer);

/**
 * Lists the next USB printer after the one last returned by FindFirstUSB/FindNextUSB.
 * @param buffer as for FindFirstUSB, at least 191 bytes.
 * @returns 1 with the text in buffer; 0 at the end of the listing (buffer untouched).
 */
NORVAT_API int NORVAT_CALL FindNextUSB(char *buffer);

/**
 * Closes the open port, if any. Calling it with no port open is harmless.
 * @returns no success indication: always 0 in the 32-bit build; in the 64-bit build non-zero
 *          when a port was closed and 0 when none was open.
 */
NORVAT_API int NORVAT_CALL closeport(void);

/**
 * Sets the line speed of the open serial port (8N1 and XON/XOFF on output are kept).
 * @param rate bits per second, e.g. 9600, 19200, 115200.
 * @returns non-zero on success; 0 when no port is open, the port is not a serial port (LPT,
 *          USB) or the rate is refused.
 */
NORVAT_API int NORVAT_CALL setbaudrate(int rate);

/**
 * Writes count raw bytes to the open port with one overlapped write.
 * @param data bytes to send; count their number.
 * @returns the number of bytes written (less than count after a partial write); 1 when count
 *          is 0 (nothing is sent); 0 when no port is open or nothing could be written.
 * Blocks until the write completes; a write the device does not take is given up after about
 * 20 s, and the result is then the bytes that really went out. The port stays open.
 */
NORVAT_API int NORVAT_CALL sendbuf(const char *data, int count);

/**
 * Sends a command: each character of text, then CR and LF, one byte per write.
 * @param text NUL-terminated command; an empty text sends CR LF alone.
 * @returns 1 when the text and CR LF were all written; 0 when no port is open or a byte was
 *          not taken (nothing after that byte is sent, CR LF included).
 * Blocks like sendbuf, up to about 20 s for the byte that stalls.
 */
NORVAT_API int NORVAT_CALL sendcommand(const char *text);

/**
 * Reads what the device has sent, waiting at most about 450 ms for it.
 * @param buffer receives the bytes read and a NUL after them: count + 1 bytes.
 * @param count the most bytes to read.
 * @returns the number of bytes read, followed by a NUL in buffer; 0 when nothing arrived
 *          (then the buffer's contents are unspecified) or no port is open (buffer untouched).
 * Blocks for at most about 450 ms; bytes that arrive later are kept for the next call.
 */
NORVAT_API int NORVAT_CALL RcvBuf(char *buffer, int count);

/**
 * Copies the version text "Ver1.2 2011/8/1" and its NUL into buffer.
 * @param buffer at least NORVAT_VERSION_BUFFER_SIZE (16) bytes.
 * @returns 15, the length of the text.
 */
NORVAT_API int NORVAT_CALL GetDllVersion(char *buffer);

#ifdef __cplusplus
}
#endif

#endif /* NORVAT_H */
