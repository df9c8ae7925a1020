// Norvat for Node.js: ports of printer-class devices (serial, parallel, USB and network printers).
// include/norvat.h is the manual for what each call does and how long it may take.
/// <reference types="node" />

/**
 * A failure of the library or the device. result: the portable NORVAT_ERR_* code; code: the
 * errno name Node uses for it ('ENOENT', 'EBUSY', 'EACCES', 'ETIMEDOUT', 'ENOTSUP', 'ENODEV',
 * 'ECANCELED'; 'ENOTFOUND' for a network name the resolver does not know; for NORVAT_ERR_SYSTEM
 * the platform's own; 'EBADF' for a call on a closed port, which has no result). An argument the
 * library refused is a RangeError with code 'ERR_INVALID_ARG_VALUE'.
 */
export interface NorvatError extends Error {
  code: string;
  result?: number;
  /** The platform's code: errno (Linux). */
  errno?: number;
  /** The platform's code: the Windows error code (Windows). */
  winerror?: number;
  syscall: string;
  port?: string | Uint8Array;
}

/** One port of the listing; '' for what is not known of it. */
export interface PortInfo {
  /** What open() takes. */
  name: string;
  kind: 'serial' | 'parallel' | 'usb';
  description: string;
  serial: string;
  /** Four lower-case hex digits, '04b8'. */
  vendorId: string;
  productId: string;
  /** From the printer's IEEE 1284 device ID. */
  manufacturer: string;
  model: string;
  commandSet: string;
  deviceId: string;
}

/**
 * A port's state: each flag true or false where the port reports it, null where this kind of
 * port cannot say. ready: no flag says the printer cannot print now (NORVAT_STATE_NOT_READY).
 */
export interface Status {
  paperOut: boolean | null;
  offline: boolean | null;
  error: boolean | null;
  coverOpen: boolean | null;
  paperLow: boolean | null;
  feedButton: boolean | null;
  drawerOpen: boolean | null;
  cutterError: boolean | null;
  unrecoverable: boolean | null;
  dsr: boolean | null;
  cts: boolean | null;
  dcd: boolean | null;
  disconnected: boolean | null;
  ready: boolean;
}

/** What an ESC/POS printer's answers told, and how many of the four requests it answered. */
export interface EscPosStatus extends Status {
  answered: number;
}

/** The library's version text, "Ver1.2 2011/8/1" (GetDllVersion). */
export function version(): Promise<string>;

/** Every port that can be opened now (norvat_list_ports). */
export function listPorts(): Promise<PortInfo[]>;

/** The USB printers the ten exports list, as "description#serial" texts: only their makers. */
export function usbPrinters(): Promise<string[]>;

/**
 * Opens a port: any name norvat_open takes ("COM1", "LPT1", "tcp://HOST[:PORT]", on Linux a
 * /dev/ path, a USB printer's listed name, its serial or "description#serial").
 */
export function open(name: string | Uint8Array): Promise<NorvatPort>;

export class NorvatPort {
  private constructor();
  /** The name this port was opened with. */
  readonly name: string | Uint8Array;
  /** Whether the port is open: not closed, nor being closed. */
  readonly isOpen: boolean;
  /** The line speed last set, or 9600, what every open sets a serial line to. */
  readonly baudRate: number;
  /** Writes the bytes; resolves to how many went out (fewer when the device stopped in time). */
  write(data: Uint8Array, timeoutMs?: number): Promise<number>;
  /** Sends text and CR LF as one write; rejects with code ETIMEDOUT unless all of it went out. */
  command(text: string, timeoutMs?: number): Promise<void>;
  /** What the device sent, at most maxBytes (default 4096); empty when nothing came in time. */
  read(maxBytes?: number, timeoutMs?: number): Promise<Buffer>;
  /** A serial line's speed in bit/s; rejects with ENOTSUP for other ports. */
  setBaudRate(rate: number): Promise<void>;
  /** The port's own state, without a byte sent to the printer. */
  status(): Promise<Status>;
  /** Asks an ESC/POS printer for its state; rejects with ETIMEDOUT when it answered nothing. */
  escposStatus(timeoutMs?: number): Promise<EscPosStatus>;
  /** The bytes a network printer has not acknowledged; 0 for other ports. */
  pending(): Promise<number>;
  /** Throws away what the device sent and nobody read; resolves to its count. */
  discardInput(): Promise<number>;
  /** Ends the call in flight at once: a write resolves to what went out, or rejects ECANCELED. */
  cancel(): void;
  /** Closes the port, cancelling its calls under way. Harmless when repeated. */
  close(): Promise<void>;
}

export const MAX_READ: number;
export const DEFAULT_BAUD_RATE: number;
/** The portable results of norvat.h (NORVAT_ERR_*), as NorvatError.result holds them. */
export const ERR_ARGUMENT: number;
export const ERR_NOT_FOUND: number;
export const ERR_BUSY: number;
export const ERR_ACCESS: number;
export const ERR_TIMEOUT: number;
export const ERR_UNSUPPORTED: number;
export const ERR_GONE: number;
export const ERR_CANCELLED: number;
export const ERR_SYSTEM: number;
