// Norvat for .NET: the ten exports of Norvat.dll / libNorvat.so (NorvatNative) and a port object
// over them (NorvatPort). Include this file in a project, build Norvat.csproj, or install the
// Norvat NuGet package. C# 7, .NET Framework 4.6.2 and later, Mono.
//
// Errors follow System.IO.Ports.SerialPort: bad arguments throw ArgumentNullException,
// ArgumentException or ArgumentOutOfRangeException; a disposed port ObjectDisposedException; a
// port that is no longer this object's InvalidOperationException; a device that refuses access
// or is in use UnauthorizedAccessException; a write given up TimeoutException; any other device
// failure IOException. Each device failure keeps the platform's code (INorvatError).
using System;
using System.Collections.Generic;
using System.ComponentModel;
using System.IO;
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

        // An AnyCPU program gets both DLLs from the NuGet package, in x86\ and x64\ beside it (the
        // package's Norvat.targets): load the one for this process before the first call, and
        // the calls below then bind to it. A Norvat.dll beside the program always wins.
        static NorvatNative()
        {
            if (!NorvatReason.IsWindows)
                return;
            string folder = AppDomain.CurrentDomain.BaseDirectory;
            if (File.Exists(Path.Combine(folder, "Norvat.dll")))
                return;
            string own = Path.Combine(Path.Combine(folder, IntPtr.Size == 8 ? "x64" : "x86"), "Norvat.dll");
            if (File.Exists(own))
                LoadLibraryW(own);
        }

        [DllImport("kernel32.dll", CharSet = CharSet.Unicode, SetLastError = true)]
        static extern IntPtr LoadLibraryW(string path);

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

    /// <summary>What every Norvat device failure carries, whatever its exception type.</summary>
    public interface INorvatError
    {
        /// <summary>The platform's code: the Windows error, or errno on Linux.</summary>
        int NativeErrorCode { get; }

        /// <summary>What was being done: "open COM55", "command", "read", ...</summary>
        string Operation { get; }
    }

    /// <summary>
    /// A device failure (no such port, no such USB printer, a device gone, ...), as SerialPort's
    /// IOException. NativeErrorCode is the platform's code; HResult carries it too.
    /// </summary>
    public class NorvatException : IOException, INorvatError
    {
        /// <summary>A failure of operation with the platform's code.</summary>
        public NorvatException(string operation, int code)
            : base(NorvatErrors.Message(operation, code), NorvatErrors.HResult(code))
        {
            Operation = operation;
            NativeErrorCode = code;
        }

        /// <inheritdoc />
        public int NativeErrorCode { get; private set; }

        /// <inheritdoc />
        public string Operation { get; private set; }
    }

    /// <summary>Access to the port was refused, or another program has it (SerialPort's kind).</summary>
    public class NorvatAccessException : UnauthorizedAccessException, INorvatError
    {
        /// <summary>A refusal of operation with the platform's code.</summary>
        public NorvatAccessException(string operation, int code)
            : base(NorvatErrors.Message(operation, code))
        {
            Operation = operation;
            NativeErrorCode = code;
            HResult = NorvatErrors.HResult(code);
        }

        /// <inheritdoc />
        public int NativeErrorCode { get; private set; }

        /// <inheritdoc />
        public string Operation { get; private set; }
    }

    /// <summary>The device took no byte of a write in time (about 20 s).</summary>
    public class NorvatTimeoutException : TimeoutException, INorvatError
    {
        /// <summary>A timeout of operation with the platform's code.</summary>
        public NorvatTimeoutException(string operation, int code)
            : base(NorvatErrors.Message(operation, code))
        {
            Operation = operation;
            NativeErrorCode = code;
            HResult = NorvatErrors.HResult(code);
        }

        /// <inheritdoc />
        public int NativeErrorCode { get; private set; }

        /// <inheritdoc />
        public string Operation { get; private set; }
    }

    /// <summary>Which exception a code the library left makes, and its text.</summary>
    public static class NorvatErrors
    {
        /// <summary>The exception SerialPort would throw for this code, keeping the code.</summary>
        public static Exception For(string operation, int code)
        {
            if (code == NorvatReason.InvalidArgument)
                return new ArgumentException(Message(operation, code));
            // The library's own timeout, or a network printer that did not answer (WSAETIMEDOUT).
            if (code == NorvatReason.Timeout || (NorvatReason.IsWindows && code == 10060))
                return new NorvatTimeoutException(operation, code);
            // Windows: access denied, sharing violation; Linux: EPERM, EACCES, EBUSY.
            if (NorvatReason.IsWindows ? (code == 5 || code == 32) : (code == 1 || code == 13 || code == 16))
                return new NorvatAccessException(operation, code);
            return new NorvatException(operation, code);
        }

        /// <summary>"operation: the system's text for code".</summary>
        public static string Message(string operation, int code)
        {
            return operation + ": " + Describe(code);
        }

        // As Windows makes an HRESULT of a Win32 code (HRESULT_FROM_WIN32); on Linux the errno.
        internal static int HResult(int code)
        {
            return code <= 0 ? code : unchecked((int)(0x80070000u | ((uint)code & 0xFFFFu)));
        }

        // Win32Exception's own text is right on Windows only: elsewhere the code is an errno,
        // which libc describes.
        static string Describe(int code)
        {
            if (NorvatReason.IsWindows)
                return new Win32Exception(code).Message;
            try {
                // Negative: the resolver's EAI_* code for a network printer's name.
                IntPtr text = code < 0 ? Libc.gai_strerror(code) : Libc.strerror(code);
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

            [DllImport("libc.so.6", CallingConvention = CallingConvention.Cdecl)]
            public static extern IntPtr gai_strerror(int code);
        }
    }

    /// <summary>
    /// The port the library has open. The library holds one port per process, so opening a
    /// port closes the one another NorvatPort had; that object then throws with
    /// InvalidOperationException, and disposing it leaves the newer port alone.
    /// Dispose (or Close) closes the port; the object then throws ObjectDisposedException.
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

        /// <summary>What every open sets a serial port to.</summary>
        public const int DefaultBaudRate = 9600;

        readonly string name;
        int baudRate = DefaultBaudRate;
        bool disposed;

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
                    throw NorvatErrors.For("version", Marshal.GetLastWin32Error());
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
                    throw NorvatErrors.For("list USB printers", code);
            }
            return printers.AsReadOnly();
        }

        /// <summary>
        /// Opens a port: "COM1".."COM256", "LPT1" or "LPT2", a port number "0"-"9" (as openport:
        /// 0 LPT1, 1-4 COM1-COM4, 5 LPT2, 6 the first USB printer, 7-9 COM7-COM9), a USB
        /// printer's listing text "description#serial" or its serial, a network printer's
        /// "tcp://HOST[:PORT]", or on Linux a /dev/ path.
        /// A port another NorvatPort has open is closed first. A port that does not exist or no
        /// such USB printer throws IOException (NorvatException), one in use or refused
        /// UnauthorizedAccessException (NorvatAccessException).
        /// </summary>
        public static NorvatPort Open(string port)
        {
            if (port == null)
                throw new ArgumentNullException("port");
            if (port.Length == 0)
                throw new ArgumentException("The port name is empty.", "port");
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
                    throw NorvatErrors.For("open " + port, code);
                }
                current = new NorvatPort(port);
                return current;
            }
        }

        /// <summary>
        /// Writes raw bytes with one write. Returns how many went out: fewer than data.Length
        /// when the device stopped taking bytes (the library gives up after about 20 s); those
        /// that went out must not be sent again. Throws when none went out: TimeoutException when
        /// the device took nothing in time, IOException when it failed.
        /// </summary>
        public int Write(byte[] data)
        {
            if (data == null)
                throw new ArgumentNullException("data");
            lock (Sync) {
                CheckOpen();
                // The library answers 1 for an empty write, and an empty array may reach it as
                // a null pointer: send a count of 0 from a real buffer and report 0 bytes.
                byte[] bytes = data.Length == 0 ? new byte[1] : data;
                int written = NorvatNative.sendbuf(bytes, data.Length);
                if (written == 0)
                    throw NorvatErrors.For("write", Marshal.GetLastWin32Error());
                return data.Length == 0 ? 0 : written;
            }
        }

        /// <summary>Sends a command: its characters, then CR LF. Throws unless all went out.</summary>
        public void Command(string text)
        {
            if (text == null)
                throw new ArgumentNullException("text");
            lock (Sync) {
                CheckOpen();
                if (NorvatNative.sendcommand(text) != 1)
                    throw NorvatErrors.For("command", Marshal.GetLastWin32Error());
            }
        }

        /// <summary>
        /// Reads what the device sent, at most max bytes (and at most MaxReadSize), waiting about
        /// 450 ms at most. An empty array when nothing arrived.
        /// </summary>
        public byte[] Read(int max = 4096)
        {
            if (max < 0)
                throw new ArgumentOutOfRangeException("max", max, "The most bytes to read must be 0 or more.");
            int count = Math.Min(max, MaxReadSize);
            byte[] buffer = new byte[count + 1]; // the library puts a NUL after the bytes
            lock (Sync) {
                CheckOpen();
                int n = NorvatNative.RcvBuf(buffer, count);
                if (n == 0) {
                    int code = Marshal.GetLastWin32Error();
                    // Nothing within the window is no data, not a failure; so is asking for 0.
                    if (code == NorvatReason.Timeout || (count == 0 && code == 0))
                        return new byte[0];
                    throw NorvatErrors.For("read", code);
                }
                byte[] data = new byte[n];
                Array.Copy(buffer, data, n);
                return data;
            }
        }

        /// <summary>
        /// The line speed of a serial port in bit/s: what was last set, or 9600, what every open
        /// sets a serial port to. Setting it throws IOException for LPT and USB ports, which have
        /// no line speed, and ArgumentOutOfRangeException for 0 or below.
        /// </summary>
        public int BaudRate
        {
            get
            {
                lock (Sync) {
                    CheckOpen();
                    return baudRate;
                }
            }
            set
            {
                if (value <= 0)
                    throw new ArgumentOutOfRangeException("value", value, "The line speed must be above 0.");
                lock (Sync) {
                    CheckOpen();
                    if (NorvatNative.setbaudrate(value) == 0)
                        throw NorvatErrors.For("set baud rate " + value, Marshal.GetLastWin32Error());
                    baudRate = value;
                }
            }
        }

        /// <summary>
        /// Closes the port if it is still this object's, and disposes the object (as SerialPort's
        /// Close does). Harmless when repeated.
        /// </summary>
        public void Close()
        {
            lock (Sync) {
                disposed = true;
                if (current != this)
                    return;
                NorvatNative.closeport();
                current = null;
            }
        }

        /// <summary>Closes the port: see Close.</summary>
        public void Dispose()
        {
            Close();
        }

        void CheckOpen()
        {
            if (disposed)
                throw new ObjectDisposedException(GetType().FullName, "The port " + name + " was closed.");
            if (current != this)
                throw new InvalidOperationException("The port " + name + " is no longer open: another open took the library's port.");
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
