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
HDR = ("include", "norvat.h")

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
    (CS, "byte[] buffer = new byte[count + 1];", "byte[] buffer = new byte[count];", "RcvBuf"),
    (CS, "public static extern int FindNextUSB([Out] byte[] buffer);", "", "FindNextUSB"),
    (CS, "public static extern int sendbuf([In] byte[] data, int count);",
     "public static extern int sendbuf(int data, int count);", "sendbuf: argument 1"),
    (CS, "public static extern int FindFirstUSB([Out] byte[] buffer);",
     "public static extern int FindFirstUSB(string buffer);", "FindFirstUSB: argument 1"),
    (CS, "public static extern int RcvBuf([Out] byte[] buffer, int count);",
     "public static extern int RcvBuf([In] byte[] buffer, int count);", "RcvBuf: argument 1"),
    (CS, "extern int GetDllVersion(", "extern int GetDLLVersion(", "GetDllVersion is not declared"),
    (CS, "NoPort = Pick(6, 9);", "NoPort = Pick(6, 6);", "NO_PORT"),
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
    (PYN, "E_TIMEOUT = _pick(1460, 110)", "E_TIMEOUT = _pick(1460, 62)", "TIMEOUT"),
    (PYP, "ctypes.create_string_buffer(count + 1)", "ctypes.create_string_buffer(count)", "RcvBuf"),
    # Pascal
    (PAS, "function sendcommand(text: PAnsiChar): Integer; cdecl;",
     "function sendcommand(text: PAnsiChar): Integer; stdcall;", "sendcommand: calling convention"),
    (PAS, "function closeport: Integer; cdecl;", "function closeport: Integer;",
     "closeport: calling convention"),
    (PAS, "function OpenUSB(request: PAnsiChar)", "function OpenUSB(request: PWideChar)",
     "OpenUSB: argument 1"),
    (PAS, "function openport(selector: PAnsiChar)", "function openport(selector: PChar)",
     "openport: argument 1"),
    (PAS, "NORVAT_LISTING_BUFFER_SIZE = 191;", "NORVAT_LISTING_BUFFER_SIZE = 190;",
     "NORVAT_LISTING_BUFFER_SIZE"),
    (PAS, "array[0..NORVAT_VERSION_BUFFER_SIZE - 1] of AnsiChar",
     "array[0..NORVAT_VERSION_BUFFER_SIZE - 2] of AnsiChar", "TNorvatVersionBuffer"),
    (PAS, "function RcvBuf(buffer: PAnsiChar; count: Integer): Integer; cdecl; external NorvatLibrary;\n",
     "", "RcvBuf is not declared"),
    (PAS, "function setbaudrate(rate: Integer)", "function setbaudrate(rate: PAnsiChar)",
     "setbaudrate: argument 1"),
    (PAS, "function FindNextUSB(buffer: PAnsiChar)", "function FindNextUSB(var buffer: PAnsiChar)",
     "FindNextUSB: argument 1"),
    (PAS, "SetLength(Result, MaxBytes + 1);", "SetLength(Result, MaxBytes);", "RcvBuf"),
    (PAS, "NorvatLibrary = 'Norvat.dll';", "NorvatLibrary = 'Norvat32.dll';", "NorvatLibrary"),
    (PAS, "  NORVAT_E_NOT_CONNECTED = 19;", "  NORVAT_E_NOT_CONNECTED = 1167;", "NOT_CONNECTED"),
    # The header moves and the bindings stay behind.
    (HDR, "#define NORVAT_LISTING_BUFFER_SIZE 191", "#define NORVAT_LISTING_BUFFER_SIZE 192",
     "ListingBufferSize"),
    (HDR, "NORVAT_API int NORVAT_CALL closeport(void);",
     "NORVAT_API int NORVAT_CALL closeport(void);\nNORVAT_API int NORVAT_CALL flushport(void);",
     "flushport is not declared"),
]


class CheckerTest(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="norvat-check-")
        for part in (CS, PYN, PYP, PAS, HDR):
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
