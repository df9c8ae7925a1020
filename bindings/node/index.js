'use strict';
// Norvat for Node.js: ports of printer-class devices (serial, parallel, USB and network printers).
//
//   const norvat = require('norvat');
//   console.log(await norvat.listPorts());      // [{ name, kind, description, serial, ... }]
//   const receipt = await norvat.open('tcp://192.168.1.50');
//   const kitchen = await norvat.open('COM1');
//   await Promise.all([receipt.write(ticket), kitchen.write(order, 2000)]);
//   if (!(await receipt.status()).ready) ...
//   await receipt.close(); await kitchen.close();
//
// Each NorvatPort owns a port of its own (norvat_open ... norvat_close): any number may be open
// at once. Every call that may wait returns a Promise and runs on a worker thread; calls on one
// port run one after another, in the order they were made, and calls on different ports at the
// same time. include/norvat.h is the manual: what each name opens, how long each call may take
// and what its results mean.
//
// Failures reject with an Error whose result is the portable NORVAT_ERR_* code, whose code is
// the errno name Node uses for it ('ENOENT', 'EBUSY', ...; RangeError ERR_INVALID_ARG_VALUE for
// an argument the library refused) and whose errno (Linux) or winerror (Windows) is the
// platform's code.
const util = require('util');
const native = require('./lib/native');

const { ERR_ARGUMENT, ERR_CANCELLED, TIMEOUT_DEFAULT, FIELDS, STATES, NOT_READY, ESCPOS_ANSWERS,
  mask } = native;

// The most one read asks for: its buffer is allocated per call.
const MAX_READ = 65536;
// What every open sets a serial port to.
const DEFAULT_BAUD_RATE = 9600;
// The longest timeout the library takes: an int of milliseconds.
const MAX_MS = 0x7fffffff;

// Texts are 8-bit. On Linux they are UTF-8; on Windows, the ANSI code page, which Node cannot
// name, so names are taken byte for byte (latin1). Pass a Buffer to control the bytes exactly.
const ENCODING = native.WINDOWS ? 'latin1' : 'utf8';

// The code each portable result gets: the errno name Node's users know for it. NORVAT_ERR_SYSTEM
// gets the platform's own name where Node knows it.
const CODES = {
  [native.ERR_ARGUMENT]: 'ERR_INVALID_ARG_VALUE', [native.ERR_NOT_FOUND]: 'ENOENT',
  [native.ERR_BUSY]: 'EBUSY', [native.ERR_ACCESS]: 'EACCES', [native.ERR_TIMEOUT]: 'ETIMEDOUT',
  [native.ERR_UNSUPPORTED]: 'ENOTSUP', [native.ERR_GONE]: 'ENODEV',
  [native.ERR_CANCELLED]: 'ECANCELED',
};

// Whether the platform's code is the resolver's, for a network name it does not know: Linux's
// EAI_* (negative), Windows' WSAHOST_NOT_FOUND and its kin (11001-11004).
function isResolverCode(code) {
  return native.WINDOWS ? code >= 11001 && code <= 11004 : code < 0;
}

function systemName(code) {
  if (!native.WINDOWS && code > 0) {
    const name = util.getSystemErrorName(-code);
    if (/^E[A-Z0-9]+$/.test(name))
      return name;
  }
  return 'EIO';
}

// The Error for a failed call: its portable result and the platform's code it left.
function failure(result, code, operation, port) {
  const text = native.callNow('norvat_error_text', result).result;
  const what = port === undefined ? operation : operation + ' ' + port;
  const error = new (result === ERR_ARGUMENT ? RangeError : Error)(
    what + ': ' + text + (native.WINDOWS ? ' (Windows error ' + code + ')' : ' (errno ' + code + ')'));
  error.code = isResolverCode(code) ? 'ENOTFOUND' : CODES[result] || systemName(code);
  error.result = result;
  error[native.WINDOWS ? 'winerror' : 'errno'] = code;
  error.syscall = operation;
  if (port !== undefined)
    error.port = port;
  return error;
}

// The Error for a call on a port that was closed: as Node says it of a closed descriptor.
function closedError(operation, port) {
  const error = new Error(operation + ' ' + port + ': the port is closed');
  error.code = 'EBADF';
  error.syscall = operation;
  error.port = port;
  return error;
}

function typeError(message) {
  const error = new TypeError(message);
  error.code = 'ERR_INVALID_ARG_TYPE';
  return error;
}

function rangeError(message) {
  const error = new RangeError(message);
  error.code = 'ERR_OUT_OF_RANGE';
  return error;
}

// A NUL-terminated copy of a text (string or bytes); no NUL inside it, which would cut it short.
function cText(value, what) {
  let bytes;
  if (typeof value === 'string')
    bytes = Buffer.from(value, ENCODING);
  else if (value instanceof Uint8Array)
    bytes = Buffer.from(value);
  else
    throw typeError(what + ' must be a string or a Buffer, not ' + typeof value);
  if (bytes.includes(0))
    throw typeError(what + ' holds a NUL byte');
  return Buffer.concat([bytes, Buffer.alloc(1)]);
}

function cString(buffer) {
  const end = buffer.indexOf(0);
  return buffer.toString(ENCODING, 0, end < 0 ? buffer.length : end);
}

// A timeout in milliseconds as the library takes it; undefined for the library's own bounds.
function milliseconds(value) {
  if (value === undefined || value === null)
    return TIMEOUT_DEFAULT;
  if (typeof value !== 'number')
    throw typeError('timeoutMs must be a number, not ' + typeof value);
  if (!(value >= 0))
    throw rangeError('timeoutMs must be 0 or more, not ' + value);
  return Math.min(Math.ceil(value), MAX_MS);
}

// A status record: each flag true or false where the port reports it, null where this kind of
// port cannot say; ready when no flag says the printer cannot print now.
function statusRecord(state, known) {
  const record = {};
  for (const [key, bit] of Object.entries(STATES))
    record[key] = (known & bit) ? (state & bit) !== 0 : null;
  record.ready = (state & mask(NOT_READY)) === 0;
  return record;
}

const delay = ms => new Promise(resolve => setTimeout(resolve, ms));

/** The library's version text, "Ver1.2 2011/8/1" (GetDllVersion). */
async function version() {
  const buffer = native.versionBuffer();
  await native.call('GetDllVersion', buffer);
  return cString(buffer);
}

// The library's cursor of the ten exports' listing is one per process: a walk is kept whole.
let listingWalk = Promise.resolve();

/**
 * The USB printers the ten exports of norvat.h list, as "description#serial" texts
 * (FindFirstUSB, FindNextUSB): only the makers those open. listPorts() lists every printer.
 */
function usbPrinters() {
  const walk = listingWalk.then(async () => {
    const buffer = native.listingBuffer();
    const printers = [];
    let { result } = await native.call('FindFirstUSB', buffer);
    while (result !== 0) {
      printers.push(cString(buffer));
      ({ result } = await native.call('FindNextUSB', buffer));
    }
    return printers;
  });
  listingWalk = walk.catch(() => {});
  return walk;
}

/** Every port that can be opened now, as records (norvat_list_ports). */
async function listPorts() {
  const listing = [null];
  const { result: count, code } = await native.call('norvat_list_ports', listing);
  if (count < 0)
    throw failure(count, code, 'list ports');
  try {
    const ports = [];
    for (let index = 0; index < count; index++) {
      const entry = {};
      FIELDS.forEach((key, field) => {
        entry[key] = native.callNow('norvat_port_list_get', listing[0], index, field).result || '';
      });
      ports.push(entry);
    }
    return ports;
  } finally {
    native.callNow('norvat_free_port_list', listing[0]);
  }
}

/**
 * Opens a port: any name norvat.h's norvat_open takes ("COM1", "LPT1", "tcp://HOST[:PORT]", on
 * Linux a /dev/ path, a USB printer's listed name, its serial or "description#serial").
 * Resolves to a NorvatPort. A failed open changes no other port.
 */
async function open(name) {
  const text = cText(name, 'name');
  if (text.length === 1)
    throw rangeError('name must not be empty');
  const handle = [null];
  const { result, code } = await native.call('norvat_open', text, handle);
  if (result !== 0)
    throw failure(result, code, 'open', name);
  return new NorvatPort(name, handle[0]);
}

// A port dropped without close() lets its device go when it is collected.
const unclosed = new FinalizationRegistry(handle => native.call('norvat_close', handle));

class NorvatPort {
  constructor(name, handle) {
    this.name = name;
    this._handle = handle;
    this._baudRate = DEFAULT_BAUD_RATE;
    this._queue = Promise.resolve(); // this port's calls, one after another
    this._closing = null;
    unclosed.register(this, handle, this);
  }

  /** Whether the port is open: not closed, nor being closed. */
  get isOpen() {
    return this._closing === null;
  }

  /**
   * The line speed last set, or 9600, what every open sets a serial line to. Ports that are no
   * serial line have none: setBaudRate rejects for them.
   */
  get baudRate() {
    return this._baudRate;
  }

  // Runs call(handle) after this port's calls made before it: a Promise of its { result,
  // code }, rejected with the failure when result is negative.
  _call(operation, call) {
    if (this._closing !== null)
      return Promise.reject(closedError(operation, this.name));
    const run = this._queue.then(async () => {
      // Waited behind a call and the port was closed meanwhile: as the library says it.
      if (this._closing !== null)
        throw failure(ERR_CANCELLED, 0, operation, this.name);
      const outcome = await call(this._handle);
      if (outcome.result < 0)
        throw failure(outcome.result, outcome.code, operation, this.name);
      return outcome.result;
    });
    this._queue = run.catch(() => {});
    return run;
  }

  /**
   * Writes bytes (norvat_write); resolves to how many went out: fewer than data.length when the
   * device stopped taking them in time (the rest never goes out; do not send again what did).
   * timeoutMs: the most milliseconds in all; undefined for the library's bounds. Rejects when
   * none went out.
   */
  async write(data, timeoutMs) {
    if (!(data instanceof Uint8Array))
      throw typeError('data must be a Buffer or a Uint8Array, not ' + typeof data);
    const bytes = Buffer.from(data); // the caller may change data before the call runs
    const ms = milliseconds(timeoutMs);
    return this._call('write', handle => native.call('norvat_write', handle, bytes, bytes.length, ms));
  }

  /**
   * Sends a command: text (8-bit, latin1) and CR LF, as one write; rejects with ETIMEDOUT unless
   * all of it went out.
   */
  async command(text, timeoutMs) {
    if (typeof text !== 'string')
      throw typeError('text must be a string, not ' + typeof text);
    const line = Buffer.from(text + '\r\n', 'latin1');
    const sent = await this.write(line, timeoutMs);
    if (sent !== line.length) {
      const error = new Error('command: ' + sent + ' of ' + line.length + ' bytes went out');
      error.code = 'ETIMEDOUT';
      throw error;
    }
  }

  /**
   * What the device sent (norvat_read), at most maxBytes (and at most MAX_READ); an empty Buffer
   * when nothing came. timeoutMs: the most to wait for the first byte; undefined for the
   * library's (about 450 ms), 0 for what is waiting now.
   */
  async read(maxBytes = 4096, timeoutMs) {
    if (!Number.isInteger(maxBytes))
      throw typeError('maxBytes must be an integer');
    if (maxBytes < 0)
      throw rangeError('maxBytes must be 0 or more, not ' + maxBytes);
    const size = Math.min(maxBytes, MAX_READ);
    const ms = milliseconds(timeoutMs);
    const buffer = Buffer.alloc(size);
    const count = await this._call('read', handle => native.call('norvat_read', handle, buffer, size, ms));
    return buffer.subarray(0, count);
  }

  /** Sets a serial line's speed in bit/s (norvat_set_baud_rate); rejects for other ports. */
  async setBaudRate(rate) {
    if (!Number.isInteger(rate))
      throw typeError('rate must be an integer');
    if (rate <= 0 || rate > MAX_MS)
      throw rangeError('rate must be above 0, not ' + rate);
    await this._call('set baud rate', handle => native.call('norvat_set_baud_rate', handle, rate));
    this._baudRate = rate;
  }

  /** The port's own state, without a byte sent to the printer (norvat_status). */
  async status() {
    const state = [0], known = [0];
    await this._call('status', handle => native.call('norvat_status', handle, state, known));
    return statusRecord(state[0], known[0]);
  }

  /**
   * Asks an ESC/POS printer for its state (norvat_escpos_status): a status record with what its
   * answers told (null for the requests it did not answer) and their number in answered.
   * timeoutMs: the whole exchange; undefined for the library's (1 s). Rejects with ETIMEDOUT
   * when the printer answered nothing.
   */
  async escposStatus(timeoutMs) {
    const ms = milliseconds(timeoutMs);
    const state = [0];
    const answered = await this._call('ESC/POS status',
      handle => native.call('norvat_escpos_status', handle, ms, state));
    const record = statusRecord(state[0], mask(ESCPOS_ANSWERS.slice(0, answered).flat()));
    record.answered = answered;
    return record;
  }

  /**
   * The bytes written to a network printer that it has not acknowledged yet; 0 for other ports
   * and where the platform cannot tell (norvat_pending).
   */
  pending() {
    return this._call('pending', handle => native.call('norvat_pending', handle));
  }

  /** Throws away what the device sent and nobody read; resolves to its count (norvat_discard_input). */
  discardInput() {
    return this._call('discard input', handle => native.call('norvat_discard_input', handle));
  }

  /**
   * Ends the call in flight on this port at once (norvat_cancel): a write resolves to what went
   * out, or rejects with ECANCELED when nothing did. Does nothing on a closed port.
   */
  cancel() {
    if (this._closing === null)
      native.callNow('norvat_cancel', this._handle);
  }

  /** Closes the port (norvat_close); its calls under way are cancelled. Harmless when repeated. */
  close() {
    if (this._closing !== null)
      return this._closing;
    const handle = this._handle;
    let drained = false;
    const calls = this._queue.then(() => { drained = true; });
    this._closing = (async () => {
      // The call in flight ends at a cancel, but one that a worker thread has not taken into
      // the library yet would miss a single cancel: cancel until the port's calls are done.
      while (!drained) {
        native.callNow('norvat_cancel', handle);
        await Promise.race([calls, delay(5)]);
      }
      unclosed.unregister(this);
      await native.call('norvat_close', handle);
    })();
    return this._closing;
  }
}

module.exports = {
  open, listPorts, usbPrinters, version, NorvatPort, MAX_READ, DEFAULT_BAUD_RATE,
  ERR_ARGUMENT: native.ERR_ARGUMENT, ERR_NOT_FOUND: native.ERR_NOT_FOUND, ERR_BUSY: native.ERR_BUSY,
  ERR_ACCESS: native.ERR_ACCESS, ERR_TIMEOUT: native.ERR_TIMEOUT,
  ERR_UNSUPPORTED: native.ERR_UNSUPPORTED, ERR_GONE: native.ERR_GONE,
  ERR_CANCELLED: native.ERR_CANCELLED, ERR_SYSTEM: native.ERR_SYSTEM,
};
