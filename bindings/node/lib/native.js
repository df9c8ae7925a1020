'use strict';
// The library's exports through koffi, as norvat.h declares them: cdecl (koffi's default, so no
// convention is named), 8-bit texts (const char *, handed over as NUL-terminated Buffers),
// handles as pointers to opaque records, host-owned buffers, and the platform's code a failed
// call left.
//
// A call that may wait for a device runs on one of koffi's worker threads (fn.async): it never
// stops the event loop, and calls on different ports run at the same time. errno and
// GetLastError are per thread: koffi keeps the ones the call left and puts them back while the
// call's own callback runs, so the code is read there, synchronously, and nowhere else.
const fs = require('fs');
const path = require('path');

const WINDOWS = process.platform === 'win32';

// norvat.h: NORVAT_LISTING_BUFFER_SIZE and NORVAT_VERSION_BUFFER_SIZE.
const LISTING_BUFFER_SIZE = 191;
const VERSION_BUFFER_SIZE = 16;

// norvat.h: the results of the handle functions, the same on every platform.
const ERR_ARGUMENT = -1;
const ERR_NOT_FOUND = -2;
const ERR_BUSY = -3;
const ERR_ACCESS = -4;
const ERR_TIMEOUT = -5;
const ERR_UNSUPPORTED = -6;
const ERR_GONE = -7;
const ERR_CANCELLED = -8;
const ERR_SYSTEM = -9;
const TIMEOUT_DEFAULT = -1;

// norvat.h: NORVAT_FIELD_*, in the order of their numbers, by the keys of a listing's records.
const FIELDS = ['name', 'kind', 'description', 'serial', 'vendorId', 'productId', 'manufacturer',
  'model', 'commandSet', 'deviceId'];

// norvat.h: NORVAT_STATE_* by the keys of a status record, and the bits of
// NORVAT_STATE_NOT_READY, what "ready" means.
const STATES = {
  paperOut: 0x0001, offline: 0x0002, error: 0x0004, coverOpen: 0x0008, paperLow: 0x0010,
  feedButton: 0x0020, drawerOpen: 0x0040, cutterError: 0x0080, unrecoverable: 0x0100,
  dsr: 0x0200, cts: 0x0400, dcd: 0x0800, disconnected: 0x1000,
};
const NOT_READY = ['paperOut', 'offline', 'error', 'coverOpen', 'cutterError', 'unrecoverable',
  'disconnected'];

// norvat.h, norvat_escpos_status: what each answer tells, in the order the requests go (DLE EOT
// 1, 2, 4, 3); after n answers, the bits of the first n are known.
const ESCPOS_ANSWERS = [['offline', 'drawerOpen'], ['coverOpen', 'feedButton', 'paperOut', 'error'],
  ['paperLow', 'paperOut'], ['cutterError', 'unrecoverable', 'error']];

/** The NORVAT_STATE_* bits of names. */
function mask(names) {
  return names.reduce((bits, name) => bits | STATES[name], 0);
}

// The records the handles and listings point to, which only the library looks into.
const OPAQUE = ['norvat_port', 'norvat_port_list'];

// The ten exports of the default port first; the package uses GetDllVersion and the listing of
// those, and the handle functions for ports.
const PROTOTYPES = [
  'int openport(const char *selector)',
  'int OpenUSB(const char *request)',
  'int FindFirstUSB(char *buffer)',
  'int FindNextUSB(char *buffer)',
  'int closeport()',
  'int setbaudrate(int rate)',
  'int sendbuf(const char *data, int count)',
  'int sendcommand(const char *text)',
  'int RcvBuf(char *buffer, int count)',
  'int GetDllVersion(char *buffer)',
  'int norvat_open(const char *name, _Out_ norvat_port **port)',
  'int norvat_close(norvat_port *port)',
  'int norvat_write(norvat_port *port, const void *data, int count, int timeout_ms)',
  'int norvat_read(norvat_port *port, void *buffer, int size, int timeout_ms)',
  'int norvat_set_baud_rate(norvat_port *port, int rate)',
  'int norvat_cancel(norvat_port *port)',
  'int norvat_list_ports(_Out_ norvat_port_list **list)',
  'const char *norvat_port_list_get(const norvat_port_list *list, int index, int field)',
  'void norvat_free_port_list(norvat_port_list *list)',
  'int norvat_status(norvat_port *port, _Out_ unsigned int *state, _Out_ unsigned int *known)',
  'int norvat_pending(norvat_port *port)',
  'int norvat_discard_input(norvat_port *port)',
  'int norvat_escpos_status(norvat_port *port, int timeout_ms, _Out_ unsigned int *state)',
  'const char *norvat_error_text(int result)',
];

// The package carries one library per platform it supports, in prebuilds/<platform>-<arch>/;
// without one for this process, the platform's own search (an installed libnorvat1, say).
const LIBRARY_NAME = WINDOWS ? 'Norvat.dll' : 'libNorvat.so.1';
const PREBUILDS = path.join(__dirname, '..', 'prebuilds');

function libraryPath() {
  const beside = path.join(PREBUILDS, process.platform + '-' + process.arch, LIBRARY_NAME);
  return fs.existsSync(beside) ? beside : LIBRARY_NAME;
}

let functions = null;
let lastError = null;

function load() {
  if (functions)
    return functions;
  const koffi = require('koffi');
  const where = libraryPath();
  let lib;
  try {
    lib = koffi.load(where);
  } catch (cause) {
    const error = new Error('Norvat library not found for ' + process.platform + '-' +
                            process.arch + ': ' + where + ' (' + cause.message + ')');
    error.code = 'ERR_DLOPEN_FAILED';
    throw error;
  }
  for (const name of OPAQUE) {
    try {
      koffi.opaque(name);
    } catch {
      // declared already: koffi's types are one set per process
    }
  }
  const loaded = {};
  for (const prototype of PROTOTYPES) {
    const fn = lib.func(prototype);
    loaded[fn.info.name] = fn;
  }
  if (WINDOWS) {
    const GetLastError = koffi.load('kernel32.dll').func('uint32_t __stdcall GetLastError()');
    lastError = () => GetLastError();
  } else {
    lastError = () => koffi.errno();
  }
  functions = loaded;
  return functions;
}

// call(name, ...args): a Promise of { result, code }, code being the platform's code the call
// left; the call runs on a worker thread.
function call(name, ...args) {
  const fn = load()[name];
  return new Promise((resolve, reject) => {
    fn.async(...args, (err, result) => {
      if (err)
        reject(err);
      else
        resolve({ result, code: lastError() });
    });
  });
}

// callNow(name, ...args): { result, code } of a call that waits for nothing (a cancel, a field
// of a listing), made on this thread.
function callNow(name, ...args) {
  const result = load()[name](...args);
  return { result, code: lastError() };
}

function listingBuffer() {
  return Buffer.alloc(LISTING_BUFFER_SIZE);
}

function versionBuffer() {
  return Buffer.alloc(VERSION_BUFFER_SIZE);
}

module.exports = {
  WINDOWS, LISTING_BUFFER_SIZE, VERSION_BUFFER_SIZE, PROTOTYPES, LIBRARY_NAME, ERR_ARGUMENT,
  ERR_NOT_FOUND, ERR_BUSY, ERR_ACCESS, ERR_TIMEOUT, ERR_UNSUPPORTED, ERR_GONE, ERR_CANCELLED,
  ERR_SYSTEM, TIMEOUT_DEFAULT, FIELDS, STATES, NOT_READY, ESCPOS_ANSWERS, mask, libraryPath,
  load, call, callNow, listingBuffer, versionBuffer,
};
