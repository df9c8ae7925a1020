#!/usr/bin/env python3
"""bindings/check_bindings.py must pass the bindings as they are, and fail on each wrong copy
below: the mistakes a binding makes that only show on 32-bit Windows or in another language's
runtime, which cannot run here."""
import os
import shutil
import sys
import tempfile
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "bindings"))
import check_bindings  # noqa: E402

CS = ("bindings", "dotnet", "Norvat.cs")
PYN = ("bindings", "python", "norvat", "_native.py")
PYP = ("bindings", "python", "norvat", "__init__.py")
PAS = ("bindings", "pascal", "Norvat.pas")
NODE = ("bindings", "node", "lib", "native.js")
NODEI = ("bindings", "node", "index.js")
HDR = ("include", "norvat.h")
# Where the version has copies, and its home.
VER = ("interface", "version.h")
PYPROJECT = ("bindings", "python", "pyproject.toml")
PKG = ("bindings", "node", "package.json")
CSPROJ = ("bindings", "dotnet", "Norvat.csproj")
CHANGELOG = ("debian", "changelog")
FILES = (CS, PYN, PYP, PAS, NODE, NODEI, HDR, VER, PYPROJECT, PKG, CSPROJ, CHANGELOG)

# (file, text in it, replacement, words the checker's complaint must contain)
WRONG_COPIES = [
    # C#
    (CS, "CallingConvention.Cdecl, CharSet = CharSet.Ansi, SetLastError = true)]\n"
         "        public static extern int sendcommand",
     "CallingConvention.StdCall, CharSet = CharSet.Ansi, SetLastError = true)]\n"
     "        public static extern int sendcommand", "sendcommand: CallingConvention"),
    (CS, "CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi, SetLastError = true)]\n"
         "        public static extern int setbaudrate",
     "CharSet = CharSet.Ansi, SetLastError = true)]\n"
     "        public static extern int setbaudrate", "setbaudrate: CallingConvention"),
    (CS, "CharSet = CharSet.Ansi, SetLastError = true)]\n        public static extern int OpenUSB",
     "CharSet = CharSet.Unicode, SetLastError = true)]\n        public static extern int OpenUSB",
     "OpenUSB: CharSet"),
    (CS, "openport([MarshalAs(UnmanagedType.LPStr)] string selector)",
     "openport([MarshalAs(UnmanagedType.LPWStr)] string selector)", "openport: argument 1"),
    (CS, "SetLastError = true)]\n        public static extern int RcvBuf",
     "SetLastError = false)]\n        public static extern int RcvBuf", "RcvBuf: SetLastError"),
    (CS, "ListingBufferSize = 191;", "ListingBufferSize = 190;", "ListingBufferSize"),
    (CS, "byte[] buffer = new byte[NorvatNative.VersionBufferSize];",
     "byte[] buffer = new byte[15];", "GetDllVersion"),
    (CS, "public static extern IntPtr norvat_error_text(int result);",
     "public static extern string norvat_error_text(int result);", "norvat_error_text: returns string"),
    (CS, "norvat_open([MarshalAs(UnmanagedType.LPStr)] string name, out NorvatPortHandle port);",
     "norvat_open([MarshalAs(UnmanagedType.LPStr)] string name, NorvatPortHandle port);",
     "norvat_open: argument 2"),
    (CS, "norvat_status(NorvatPortHandle port, out uint state, out uint known);",
     "norvat_status(NorvatPortHandle port, out uint state);", "norvat_status: 2 arguments"),
    (CS, "norvat_read(NorvatPortHandle port, IntPtr buffer, int size, int timeoutMs);",
     "norvat_read(NorvatPortHandle port, [In] byte[] buffer, int size, int timeoutMs);",
     "norvat_read: argument 2 is a buffer the library fills"),
    (CS, "public static extern int FindNextUSB([Out] byte[] buffer);", "", "FindNextUSB"),
    (CS, "public static extern int sendbuf([In] byte[] data, int count);",
     "public static extern int sendbuf(int data, int count);", "sendbuf: argument 1"),
    (CS, "public static extern int FindFirstUSB([Out] byte[] buffer);",
     "public static extern int FindFirstUSB(string buffer);", "FindFirstUSB: argument 1"),
    (CS, "public static extern int RcvBuf([Out] byte[] buffer, int count);",
     "public static extern int RcvBuf([In] byte[] buffer, int count);", "RcvBuf: argument 1"),
    (CS, "extern int GetDllVersion(", "extern int GetDLLVersion(", "GetDllVersion is not declared"),
    (CS, "NotFound = -2,", "NotFound = -3,", "NORVAT_ERR_NOT_FOUND"),
    (CS, "Disconnected = 0x1000,", "Disconnected = 0x2000,", "NORVAT_STATE_DISCONNECTED"),
    # Python
    (PYN, "return CDLL(path, use_last_error=True)", "return ctypes.WinDLL(path, use_last_error=True)",
     "WinDLL"),
    (PYN, "return CDLL(path, use_errno=True)", "return CDLL(path)", "use_errno"),
    (PYN, '"OpenUSB": (c_int, [c_char_p]),', '"OpenUSB": (c_int, [ctypes.c_wchar_p]),',
     "OpenUSB: argument 1"),
    (PYN, "LISTING_BUFFER_SIZE = 191", "LISTING_BUFFER_SIZE = 190", "LISTING_BUFFER_SIZE"),
    (PYN, '"RcvBuf": (c_int, [POINTER(c_char), c_int]),', '"RcvBuf": (c_int, [c_int, c_int]),',
     "RcvBuf: argument 1"),
    (PYN, '    "closeport": (c_int, []),\n', "", "closeport is not declared"),
    (PYN, '"sendbuf": (c_int, [c_char_p, c_int]),', '"sendbuf": (c_int, [c_char_p]),',
     "sendbuf: 1 arguments"),
    (PYN, '"GetDllVersion": (c_int, [POINTER(c_char)]),',
     '"GetDllVersion": (c_char_p, [POINTER(c_char)]),', "GetDllVersion: result"),
    (PYN, "ERR_TIMEOUT = -5", "ERR_TIMEOUT = -6", "NORVAT_ERR_TIMEOUT"),
    (PYP, "buffer = ctypes.create_string_buffer(size)", "buffer = ctypes.create_string_buffer(4096)",
     "the buffer for norvat_read"),
    (PYN, '"norvat_open": (c_int, [c_char_p, POINTER(c_void_p)]),',
     '"norvat_open": (c_int, [ctypes.c_wchar_p, c_void_p]),', "norvat_open: argument 1"),
    (PYN, '"norvat_open": (c_int, [c_char_p, POINTER(c_void_p)]),',
     '"norvat_open": (c_int, [c_char_p, c_void_p]),', "norvat_open: argument 2"),
    (PYN, '"norvat_status": (c_int, [c_void_p, POINTER(c_uint), POINTER(c_uint)]),',
     '"norvat_status": (c_int, [c_void_p, c_uint, POINTER(c_uint)]),', "norvat_status: argument 2"),
    (PYN, '"norvat_port_list_get": (c_char_p, [c_void_p, c_int, c_int]),',
     '"norvat_port_list_get": (c_int, [c_void_p, c_int, c_int]),', "norvat_port_list_get: result"),
    (PYN, '    "norvat_escpos_status": (c_int, [c_void_p, c_int, POINTER(c_uint)]),\n', "",
     "norvat_escpos_status is not declared"),
    (PYN, '"model", "command_set"', '"command_set", "model"', "NORVAT_FIELD_MODEL"),
    (PYN, '"unrecoverable",\n             "disconnected")', '"unrecoverable")', "NORVAT_STATE_NOT_READY"),
    (HDR, "NORVAT_API int NORVAT_CALL norvat_pending(norvat_port *port);",
     "NORVAT_API int NORVAT_CALL norvat_pending(norvat_port *port);\n"
     "NORVAT_API int NORVAT_CALL norvat_flush(norvat_port *port, int timeout_ms);",
     "Python: norvat_flush is not declared"),
    # Pascal
    (PAS, "    sendcommand: function(text: PAnsiChar): Integer; cdecl;",
     "    sendcommand: function(text: PAnsiChar): Integer; stdcall;", "sendcommand: calling convention"),
    (PAS, "    closeport: function: Integer; cdecl;", "    closeport: function: Integer;",
     "closeport: calling convention"),
    (PAS, "OpenUSB: function(request: PAnsiChar)", "OpenUSB: function(request: PWideChar)",
     "OpenUSB: argument 1"),
    (PAS, "openport: function(selector: PAnsiChar)", "openport: function(selector: PChar)",
     "openport: argument 1"),
    (PAS, "NORVAT_LISTING_BUFFER_SIZE = 191;", "NORVAT_LISTING_BUFFER_SIZE = 190;",
     "NORVAT_LISTING_BUFFER_SIZE"),
    (PAS, "array[0..NORVAT_VERSION_BUFFER_SIZE - 1] of AnsiChar",
     "array[0..NORVAT_VERSION_BUFFER_SIZE - 2] of AnsiChar", "TNorvatVersionBuffer"),
    (PAS, "    RcvBuf: function(buffer: PAnsiChar; count: Integer): Integer; cdecl;\n",
     "", "RcvBuf is not declared"),
    (PAS, "setbaudrate: function(rate: Integer)", "setbaudrate: function(rate: PAnsiChar)",
     "setbaudrate: argument 1"),
    (PAS, "FindNextUSB: function(buffer: PAnsiChar)", "FindNextUSB: function(var buffer: PAnsiChar)",
     "FindNextUSB: argument 1"),
    (PAS, "SetLength(Result, MaxBytes);", "SetLength(Result, MaxBytes div 2);", "norvat_read"),
    (PAS, "norvat_status: function(port: TNorvatHandle; state, known: PCardinal)",
     "norvat_status: function(port: TNorvatHandle; var state, known: Cardinal)",
     "norvat_status: argument 2"),
    (PAS, "  TNorvatHandle = Pointer;", "  TNorvatHandle = Integer;", "TNorvatHandle is Integer"),
    (PAS, "norvat_free_port_list: procedure(list: TNorvatPortList); cdecl;",
     "norvat_free_port_list: function(list: TNorvatPortList): Integer; cdecl;",
     "norvat_free_port_list: returns Integer"),
    (PAS, "index, field: Integer): PAnsiChar; cdecl;", "index, field: Integer): PWideChar; cdecl;",
     "norvat_port_list_get: returns PWideChar"),
    (PAS, "@NorvatImports.norvat_cancel := Entry('norvat_cancel');",
     "@NorvatImports.norvat_cancel := Entry('norvat_close');", "norvat_cancel: bound to 'norvat_close'"),
    (PAS, "NORVAT_STATE_COVER_OPEN or NORVAT_STATE_CUTTER_ERROR",
     "NORVAT_STATE_COVER_OPEN or NORVAT_STATE_PAPER_LOW", "NORVAT_STATE_NOT_READY"),
    (PAS, "NorvatLibrary = 'Norvat.dll';", "NorvatLibrary = 'Norvat32.dll';", "NorvatLibrary"),
    (PAS, "  NORVAT_ERR_GONE = -7;", "  NORVAT_ERR_GONE = -8;", "NORVAT_ERR_GONE"),
    (PAS, "@NorvatImports.FindNextUSB := Entry('FindNextUSB');",
     "@NorvatImports.FindNextUSB := Entry('FindFirstUSB');", "FindNextUSB: bound to 'FindFirstUSB'"),
    (PAS, "function NorvatLastError: Integer;\n\n",
     "function NorvatLastError: Integer; cdecl; external NorvatLibrary;\n\n",
     "NorvatLastError is declared external"),
    # Node.js
    (NODE, "'int sendcommand(const char *text)'", "'int __stdcall sendcommand(const char *text)'",
     "sendcommand: calling convention"),
    (NODE, "'int OpenUSB(const char *request)'", "'int OpenUSB(const char16_t *request)'",
     "OpenUSB: argument 1"),
    (NODE, "'int openport(const char *selector)'", "'int openport(str16 selector)'",
     "openport: argument 1"),
    (NODE, "'int RcvBuf(char *buffer, int count)'", "'int RcvBuf(char *buffer)'", "RcvBuf: 1 arguments"),
    (NODE, "  'int FindNextUSB(char *buffer)',\n", "", "FindNextUSB is not declared"),
    (NODE, "'int GetDllVersion(char *buffer)'", "'int GetDLLVersion(char *buffer)'",
     "GetDllVersion is not declared"),
    (NODE, "'int setbaudrate(int rate)'", "'double setbaudrate(int rate)'", "setbaudrate: returns"),
    (NODE, "const LISTING_BUFFER_SIZE = 191;", "const LISTING_BUFFER_SIZE = 190;", "LISTING_BUFFER_SIZE"),
    (NODE, "return Buffer.alloc(VERSION_BUFFER_SIZE);", "return Buffer.alloc(15);", "versionBuffer()"),
    (NODE, "fn.async(...args, (err, result) => {", "fn.call(null, ...args, (err, result) => {",
     "not called with .async"),
    (NODE, "lastError = () => koffi.errno();", "lastError = () => 0;", "koffi.errno()"),
    (NODE, "const ERR_GONE = -7;", "const ERR_GONE = -8;", "NORVAT_ERR_GONE"),
    (NODEI, "const buffer = Buffer.alloc(size);", "const buffer = Buffer.alloc(4096);",
     "the buffer for norvat_read"),
    (NODE, "_Out_ norvat_port **port", "norvat_port **port", "norvat_open: argument 2"),
    (NODE, "int norvat_write(norvat_port *port, const void *data",
     "int norvat_write(norvat_port *port, const char16_t *data", "norvat_write: argument 2"),
    (NODE, "norvat_status(norvat_port *port, _Out_ unsigned int *state",
     "norvat_status(norvat_port *port, unsigned int *state", "norvat_status: argument 2"),
    (NODE, "'const char *norvat_error_text(int result)'", "'int norvat_error_text(int result)'",
     "norvat_error_text: returns"),
    (NODE, "const OPAQUE = ['norvat_port', 'norvat_port_list'];", "const OPAQUE = ['norvat_port'];",
     "koffi.opaque"),
    (NODE, "paperLow: 0x0010", "paperLow: 0x0020", "NORVAT_STATE_PAPER_LOW"),
    (NODEI, "native.call('norvat_write'", "native.callNow('norvat_write'",
     "norvat_write is called on the event loop's thread"),
    (NODEI, "const buffer = native.listingBuffer();", "const buffer = native.versionBuffer();",
     "the buffer for FindFirstUSB"),
    # Every copy of the version against its home, and the home against itself.
    (PYPROJECT, 'version = "1.3"', 'version = "1.4"', "pyproject.toml: version 1.4"),
    (PYP, '__version__ = "1.3"', '__version__ = "1.2.1"', "__init__.py: version 1.2.1"),
    (PKG, '"version": "1.3.0"', '"version": "1.2.1"', "package.json: version 1.2.1"),
    (CSPROJ, "<Version>1.3.0</Version>", "<Version>1.1.0</Version>", "Norvat.csproj: version 1.1.0"),
    (CHANGELOG, "norvat (1.3)", "norvat (1.3.1)", "changelog: version 1.3.1"),
    (VER, "#define NORVAT_VERSION_MINOR 3", "#define NORVAT_VERSION_MINOR 4", "makes it 1.4"),
    (VER, '"Ver1.2 2011/8/1"', '"Ver1.2 2011/08/01"', "not 15 characters"),
    # The header moves and the bindings stay behind.
    (HDR, "#define NORVAT_LISTING_BUFFER_SIZE 191", "#define NORVAT_LISTING_BUFFER_SIZE 192",
     "ListingBufferSize"),
    (HDR, "NORVAT_API int NORVAT_CALL closeport(void);",
     "NORVAT_API int NORVAT_CALL closeport(void);\nNORVAT_API int NORVAT_CALL flushport(void);",
     "flushport is not declared"),
    (HDR, "#define NORVAT_STATE_DCD 0x0800", "#define NORVAT_STATE_DCD 0x4000", "NORVAT_STATE_DCD"),
]


class CheckerTest(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="norvat-check-")
        for part in FILES:
            os.makedirs(os.path.join(self.root, *part[:-1]), exist_ok=True)
            shutil.copy(os.path.join(ROOT, *part), os.path.join(self.root, *part))

    def tearDown(self):
        shutil.rmtree(self.root)

    def test_the_bindings_as_they_are_pass(self):
        problems, _ = check_bindings.check(self.root)
        self.assertEqual(problems, [])

    def test_each_wrong_copy_fails(self):
        for part, old, new, complaint in WRONG_COPIES:
            with self.subTest(file=part[-1], change=new or "removed: " + old[:40]):
                path = os.path.join(self.root, *part)
                with open(path, encoding="utf-8") as f:
                    original = f.read()
                # A wrong copy that no longer applies would pass for the wrong reason.
                self.assertEqual(original.count(old), 1, "not found once in %s: %r" % (part, old))
                with open(path, "w", encoding="utf-8") as f:
                    f.write(original.replace(old, new))
                try:
                    problems, _ = check_bindings.check(self.root)
                finally:
                    with open(path, "w", encoding="utf-8") as f:
                        f.write(original)
                self.assertTrue(any(complaint in p for p in problems),
                                "no complaint about %r among %s" % (complaint, problems))


if __name__ == "__main__":
    unittest.main()
