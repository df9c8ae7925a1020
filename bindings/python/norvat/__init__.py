"""Norvat for Python: the port library for printer-class devices (COM, LPT, USB printers).

    import norvat
    print(norvat.usb_printers())          # ["Label printer#LBL0042", ...]
    with norvat.open("COM1") as port:
        port.command("~HS")
        print(port.read())

Failures raise OSError carrying the platform's code (errno on Linux, winerror on Windows), so
the usual subclasses apply: FileNotFoundError for a port that does not exist, and so on. Bad
arguments raise TypeError (a wrong type) or ValueError (an empty name, a NUL inside a text, a
negative count, a rate of 0 or below), as the standard library does.
The library holds one port per process: opening a port closes the one another Port had.
"""
import ctypes
import sys
import threading

from . import _native
from ._native import (E_INVALID_ARGUMENT, E_NO_MORE_ITEMS, E_NO_PORT, E_NOT_CONNECTED,
                      E_TIMEOUT, LISTING_BUFFER_SIZE, VERSION_BUFFER_SIZE)

__all__ = ["open", "usb_printers", "version", "Port", "MAX_READ", "DEFAULT_BAUD_RATE",
           "E_INVALID_ARGUMENT", "E_NO_MORE_ITEMS", "E_NO_PORT", "E_NOT_CONNECTED", "E_TIMEOUT",
           "LISTING_BUFFER_SIZE", "VERSION_BUFFER_SIZE"]
__version__ = "1.3"

# The most one read asks for: its buffer is allocated per call, and a read never returns more
# than the device sent within about 450 ms.
MAX_READ = 65536
# What every open sets a serial port to.
DEFAULT_BAUD_RATE = 9600

# Which Port the library's one port belongs to, kept in step with the library across threads.
# The library serialises calls itself; this lock also keeps a listing walk in one piece.
_lock = threading.RLock()
_current = None

# Texts are 8-bit: the ANSI code page on Windows, the file system's encoding elsewhere (with
# surrogateescape, so any listing text read comes back byte for byte when passed to open).
if _native.WINDOWS:
    _ENCODING, _ERRORS = "mbcs", "strict"
else:
    _ENCODING, _ERRORS = sys.getfilesystemencoding(), "surrogateescape"


def _encode(text, what):
    """The text as the library's 8-bit bytes; a NUL inside would cut it short."""
    if isinstance(text, str):
        text = text.encode(_ENCODING, _ERRORS)
    elif not isinstance(text, bytes):
        raise TypeError("%s must be str or bytes, not %s" % (what, type(text).__name__))
    if b"\0" in text:
        raise ValueError("embedded null byte in " + what)
    return text


def _count(value, what):
    """An int argument (bool excluded, as it is an int only by accident)."""
    if not isinstance(value, int) or isinstance(value, bool):
        raise TypeError("%s must be int, not %s" % (what, type(value).__name__))
    return value


def _decode(raw):
    return raw.decode(_ENCODING, _ERRORS)


def _lib():
    return _native.load()


def version():
    """The library's version text, e.g. "Ver1.2 2011/8/1"."""
    buffer = _native.version_buffer()
    if _lib().GetDllVersion(buffer) == 0:
        raise _native.error(_native.last_error())
    return _decode(buffer.value)


def usb_printers():
    """The connected USB printers as "description#serial" texts, in the library's order."""
    lib = _lib()
    buffer = _native.listing_buffer()
    printers = []
    with _lock:
        found = lib.FindFirstUSB(buffer)
        while found:
            printers.append(_decode(buffer.value))
            found = lib.FindNextUSB(buffer)
        code = _native.last_error()
    if code != E_NO_MORE_ITEMS:
        raise _native.error(code)
    return printers


def open(port):  # noqa: A001 - norvat.open, as the module is used
    """Opens a port and returns a Port (a context manager that closes it).

    port: "COM1".."COM256", "LPT1" or "LPT2", a port number "0"-"9" (0 LPT1, 1-4 COM1-COM4,
    5 LPT2, 6 the first USB printer, 7-9 COM7-COM9), a USB printer's listing text
    "description#serial" or its serial, a network printer's "tcp://HOST[:PORT]", or on Linux a
    /dev/ path. str or bytes.
    """
    global _current
    name = _encode(port, "port")
    if not name:
        raise ValueError("port must not be empty")
    lib = _lib()
    with _lock:
        if name == b"LPT1":
            opened = lib.openport(b"0")
        elif name == b"LPT2":
            opened = lib.openport(b"5")
        elif len(name) == 1 and name.isdigit():
            opened = lib.openport(name)
        else:
            opened = lib.OpenUSB(name)
        code = _native.last_error()
        if opened != 1:
            # Only "no such USB printer" leaves the previous port open.
            if code != E_NOT_CONNECTED:
                _current = None
            raise _native.error(code, port)
        _current = Port(port)
        return _current


class Port:
    """The port the library has open. Use norvat.open() to get one."""

    def __init__(self, name):
        self.name = name
        self._baud_rate = DEFAULT_BAUD_RATE

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __repr__(self):
        return "<norvat.Port %r%s>" % (self.name, "" if self.is_open else " closed")

    @property
    def is_open(self):
        """Whether the library's port is still this one."""
        with _lock:
            return _current is self

    def _check(self):
        if _current is not self:
            raise _native.error(E_NO_PORT, self.name)

    def write(self, data):
        """Writes raw bytes with one write; returns how many went out. Fewer than len(data)
        when the device stopped taking bytes (given up after about 20 s): those that went out
        must not be sent again. Raises when none went out."""
        data = memoryview(data).tobytes()  # bytes-like only: bytes(5) would be five NULs
        with _lock:
            self._check()
            if not data:
                # The library answers 1 for an empty write; it still checks the port.
                if _lib().sendbuf(b"", 0) == 0:
                    raise _native.error(_native.last_error(), self.name)
                return 0
            written = _lib().sendbuf(data, len(data))
            if written == 0:
                raise _native.error(_native.last_error(), self.name)
            return written

    def command(self, text):
        """Sends text followed by CR LF. Raises unless all of it went out."""
        text = _encode(text, "text")
        with _lock:
            self._check()
            if _lib().sendcommand(text) != 1:
                raise _native.error(_native.last_error(), self.name)

    def read(self, max_bytes=4096):
        """What the device sent, at most max_bytes (and at most MAX_READ), waiting about 450 ms
        at most; b"" when nothing arrived."""
        if _count(max_bytes, "max_bytes") < 0:
            raise ValueError("max_bytes must be 0 or more, not %d" % max_bytes)
        count = min(max_bytes, MAX_READ)
        buffer = ctypes.create_string_buffer(count + 1)  # the library puts a NUL after the bytes
        with _lock:
            self._check()
            n = _lib().RcvBuf(buffer, count)
            if n == 0:
                code = _native.last_error()
                # Nothing within the window is no data, not a failure; so is asking for 0.
                if code == E_TIMEOUT or (count == 0 and code == 0):
                    return b""
                raise _native.error(code, self.name)
            return buffer.raw[:n]

    def _get_baud_rate(self):
        return self._baud_rate

    def _set_baud_rate(self, rate):
        if _count(rate, "baud_rate") <= 0 or rate > 0x7FFFFFFF:
            raise ValueError("baud_rate must be above 0 and fit an int, not %d" % rate)
        with _lock:
            self._check()
            if _lib().setbaudrate(rate) == 0:
                raise _native.error(_native.last_error(), self.name)
            self._baud_rate = rate

    baud_rate = property(_get_baud_rate, _set_baud_rate, doc="The line speed of a serial port in "
                         "bit/s: the last set, or 9600, what every open sets a serial port to. "
                         "Setting it raises OSError for LPT and USB ports, which have none.")

    def close(self):
        """Closes the port if it is still this one's. Harmless when repeated."""
        global _current
        with _lock:
            if _current is self:
                _lib().closeport()
                _current = None
