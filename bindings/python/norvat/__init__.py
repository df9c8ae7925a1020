"""Norvat for Python: ports of printer-class devices (serial, parallel, USB and network printers).

    import norvat
    for info in norvat.ports():
        print(info.name, info.kind, info.description)
    with norvat.open("tcp://192.168.1.50") as receipt, norvat.open("COM1") as kitchen:
        receipt.write(b"\\x1b@Receipt\\n")
        kitchen.write(b"Table 4\\r\\n", timeout=2.0)
        if not receipt.status().ready:
            ...

Each Port owns a port of its own (norvat_open ... norvat_close): any number may be open at once,
from any threads, and none waits for another. include/norvat.h is the manual: what each name
opens, how long each call may take and what its results mean.

Failures raise the exception Python has for them, carrying the portable result (.result, one of
the ERR_* below) and the platform's code (.errno on Linux, .winerror on Windows): ValueError for
an argument the library refused, FileNotFoundError for no such port or printer (socket.gaierror
for a network name the resolver does not know), Busy, PermissionError, TimeoutError,
io.UnsupportedOperation, Gone, Cancelled, and OSError for anything else. Wrong types raise
TypeError, as the standard library does.
"""
import contextlib
import ctypes
import io
import math
import socket
import sys
import threading
from dataclasses import dataclass
from typing import Optional

from . import _native
from ._native import (ERR_ACCESS, ERR_ARGUMENT, ERR_BUSY, ERR_CANCELLED, ERR_GONE, ERR_NOT_FOUND,
                      ERR_SYSTEM, ERR_TIMEOUT, ERR_UNSUPPORTED, ESCPOS_ANSWERS, FIELDS, NOT_READY,
                      STATES, TIMEOUT_DEFAULT)

__all__ = ["open", "ports", "usb_printers", "version", "Port", "PortInfo", "Status", "Busy", "Gone",
           "Cancelled", "MAX_READ", "DEFAULT_BAUD_RATE", "ERR_ARGUMENT", "ERR_NOT_FOUND", "ERR_BUSY",
           "ERR_ACCESS", "ERR_TIMEOUT", "ERR_UNSUPPORTED", "ERR_GONE", "ERR_CANCELLED",
           "ERR_SYSTEM"]
__version__ = "1.3"

# The most one read asks for: its buffer is allocated per call.
MAX_READ = 65536
# What every open sets a serial port to.
DEFAULT_BAUD_RATE = 9600
# The longest timeout the library takes: an int of milliseconds.
_MAX_MS = 0x7FFFFFFF

# Texts are 8-bit: the ANSI code page on Windows, the file system's encoding elsewhere (with
# surrogateescape, so any listed name comes back byte for byte when passed to open).
if _native.WINDOWS:
    _ENCODING, _ERRORS = "mbcs", "strict"
else:
    _ENCODING, _ERRORS = sys.getfilesystemencoding(), "surrogateescape"


class Busy(OSError):
    """The device is already open, in this process or in another program (NORVAT_ERR_BUSY)."""


class Gone(ConnectionError):
    """The device went away or its connection ended (NORVAT_ERR_GONE). A USB or network
    printer's Port opens it again by itself once it is back."""


class Cancelled(OSError):
    """cancel() or close() ended the call (NORVAT_ERR_CANCELLED)."""


# The exception for each portable result; NORVAT_ERR_SYSTEM and results this version does not
# know become OSError, which picks its subclass from the platform's code.
_EXCEPTIONS = {
    ERR_NOT_FOUND: FileNotFoundError,
    ERR_BUSY: Busy,
    ERR_ACCESS: PermissionError,
    ERR_TIMEOUT: TimeoutError,
    ERR_UNSUPPORTED: io.UnsupportedOperation,
    ERR_GONE: Gone,
    ERR_CANCELLED: Cancelled,
}


def _lib():
    return _native.load()


def _error(result, code, what=None):
    """The exception for a failed call: its portable result and the platform's code it left
    (read right after the call: any later call of the library may change it)."""
    text = _lib().norvat_error_text(result).decode("ascii")
    if _native.is_resolver_code(code):
        # As Python's own socket module says it of a name the resolver does not know.
        error = socket.gaierror(code, _native.platform_text(code))
    elif result == ERR_ARGUMENT:
        error = ValueError(text if what is None else "%s: %r" % (text, what))
    else:
        kind = _EXCEPTIONS.get(result, OSError)
        message = "%s (%s)" % (text, _native.platform_text(code)) if code else text
        if _native.WINDOWS:
            error = kind(0, message, what, code)  # Python derives errno from winerror
        else:
            error = kind(code, message, what)
    if isinstance(error, ValueError):
        setattr(error, "winerror" if _native.WINDOWS else "errno", code)
    error.result = result
    return error


def _encode(text, what):
    """The text as the library's 8-bit bytes; a NUL inside would cut it short."""
    if isinstance(text, str):
        text = text.encode(_ENCODING, _ERRORS)
    elif not isinstance(text, bytes):
        raise TypeError("%s must be str or bytes, not %s" % (what, type(text).__name__))
    if b"\0" in text:
        raise ValueError("embedded null byte in " + what)
    return text


def _decode(raw):
    return raw.decode(_ENCODING, _ERRORS)


def _int(value, what):
    """An int argument (bool excluded, as it is an int only by accident)."""
    if not isinstance(value, int) or isinstance(value, bool):
        raise TypeError("%s must be int, not %s" % (what, type(value).__name__))
    return value


def _ms(timeout):
    """A timeout in seconds as the library's milliseconds; None for the library's own bounds."""
    if timeout is None:
        return TIMEOUT_DEFAULT
    if isinstance(timeout, bool) or not isinstance(timeout, (int, float)):
        raise TypeError("timeout must be a number of seconds or None, not %s"
                        % type(timeout).__name__)
    if not timeout >= 0:  # NaN too
        raise ValueError("timeout must be 0 or more seconds, not %r" % timeout)
    return min(math.ceil(timeout * 1000), _MAX_MS)


@dataclass(frozen=True)
class PortInfo:
    """One port of the listing (norvat_list_ports); "" for what is not known of it."""
    name: str  # what open() takes
    kind: str  # "serial", "parallel" or "usb"
    description: str
    serial: str
    vendor_id: str  # four lower-case hex digits, "04b8"
    product_id: str
    manufacturer: str  # from the printer's IEEE 1284 device ID
    model: str
    command_set: str
    device_id: str


@dataclass(frozen=True)
class Status:
    """A port's state. Each flag is True or False when the port reports it, None when this kind
    of port cannot say. ready: no flag says the printer cannot print now (NORVAT_STATE_NOT_READY).
    answered: for escpos_status, how many of its four requests the printer answered."""
    paper_out: Optional[bool]
    offline: Optional[bool]
    error: Optional[bool]
    cover_open: Optional[bool]
    paper_low: Optional[bool]
    feed_button: Optional[bool]
    drawer_open: Optional[bool]
    cutter_error: Optional[bool]
    unrecoverable: Optional[bool]
    dsr: Optional[bool]
    cts: Optional[bool]
    dcd: Optional[bool]
    disconnected: Optional[bool]
    ready: bool
    answered: Optional[int] = None


def _status(state, known, answered=None):
    flags = {name: bool(state & bit) if known & bit else None for name, bit in STATES.items()}
    return Status(ready=not state & _native.mask(NOT_READY), answered=answered, **flags)


def version():
    """The library's version text, "Ver1.2 2011/8/1" (GetDllVersion)."""
    buffer = _native.version_buffer()
    _lib().GetDllVersion(buffer)
    return _decode(buffer.value)


def ports():
    """Every port that can be opened now, as PortInfo records (norvat_list_ports)."""
    lib = _lib()
    listing = ctypes.c_void_p()
    count = lib.norvat_list_ports(ctypes.byref(listing))
    if count < 0:
        raise _error(count, _native.platform_code())
    try:
        return [PortInfo(**{field: _decode(lib.norvat_port_list_get(listing, index, number) or b"")
                            for number, field in enumerate(FIELDS)})
                for index in range(count)]
    finally:
        lib.norvat_free_port_list(listing)


_listing_lock = threading.Lock()


def usb_printers():
    """The USB printers the ten exports of norvat.h list, as "description#serial" texts
    (FindFirstUSB, FindNextUSB): only the makers those open. ports() lists every printer."""
    lib = _lib()
    buffer = _native.listing_buffer()
    printers = []
    # The library's cursor is one per process: a walk is kept in one piece.
    with _listing_lock:
        found = lib.FindFirstUSB(buffer)
        while found:
            printers.append(_decode(buffer.value))
            found = lib.FindNextUSB(buffer)
    return printers


def open(name):  # noqa: A001 - norvat.open, as the module is used
    """Opens a port and returns a Port, a context manager that closes it (norvat_open).

    name: str or bytes, any name norvat.h's norvat_open takes: "COM1", "LPT1",
    "tcp://HOST[:PORT]", on Linux a /dev/ path, a USB printer's listed name, its serial or
    "description#serial". A failed open changes no other Port.
    """
    raw = _encode(name, "name")
    if not raw:
        raise ValueError("name must not be empty")
    handle = ctypes.c_void_p()
    result = _lib().norvat_open(raw, ctypes.byref(handle))
    code = _native.platform_code()
    if result != 0:
        raise _error(result, code, name)
    return Port(name, handle)


class Port:
    """An open port. Use norvat.open() to get one. Any thread may call anything on it: calls on
    one port run one after another, calls on different ports at the same time."""

    def __init__(self, name, handle):
        self.name = name
        self._handle = handle
        self._baud_rate = DEFAULT_BAUD_RATE
        # Calls that have the handle and may be inside the library: close() waits for them.
        self._calls = 0
        self._returned = threading.Condition()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        with contextlib.suppress(Exception):
            self.close()

    def __repr__(self):
        return "<norvat.Port %r%s>" % (self.name, "" if self.is_open else " closed")

    @property
    def is_open(self):
        return self._handle is not None

    @contextlib.contextmanager
    def _call(self):
        with self._returned:
            if self._handle is None:
                raise ValueError("I/O operation on closed port")
            self._calls += 1
            handle = self._handle
        try:
            yield handle
        finally:
            with self._returned:
                self._calls -= 1
                self._returned.notify_all()

    def _check(self, result, code):
        if result < 0:
            raise _error(result, code, self.name)
        return result

    def write(self, data, timeout=None):
        """Writes bytes (norvat_write) and returns how many went out: fewer than len(data) when
        the device stopped taking them in time (the rest never goes out; do not send again what
        did). timeout: seconds in all, None for the library's bounds. Raises when none went
        out."""
        data = memoryview(data).tobytes()  # bytes-like only: bytes(5) would be five NULs
        ms = _ms(timeout)
        with self._call() as handle:
            written = _lib().norvat_write(handle, data, len(data), ms)
            code = _native.platform_code()
        return self._check(written, code)

    def command(self, text, timeout=None):
        """Sends a command: text (8-bit, as the port's names are) and CR LF, as one write.
        Raises TimeoutError unless all of it went out."""
        line = _encode(text, "text") + b"\r\n"
        sent = self.write(line, timeout)
        if sent != len(line):
            raise TimeoutError("command: %d of %d bytes went out" % (sent, len(line)))

    def read(self, max_bytes=4096, timeout=None):
        """What the device sent, at most max_bytes (and at most MAX_READ) (norvat_read); b""
        when nothing came. timeout: the most seconds to wait for the first byte, None for the
        library's (about 0.45 s), 0 for what is waiting now."""
        if _int(max_bytes, "max_bytes") < 0:
            raise ValueError("max_bytes must be 0 or more, not %d" % max_bytes)
        size = min(max_bytes, MAX_READ)
        ms = _ms(timeout)
        buffer = ctypes.create_string_buffer(size)
        with self._call() as handle:
            count = _lib().norvat_read(handle, buffer, size, ms)
            code = _native.platform_code()
        return buffer.raw[:self._check(count, code)]

    def _get_baud_rate(self):
        return self._baud_rate

    def _set_baud_rate(self, rate):
        if _int(rate, "baud_rate") <= 0 or rate > _MAX_MS:
            raise ValueError("baud_rate must be above 0 and fit an int, not %d" % rate)
        with self._call() as handle:
            result = _lib().norvat_set_baud_rate(handle, rate)
            code = _native.platform_code()
        self._check(result, code)
        self._baud_rate = rate

    baud_rate = property(_get_baud_rate, _set_baud_rate, doc="A serial line's speed in bit/s: the "
                         "last set, or 9600, what every open sets a serial line to. Setting it "
                         "raises io.UnsupportedOperation for ports that are no serial line.")

    def status(self):
        """The port's own state as a Status, without a byte sent to the printer (norvat_status)."""
        state, known = ctypes.c_uint(), ctypes.c_uint()
        with self._call() as handle:
            result = _lib().norvat_status(handle, ctypes.byref(state), ctypes.byref(known))
            code = _native.platform_code()
        self._check(result, code)
        return _status(state.value, known.value)

    def escpos_status(self, timeout=None):
        """Asks an ESC/POS printer for its state (norvat_escpos_status): a Status with what its
        answers told (the flags of requests it did not answer are None) and their number in
        answered. timeout: seconds for the whole exchange, None for the library's (1 s).
        TimeoutError when the printer answered nothing."""
        ms = _ms(timeout)
        state = ctypes.c_uint()
        with self._call() as handle:
            answered = _lib().norvat_escpos_status(handle, ms, ctypes.byref(state))
            code = _native.platform_code()
        self._check(answered, code)
        told = [name for answer in ESCPOS_ANSWERS[:answered] for name in answer]
        return _status(state.value, _native.mask(told), answered)

    @property
    def pending(self):
        """The bytes written to a network printer that it has not acknowledged yet; 0 for other
        ports and where the platform cannot tell (norvat_pending)."""
        with self._call() as handle:
            count = _lib().norvat_pending(handle)
            code = _native.platform_code()
        return self._check(count, code)

    def discard_input(self):
        """Throws away what the device sent and nobody read; returns how many bytes that was
        (norvat_discard_input)."""
        with self._call() as handle:
            count = _lib().norvat_discard_input(handle)
            code = _native.platform_code()
        return self._check(count, code)

    def cancel(self):
        """Ends the call in flight on this port, from any thread (norvat_cancel): a write
        returns what went out, or raises Cancelled when nothing did. Does nothing on a closed
        port."""
        with contextlib.suppress(ValueError), self._call() as handle:
            _lib().norvat_cancel(handle)

    def close(self):
        """Closes the port (norvat_close); calls under way on other threads are cancelled first.
        Harmless when repeated."""
        with self._returned:
            handle, self._handle = self._handle, None
            if handle is None:
                return
            # A call that took the handle may not be inside the library yet, and one cancel
            # would miss it: cancel until every such call has come back, then close.
            while self._calls:
                _lib().norvat_cancel(handle)
                self._returned.wait(0.005)
        _lib().norvat_close(handle)
