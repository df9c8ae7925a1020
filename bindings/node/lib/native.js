'use strict';
// The library's exports through koffi, as norvat.h declares them: cdecl (koffi's default, so no
// convention is named), 8-bit texts (const char *, handed over as NUL-terminated Buffers),
// host-owned output buffers of the header's sizes, and the reason of a 0 result.
//
// Every call runs on one of koffi's worker threads (fn.async), so a write the device does not
// take (about 20 s) never stops the event loop. errno and GetLastError are per thread: koffi
// keeps the ones the call left and puts them back while the call's own callback runs, so the
// reason is read there, synchronously, and nowhere else.
const fs = require('fs');
const path = require('path');

const WINDOWS = process.platform === 'win32';

// norvat.h: NORVAT_LISTING_BUFFER_SIZE and NORVAT_VERSION_BUFFER_SIZE.
const LISTING_BUFFER_SIZE = 191;
const VERSION_BUFFER_SIZE = 16;

function pick(windows, linux) {
  return WINDOWS ? windows : linux;
}

// norvat.h's NORVAT_E_*: the Windows code or the Linux errno, for this platform.
const E_INVALID_ARGUMENT = pick(87, 22);
const E_NO_PORT = pick(6, 9);
const E_NOT_CONNECTED = pick(1167, 19);
const E_NO_MORE_ITEMS = pick(259, 2);
const E_TIMEOUT = pick(1460, 110);

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

// call(name, ...args): a Promise of { result, code }, code being the reason the call left.
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

function listingBuffer() {
  return Buffer.alloc(LISTING_BUFFER_SIZE);
}

function versionBuffer() {
  return Buffer.alloc(VERSION_BUFFER_SIZE);
}

module.exports = {
  WINDOWS, LISTING_BUFFER_SIZE, VERSION_BUFFER_SIZE, PROTOTYPES, LIBRARY_NAME,
  E_INVALID_ARGUMENT, E_NO_PORT, E_NOT_CONNECTED, E_NO_MORE_ITEMS, E_TIMEOUT,
  libraryPath, load, call, listingBuffer, versionBuffer,
};
