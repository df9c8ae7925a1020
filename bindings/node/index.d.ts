// Norvat for Node.js: the port library for printer-class devices (COM, LPT, USB printers).
/// <reference types="node" />

/** A failure of the library or the device: code is the errno name ('ENOENT', 'EBUSY', ...). */
export interface NorvatError extends Error {
  code: string;
  /** The errno value (Linux), or on Windows the one Node gives that name, when there is one. */
  errno?: number;
  /** The Windows error code (Windows only). */
  winerror?: number;
  syscall: string;
  port?: string | Uint8Array;
}

/** The library's version text, e.g. "Ver1.2 2011/8/1". */
export function version(): Promise<string>;

/** The connected USB printers as "description#serial" texts, in the library's order. */
export function usbPrinters(): Promise<string[]>;

/**
 * Opens a port: "COM1".."COM256", "LPT1", "LPT2", a port number "0"-"9", a USB printer's
 * listing text or serial, a network printer's "tcp://HOST[:PORT]", or on Linux a /dev/ path.
 * Opening closes the port another NorvatPort had.
 */
export function open(port: string | Uint8Array): Promise<NorvatPort>;

export class NorvatPort {
  private constructor(name: string | Uint8Array);
  /** The name this port was opened with. */
  readonly name: string | Uint8Array;
  /** Whether the library's port is still this one. */
  readonly isOpen: boolean;
  /** The line speed last set through this object, or 9600, what every open sets a serial port to. */
  readonly baudRate: number;
  /** Raw bytes with one write; resolves to how many went out (fewer when the device stopped). */
  write(data: Uint8Array): Promise<number>;
  /** The text followed by CR LF; rejects unless all of it went out. */
  command(text: string | Uint8Array): Promise<void>;
  /** What the device sent within about 450 ms, at most maxBytes (default 4096); empty when nothing came. */
  read(maxBytes?: number): Promise<Buffer>;
  /** The line speed of a serial port in bit/s; rejects for LPT and USB ports. */
  setBaudRate(rate: number): Promise<void>;
  /** Closes the port if it is still this one. Harmless when repeated. */
  close(): Promise<void>;
}

export const MAX_READ: number;
export const DEFAULT_BAUD_RATE: number;
export const LISTING_BUFFER_SIZE: number;
export const VERSION_BUFFER_SIZE: number;
/** The reasons the library sets itself, for this platform (Windows code or Linux errno). */
export const E_INVALID_ARGUMENT: number;
export const E_NO_MORE_ITEMS: number;
export const E_NO_PORT: number;
export const E_NOT_CONNECTED: number;
export const E_TIMEOUT: number;
