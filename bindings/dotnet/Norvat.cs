// Norvat for .NET: the ten exports of Norvat.dll / libNorvat.so (NorvatNative) and a port object
// over them (NorvatPort). Include this file in a project, or build Norvat.csproj. C# 7, .NET
// Framework 4.5 and later, Mono, .NET Standard 2.0.
using System;
using System.Collections.Generic;
using System.ComponentModel;
using System.Runtime.InteropServices;

namespace Norvat
{
    /// <summary>
    /// The library's exports as declared in norvat.h: cdecl, 8-bit (ANSI) texts, the reason of a
    /// 0 result in Marshal.GetLastWin32Error() (GetLastError on Windows, errno elsewhere).
    /// Output buffers are byte arrays of at least the size norvat.h states.
    /// </summary>
    public static class NorvatNative
    {
        /// <summary>Norvat.dll on Windows, libNorvat.so on Linux.</summary>
        public const string LibraryName = "Norvat";

        /// <summary>NORVAT_LISTING_BUFFER_SIZE: FindFirstUSB / FindNextUSB.</summary>
        public const int ListingBufferSize = 191;

        /// <summary>NORVAT_VERSION_BUFFER_SIZE: GetDllVersion.</summary>
        public const int VersionBufferSize = 16;

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi, SetLastError = true)]
        public static extern int openport([MarshalAs(UnmanagedType.LPStr)] string selector);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi, SetLastError = true)]
        public static extern int OpenUSB([MarshalAs(UnmanagedType.LPStr)] string request);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi, SetLastError = true)]
        public static extern int FindFirstUSB([Out] byte[] buffer);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi, SetLastError = true)]
        public static extern int FindNextUSB([Out] byte[] buffer);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi, SetLastError = true)]
        public static extern int closeport();

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi, SetLastError = true)]
        public static extern int setbaudrate(int rate);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi, SetLastError = true)]
        public static extern int sendbuf([In] byte[] data, int count);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi, SetLastError = true)]
        public static extern int sendcommand([MarshalAs(UnmanagedType.LPStr)] string text);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi, SetLastError = true)]
        public static extern int RcvBuf([Out] byte[] buffer, int count);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi, SetLastError = true)]
        public static extern int GetDllVersion([Out] byte[] buffer);
    }

    /// <summary>
    /// The reasons the library sets itself (norvat.h's NORVAT_E_*), for the platform this runs
    /// on: the Windows code or the Linux errno.
    /// </summary>
    public static class NorvatReason
    {
        public static readonly int InvalidArgument = Pick(87, 22);
        public static readonly int NoPort = Pick(6, 9);
        public static readonly int NotConnected = Pick(1167, 19);
        public static readonly int NoMoreItems = Pick(259, 2);
        public static readonly int Timeout = Pick(1460, 110);

        internal static bool IsWindows
        {
            get { return Environment.OSVersion.Platform == PlatformID.Win32NT; }
        }

        static int Pick(int windows, int linux)
        {
            return IsWindows ? windows : linux;
        }
    }

    /// <summary>
    /// A call the library refused or a device that failed. NativeErrorCode is the platform's
    /// code (the Windows error, or errno on Linux) and Message its text.
    /// </summary>
    public class NorvatException : Win32Exception
    {
        public NorvatException(string operation, int code)
            : base(code, operation + ": " + Describe(code))
        {
            Operation = operation;
        }

        /// <summary>What was being done: "open COM55", "command", "read", ...</summary>
        public string Operation { get; private set; }

        // Win32Exception's own text is right on Windows only: elsewhere the code is an errno,
        // which libc describes.
        static string Describe(int code)
        {
            if (NorvatReason.IsWindows)
                return new Win32Exception(code).Message;
            try {
                IntPtr text = Libc.strerror(code);
                if (text != IntPtr.Zero)
                    return Marshal.PtrToStringAnsi(text);
            } catch (DllNotFoundException) {
            } catch (EntryPointNotFoundException) {
            }
            return "error " + code;
        }

        static class Libc
        {
            [DllImport("libc.so.6", CallingConvention = CallingConvention.Cdecl)]
            public static extern IntPtr strerror(int code);
        }
    }

    /// <summary>
    /// The port the library has open. The library holds one port per process, so opening a
    /// port closes the one another NorvatPort had; that object then throws with
    /// NorvatReason.NoPort, and disposing it leaves the newer port alone.
    /// Dispose (or Close) closes the port.
    /// </summary>
    public sealed class NorvatPort : IDisposable
    {
        // Which object the library's one port belongs to, and the lock that keeps that in step
        // with the library across threads. The library serialises calls itself; this lock also
        // keeps a FindFirstUSB/FindNextUSB walk from being interleaved with another.
        static readonly object Sync = new object();
        static NorvatPort current;

        // The most a single Read asks for: the buffer is allocated per call, and a read never
        // returns more than the device sent in about 450 ms.
        public const int MaxReadSize = 65536;

        readonly string name;

        NorvatPort(string name)
        {
            this.name = name;
        }

        /// <summary>The name this port was opened with.</summary>
        public string Name
        {
            get { return name; }
        }

        /// <summary>Whether the library's port is still this object's.</summary>
        public bool IsOpen
        {
            get { lock (Sync) return current == this; }
        }

        /// <summary>The library's version text, e.g. "Ver1.2 2011/8/1".</summary>
        public static string Version
        {
            get
            {
                byte[] buffer = new byte[NorvatNative.VersionBufferSize];
                int n = NorvatNative.GetDllVersion(buffer);
                if (n == 0)
                    throw new NorvatException("version", Marshal.GetLastWin32Error());
                return AnsiText(buffer);
            }
        }

        /// <summary>
        /// The connected USB printers as "description#serial" texts, in the library's order.
        /// Each text (or the serial after its '#') opens its printer with Open.
        /// </summary>
        public static IReadOnlyList<string> UsbPrinters()
        {
            List<string> printers = new List<string>();
            byte[] buffer = new byte[NorvatNative.ListingBufferSize];
            lock (Sync) {
                int found = NorvatNative.FindFirstUSB(buffer);
                while (found != 0) {
                    printers.Add(AnsiText(buffer));
                    found = NorvatNative.FindNextUSB(buffer);
                }
                int code = Marshal.GetLastWin32Error();
                if (code != NorvatReason.NoMoreItems)
                    throw new NorvatException("list USB printers", code);
            }
            return printers.AsReadOnly();
        }

        /// <summary>
        /// Opens a port: "COM1".."COM256", "LPT1" or "LPT2", a port number "0"-"9" (as openport:
        /// 0 LPT1, 1-4 COM1-COM4, 5 LPT2, 6 the first USB printer, 7-9 COM7-COM9), a USB
        /// printer's listing text "description#serial" or its serial, or on Linux a /dev/ path.
        /// A port another NorvatPort has open is closed first.
        /// </summary>
        public static NorvatPort Open(string port)
        {
            if (string.IsNullOrEmpty(port))
                throw new NorvatException("open", NorvatReason.InvalidArgument);
            lock (Sync) {
                int opened;
                if (port == "LPT1")
                    opened = NorvatNative.openport("0");
                else if (port == "LPT2")
                    opened = NorvatNative.openport("5");
                else if (port.Length == 1 && port[0] >= '0' && port[0] <= '9')
                    opened = NorvatNative.openport(port);
                else
                    opened = NorvatNative.OpenUSB(port);
                int code = Marshal.GetLastWin32Error();
                if (opened != 1) {
                    // Only "no such USB printer" leaves the previous port open.
                    if (code != NorvatReason.NotConnected)
                        current = null;
                    throw new NorvatException("open " + port, code);
                }
                current = new NorvatPort(port);
                return current;
            }
        }

        /// <summary>
        /// Writes raw bytes with one write. Returns how many went out: fewer than data.Length
        /// when the device stopped taking bytes (the library gives up after about 20 s); those
        /// that went out must not be sent again. Throws when none went out.
        /// </summary>
        public int Write(byte[] data)
        {
            if (data == null)
                throw new NorvatException("write", NorvatReason.InvalidArgument);
            lock (Sync) {
                CheckOpen("write");
                // The library answers 1 for an empty write, and an empty array may reach it as
                // a null pointer: send a count of 0 from a real buffer and report 0 bytes.
                byte[] bytes = data.Length == 0 ? new byte[1] : data;
                int written = NorvatNative.sendbuf(bytes, data.Length);
                if (written == 0)
                    throw new NorvatException("write", Marshal.GetLastWin32Error());
                return data.Length == 0 ? 0 : written;
            }
        }

        /// <summary>Sends a command: its characters, then CR LF. Throws unless all went out.</summary>
        public void Command(string text)
        {
            lock (Sync) {
                CheckOpen("command");
                if (NorvatNative.sendcommand(text) != 1)
                    throw new NorvatException("command", Marshal.GetLastWin32Error());
            }
        }

        /// <summary>
        /// Reads what the device sent, at most max bytes (and at most MaxReadSize), waiting about
        /// 450 ms at most. An empty array when nothing arrived.
        /// </summary>
        public byte[] Read(int max = 4096)
        {
            if (max < 0)
                throw new NorvatException("read", NorvatReason.InvalidArgument);
            int count = Math.Min(max, MaxReadSize);
            byte[] buffer = new byte[count + 1]; // the library puts a NUL after the bytes
            lock (Sync) {
                CheckOpen("read");
                int n = NorvatNative.RcvBuf(buffer, count);
                if (n == 0) {
                    int code = Marshal.GetLastWin32Error();
                    // Nothing within the window is no data, not a failure; so is asking for 0.
                    if (code == NorvatReason.Timeout || (count == 0 && code == 0))
                        return new byte[0];
                    throw new NorvatException("read", code);
                }
                byte[] data = new byte[n];
                Array.Copy(buffer, data, n);
                return data;
            }
        }

        /// <summary>The line speed of a serial port in bit/s; throws for LPT and USB ports.</summary>
        public int BaudRate
        {
            set
            {
                lock (Sync) {
                    CheckOpen("set baud rate");
                    if (NorvatNative.setbaudrate(value) == 0)
                        throw new NorvatException("set baud rate " + value, Marshal.GetLastWin32Error());
                }
            }
        }

        /// <summary>Closes the port if it is still this object's. Harmless when repeated.</summary>
        public void Close()
        {
            lock (Sync) {
                if (current != this)
                    return;
                NorvatNative.closeport();
                current = null;
            }
        }

        public void Dispose()
        {
            Close();
        }

        void CheckOpen(string operation)
        {
            if (current != this)
                throw new NorvatException(operation, NorvatReason.NoPort);
        }

        // The text up to the first NUL (never past the buffer), decoded as the marshaller encodes
        // strings for the library, so that a listing text passed back to Open names the same
        // bytes.
        static string AnsiText(byte[] buffer)
        {
            int length = Array.IndexOf(buffer, (byte)0);
            if (length < 0)
                length = buffer.Length;
            GCHandle pin = GCHandle.Alloc(buffer, GCHandleType.Pinned);
            try {
                return Marshal.PtrToStringAnsi(pin.AddrOfPinnedObject(), length) ?? "";
            } finally {
                pin.Free();
            }
        }
    }
}
