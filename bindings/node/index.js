'use strict';
// Norvat for Node.js: the port library for printer-class devices (COM, LPT, USB printers).
//
//   const norvat = require('norvat');
//   console.log(await norvat.usbPrinters());        // ['Label printer#LBL0042', ...]
//   const port = await norvat.open('COM1');
//   await port.command('~HS');
//   console.log(await port.read());
//   await port.close();
//
// Every call returns a Promise and runs off the event loop. Calls run one after another, in
// the order they were made, as the library itself runs them. Failures reject with an Error
// whose code is the errno name ('ENOENT', ...) and whose errno (Linux) or winerror (Windows) is
// the platform's code. The library holds one port per process: opening a port closes the one
// another NorvatPort had.
const os = require('os');
const native = require('./lib/native');

const { E_INVALID_ARGUMENT, E_NO_MORE_ITEMS, E_NO_PORT, E_NOT_CONNECTED, E_TIMEOUT } = native;

// The most one read asks for: its buffer is allocated per call, and a read never returns more
// than the device sent within about 450 ms.
const MAX_READ = 65536;
// What every open sets a serial port to.
const DEFAULT_BAUD_RATE = 9600;

// Texts are 8-bit. On Linux they are UTF-8; on Windows, the ANSI code page, which Node cannot
// name, so listing texts are taken byte for byte (latin1) and go back to open() unchanged.
// Pass a Buffer to control the bytes exactly.
const ENCODING = native.WINDOWS ? 'latin1' : 'utf8';

// Windows codes the library or the system leaves, by the errno name Node uses for them.
const WINDOWS_NAMES = {
  1: 'ENOTTY', 2: 'ENOENT', 3: 'ENOENT', 5: 'EACCES', 6: 'EBADF', 21: 'EAGAIN', 31: 'EIO',
  32: 'EBUSY', 87: 'EINVAL', 109: 'EPIPE', 121: 'ETIMEDOUT', 233: 'EPIPE', 259: 'ENOENT',
  995: 'ECANCELED', 1117: 'EIO', 1167: 'ENODEV', 1460: 'ETIMEDOUT', 50: 'ENOTSUP',
  // Network printers: Winsock's codes, and the resolver's for a name it does not know.
  10053: 'ECONNABORTED', 10054: 'ECONNRESET', 10057: 'ENOTCONN', 10060: 'ETIMEDOUT',
  10061: 'ECONNREFUSED', 11001: 'ENOTFOUND', 11002: 'EAI_AGAIN', 11003: 'EAI_FAIL',
  11004: 'ENOTFOUND',
};
// The resolver's codes on Linux (EAI_*, negative in glibc), by the names Node's dns uses.
const RESOLVER_NAMES = { '-2': 'ENOTFOUND', '-3': 'EAI_AGAIN', '-4': 'EAI_FAIL', '-5': 'ENOTFOUND' };
const ERRNO_NAMES = {};
for (const [name, value] of Object.entries(os.constants.errno)) {
  if (!(value in ERRNO_NAMES))
    ERRNO_NAMES[value] = name;
}

function errorName(code) {
  if (!native.WINDOWS && code < 0)
    return RESOLVER_NAMES[code] || 'EAI_FAIL';
  return (native.WINDOWS ? WINDOWS_NAMES[code] : ERRNO_NAMES[code]) || 'UNKNOWN';
}

// An Error for the platform's code: code is the errno name, errno the errno value (on Windows
// the one Node gives that name) and winerror the Windows code.
function failure(code, operation, port) {
  const name = errorName(code);
  const what = port === undefined ? operation : operation + ' ' + port;
  const error = new Error(what + ': ' + name + (native.WINDOWS ? ' (Windows error ' + code + ')'
                                                               : ' (errno ' + code + ')'));
  error.code = name;
  if (native.WINDOWS) {
    error.winerror = code;
    if (name in os.constants.errno)
      error.errno = os.constants.errno[name];
  } else {
    error.errno = code;
  }
  error.syscall = operation;
  if (port !== undefined)
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

// Calls run one at a time, in order, so that which object owns the library's one port stays
// in step with the library.
let queue = Promise.resolve();
function serial(task) {
  const run = queue.then(task);
  queue = run.catch(() => {});
  return run;
}

let current = null;

/** The library's version text, e.g. "Ver1.2 2011/8/1". */
function version() {
  return serial(async () => {
    const buffer = native.versionBuffer();
    const { result, code } = await native.call('GetDllVersion', buffer);
    if (result === 0)
      throw failure(code, 'version');
    return cString(buffer);
  });
}

/** The connected USB printers as "description#serial" texts, in the library's order. */
function usbPrinters() {
  return serial(async () => {
    const buffer = native.listingBuffer();
    const printers = [];
    let { result, code } = await native.call('FindFirstUSB', buffer);
    while (result !== 0) {
      printers.push(cString(buffer));
      ({ result, code } = await native.call('FindNextUSB', buffer));
    }
    if (code !== E_NO_MORE_ITEMS)
      throw failure(code, 'list USB printers');
    return printers;
  });
}

/**
 * Opens a port: "COM1".."COM256", "LPT1" or "LPT2", a port number "0"-"9" (0 LPT1, 1-4
 * COM1-COM4, 5 LPT2, 6 the first USB printer, 7-9 COM7-COM9), a USB printer's listing text
 * "description#serial" or its serial, a network printer's "tcp://HOST[:PORT]", or on Linux a
 * /dev/ path; any other text goes to the library unchanged. Resolves to a NorvatPort.
 */
async function open(port) {
  const name = cText(port, 'port');
  if (name.length === 1)
    throw rangeError('port must not be empty');
  const text = name.toString('latin1', 0, name.length - 1);
  return serial(async () => {
    let opened;
    if (text === 'LPT1')
      opened = await native.call('openport', Buffer.from('0\0'));
    else if (text === 'LPT2')
      opened = await native.call('openport', Buffer.from('5\0'));
    else if (text.length === 1 && text >= '0' && text <= '9')
      opened = await native.call('openport', name);
    else
      opened = await native.call('OpenUSB', name);
    if (opened.result !== 1) {
      // Only "no such USB printer" leaves the previous port open.
      if (opened.code !== E_NOT_CONNECTED)
        current = null;
      throw failure(opened.code, 'open', port);
    }
    current = new NorvatPort(port);
    return current;
  });
}

class NorvatPort {
  constructor(name) {
    this.name = name;
    this._baudRate = DEFAULT_BAUD_RATE;
  }

  /** Whether the library's port is still this one. */
  get isOpen() {
    return current === this;
  }

  /**
   * The line speed last set through this object, or 9600, what every open sets a serial
   * port to. LPT and USB ports have no line speed; setBaudRate fails for them.
   */
  get baudRate() {
    return this._baudRate;
  }

  _check(operation) {
    if (current !== this)
      throw failure(E_NO_PORT, operation, this.name);
  }

  /**
   * Writes raw bytes with one write; resolves to how many went out. Fewer than data.length
   * when the device stopped taking bytes (given up after about 20 s): those that went out must
   * not be sent again. Rejects when none went out.
   */
  async write(data) {
    if (!(data instanceof Uint8Array))
      throw typeError('data must be a Buffer or a Uint8Array, not ' + typeof data);
    // A real buffer even for nothing: the library answers 1 for an empty write.
    const bytes = data.length === 0 ? Buffer.alloc(1) : Buffer.from(data);
    return serial(async () => {
      this._check('write');
      const { result, code } = await native.call('sendbuf', bytes, data.length);
      if (result === 0)
        throw failure(code, 'write', this.name);
      return data.length === 0 ? 0 : result;
    });
  }

  /** Sends text followed by CR LF. Rejects unless all of it went out. */
  async command(text) {
    const bytes = cText(text, 'text');
    return serial(async () => {
      this._check('command');
      const { result, code } = await native.call('sendcommand', bytes);
      if (result !== 1)
        throw failure(code, 'command', this.name);
    });
  }

  /**
   * What the device sent, at most maxBytes (and at most MAX_READ), waiting about 450 ms at
   * most; an empty Buffer when nothing arrived.
   */
  async read(maxBytes = 4096) {
    if (!Number.isInteger(maxBytes))
      throw typeError('maxBytes must be an integer');
    if (maxBytes < 0)
      throw rangeError('maxBytes must be 0 or more, not ' + maxBytes);
    const count = Math.min(maxBytes, MAX_READ);
    const buffer = Buffer.alloc(count + 1); // the library puts a NUL after the bytes
    return serial(async () => {
      this._check('read');
      const { result, code } = await native.call('RcvBuf', buffer, count);
      if (result === 0) {
        // Nothing within the window is no data, not a failure; so is asking for 0.
        if (code === E_TIMEOUT || (count === 0 && code === 0))
          return Buffer.alloc(0);
        throw failure(code, 'read', this.name);
      }
      return buffer.subarray(0, result);
    });
  }

  /** Sets the line speed of a serial port in bit/s; rejects for LPT and USB ports. */
  async setBaudRate(rate) {
    if (!Number.isInteger(rate))
      throw typeError('rate must be an integer');
    if (rate <= 0 || rate > 0x7fffffff)
      throw rangeError('rate must be above 0, not ' + rate);
    return serial(async () => {
      this._check('set baud rate');
      const { result, code } = await native.call('setbaudrate', rate);
      if (result === 0)
        throw failure(code, 'set baud rate', this.name);
      this._baudRate = rate;
    });
  }

  /** Closes the port if it is still this one. Harmless when repeated. */
  close() {
    return serial(async () => {
      if (current !== this)
        return;
      await native.call('closeport');
      current = null;
    });
  }
}

module.exports = {
  open, usbPrinters, version, NorvatPort, MAX_READ, DEFAULT_BAUD_RATE,
  LISTING_BUFFER_SIZE: native.LISTING_BUFFER_SIZE, VERSION_BUFFER_SIZE: native.VERSION_BUFFER_SIZE,
  E_INVALID_ARGUMENT, E_NO_MORE_ITEMS, E_NO_PORT, E_NOT_CONNECTED, E_TIMEOUT,
};
