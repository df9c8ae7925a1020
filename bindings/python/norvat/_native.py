"""The library's exports through ctypes, as norvat.h declares them.

cdecl on every platform (CDLL, never WinDLL), 8-bit texts (c_char_p), host-owned buffers
(POINTER(c_char), filled in place), and the reason of a 0 result in the platform's error:
GetLastError on Windows (use_last_error), errno on Linux (use_errno).
"""
import ctypes
import os
import socket
import sys
import threading
from ctypes import CDLL, POINTER, c_char, c_char_p, c_int

WINDOWS = sys.platform == "win32"

# norvat.h: NORVAT_LISTING_BUFFER_SIZE and NORVAT_VERSION_BUFFER_SIZE.
LISTING_BUFFER_SIZE = 191
VERSION_BUFFER_SIZE = 16


def _pick(windows, linux):
    return windows if WINDOWS else linux


# norvat.h's NORVAT_E_*: the Windows code or the Linux errno, for this platform.
E_INVALID_ARGUMENT = _pick(87, 22)
E_NO_PORT = _pick(6, 9)
E_NOT_CONNECTED = _pick(1167, 19)
E_NO_MORE_ITEMS = _pick(259, 2)
E_TIMEOUT = _pick(1460, 110)

# Each export: (result, argument types).
PROTOTYPES = {
    "openport": (c_int, [c_char_p]),
    "OpenUSB": (c_int, [c_char_p]),
    "FindFirstUSB": (c_int, [POINTER(c_char)]),
    "FindNextUSB": (c_int, [POINTER(c_char)]),
    "closeport": (c_int, []),
    "setbaudrate": (c_int, [c_int]),
    "sendbuf": (c_int, [c_char_p, c_int]),
    "sendcommand": (c_int, [c_char_p]),
    "RcvBuf": (c_int, [POINTER(c_char), c_int]),
    "GetDllVersion": (c_int, [POINTER(c_char)]),
}

LIBRARY_NAMES = ["Norvat.dll"] if WINDOWS else ["libNorvat.so", "libNorvat.so.1"]

_loaded = None
_load_lock = threading.Lock()


def _open(path):
    if WINDOWS:
        return CDLL(path, use_last_error=True)
    return CDLL(path, use_errno=True)


def _declare(lib):
    for name, (result, arguments) in PROTOTYPES.items():
        function = getattr(lib, name)
        function.restype = result
        function.argtypes = arguments
    return lib


def load():
    """The library: the copy beside this package first, then the platform's own search."""
    global _loaded
    with _load_lock:
        if _loaded is not None:
            return _loaded
        here = os.path.dirname(os.path.abspath(__file__))
        tried = []
        for name in LIBRARY_NAMES:
            path = os.path.join(here, name)
            if os.path.exists(path):
                _loaded = _declare(_open(path))
                return _loaded
            tried.append(path)
        for name in LIBRARY_NAMES:
            try:
                _loaded = _declare(_open(name))
                return _loaded
            except OSError as error:
                tried.append("%s (%s)" % (name, error))
        raise OSError("Norvat library not found; tried: " + "; ".join(tried))


def last_error():
    """The reason the last call on this thread left."""
    return ctypes.get_last_error() if WINDOWS else ctypes.get_errno()


def error(code, what=None):
    """An OSError for the platform's code: errno on Linux, winerror (and the errno Python
    derives from it) on Windows, so FileNotFoundError, TimeoutError etc. come out as usual.
    The library's refusal of an argument (a serial name over 15 characters) is a ValueError."""
    if code == E_INVALID_ARGUMENT:
        return ValueError("the library refused an argument%s" % ("" if what is None else ": %r" % (what,)))
    # A network printer's name the resolver does not know: socket.gaierror, as Python's own
    # socket module raises, with the resolver's code (EAI_*, negative, on Linux; 11001-11004,
    # WSAHOST_NOT_FOUND and its kin, on Windows).
    if (WINDOWS and 11001 <= code <= 11004) or (not WINDOWS and code < 0):
        return socket.gaierror(code, _resolver_text(code))
    if WINDOWS:
        return OSError(0, ctypes.FormatError(code).strip(), what, code)
    return OSError(code, os.strerror(code), what)


def _resolver_text(code):
    if WINDOWS:
        return ctypes.FormatError(code).strip()
    libc = ctypes.CDLL(None)
    libc.gai_strerror.restype = ctypes.c_char_p
    libc.gai_strerror.argtypes = [ctypes.c_int]
    return libc.gai_strerror(code).decode("ascii", "replace")


def listing_buffer():
    return ctypes.create_string_buffer(LISTING_BUFFER_SIZE)


def version_buffer():
    return ctypes.create_string_buffer(VERSION_BUFFER_SIZE)
