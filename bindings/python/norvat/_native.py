"""The library's exports through ctypes, as norvat.h declares them.

cdecl on every platform (CDLL, never WinDLL), 8-bit texts (c_char_p), host-owned buffers
(POINTER(c_char), filled in place), handles as plain pointers (c_void_p), and the platform's code
a failed call left: GetLastError on Windows (use_last_error), errno on Linux (use_errno).
"""
import ctypes
import os
import sys
import threading
from ctypes import CDLL, POINTER, c_char, c_char_p, c_int, c_uint, c_void_p

WINDOWS = sys.platform == "win32"

# norvat.h: NORVAT_LISTING_BUFFER_SIZE and NORVAT_VERSION_BUFFER_SIZE.
LISTING_BUFFER_SIZE = 191
VERSION_BUFFER_SIZE = 16

# norvat.h: the results of the handle functions, the same on every platform.
ERR_ARGUMENT = -1
ERR_NOT_FOUND = -2
ERR_BUSY = -3
ERR_ACCESS = -4
ERR_TIMEOUT = -5
ERR_UNSUPPORTED = -6
ERR_GONE = -7
ERR_CANCELLED = -8
ERR_SYSTEM = -9
TIMEOUT_DEFAULT = -1

# norvat.h: NORVAT_FIELD_*, in the order of their numbers.
FIELDS = ("name", "kind", "description", "serial", "vendor_id", "product_id", "manufacturer",
          "model", "command_set", "device_id")

# norvat.h: NORVAT_STATE_* by the names the bindings give them, and the bits of
# NORVAT_STATE_NOT_READY, what "ready" means.
STATES = {
    "paper_out": 0x0001, "offline": 0x0002, "error": 0x0004, "cover_open": 0x0008,
    "paper_low": 0x0010, "feed_button": 0x0020, "drawer_open": 0x0040, "cutter_error": 0x0080,
    "unrecoverable": 0x0100, "dsr": 0x0200, "cts": 0x0400, "dcd": 0x0800, "disconnected": 0x1000,
}
NOT_READY = ("paper_out", "offline", "error", "cover_open", "cutter_error", "unrecoverable",
             "disconnected")

# norvat.h, norvat_escpos_status: what each answer tells, in the order the requests go (DLE EOT
# 1, 2, 4, 3); after n answers, the bits of the first n are known.
ESCPOS_ANSWERS = (("offline", "drawer_open"), ("cover_open", "feed_button", "paper_out", "error"),
                  ("paper_low", "paper_out"), ("cutter_error", "unrecoverable", "error"))


def mask(names):
    """The NORVAT_STATE_* bits of names."""
    bits = 0
    for name in names:
        bits |= STATES[name]
    return bits


# Each export: (result, argument types). The ten exports of the default port come first; the
# package uses GetDllVersion and the listing of those, and the handle functions for ports.
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
    "norvat_open": (c_int, [c_char_p, POINTER(c_void_p)]),
    "norvat_close": (c_int, [c_void_p]),
    "norvat_write": (c_int, [c_void_p, c_char_p, c_int, c_int]),
    "norvat_read": (c_int, [c_void_p, POINTER(c_char), c_int, c_int]),
    "norvat_set_baud_rate": (c_int, [c_void_p, c_int]),
    "norvat_cancel": (c_int, [c_void_p]),
    "norvat_list_ports": (c_int, [POINTER(c_void_p)]),
    "norvat_port_list_get": (c_char_p, [c_void_p, c_int, c_int]),
    "norvat_free_port_list": (None, [c_void_p]),
    "norvat_status": (c_int, [c_void_p, POINTER(c_uint), POINTER(c_uint)]),
    "norvat_pending": (c_int, [c_void_p]),
    "norvat_discard_input": (c_int, [c_void_p]),
    "norvat_escpos_status": (c_int, [c_void_p, c_int, POINTER(c_uint)]),
    "norvat_error_text": (c_char_p, [c_int]),
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


def platform_code():
    """The platform's code the last call on this thread left."""
    return ctypes.get_last_error() if WINDOWS else ctypes.get_errno()


def platform_text(code):
    """The platform's text for its code; for the resolver's codes (negative on Linux), the
    resolver's own."""
    if WINDOWS:
        return ctypes.FormatError(code).strip()
    if code < 0:
        libc = ctypes.CDLL(None)
        libc.gai_strerror.restype = ctypes.c_char_p
        libc.gai_strerror.argtypes = [ctypes.c_int]
        return libc.gai_strerror(code).decode("ascii", "replace")
    return os.strerror(code)


def is_resolver_code(code):
    """Whether the code is the resolver's, for a network name it does not know: Linux's EAI_*
    (negative), Windows' WSAHOST_NOT_FOUND and its kin (11001-11004)."""
    return 11001 <= code <= 11004 if WINDOWS else code < 0


def listing_buffer():
    return ctypes.create_string_buffer(LISTING_BUFFER_SIZE)


def version_buffer():
    return ctypes.create_string_buffer(VERSION_BUFFER_SIZE)
