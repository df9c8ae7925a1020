// Norvat for .NET: the exports of Norvat.dll / libNorvat.so as include/norvat.h declares them
// (NorvatNative), and NorvatPort, one open port per object over the handle functions: any
// number open at once, each independent of the others. include/norvat.h is the manual: what
// each call does, how long it may block, what each result means. Include this file in a
// project, build Norvat.csproj, or install the Norvat NuGet package. C# 7, .NET Framework 4.6.2
// and later, .NET Standard 2.0, Mono.
//
// Errors: arguments refused before the library is called throw ArgumentNullException or
// ArgumentOutOfRangeException; a closed port ObjectDisposedException. The library's failures
// throw, by their portable code (NORVAT_ERR_*, the Code property):
//   ARGUMENT                          NorvatArgumentException      (an ArgumentException)
//   NOT_FOUND, GONE, SYSTEM, unknown  NorvatException              (an IOException)
//   ACCESS, BUSY                      NorvatAccessException        (an UnauthorizedAccessException,
//                                                                   as SerialPort for a port in use)
//   TIMEOUT                           NorvatTimeoutException       (a TimeoutException)
//   CANCELLED                         NorvatCancelledException     (an OperationCanceledException)
//   UNSUPPORTED                       NorvatNotSupportedException  (a NotSupportedException)
// Each carries the platform's code in NativeErrorCode (GetLastError on Windows, errno on Linux)
// and HResult, through INorvatError.
using System;
using System.Collections.Generic;
using System.ComponentModel;
using System.IO;
using System.Runtime.InteropServices;

namespace Norvat
{
    /// <summary>The portable results of include/norvat.h (NORVAT_ERR_*): one table on every platform.</summary>
    public enum NorvatErrorCode
    {
        Argument = -1,
        NotFound = -2,
        Busy = -3,
        Access = -4,
        Timeout = -5,
        Unsupported = -6,
        Gone = -7,
        Cancelled = -8,
        System = -9,
    }

    /// <summary>A port's state bits (NORVAT_STATE_*); include/norvat.h says what each means.</summary>
    [Flags]
    public enum NorvatState : uint
    {
        None = 0,
        PaperOut = 0x0001,
        Offline = 0x0002,
        Error = 0x0004,
        CoverOpen = 0x0008,
        PaperLow = 0x0010,
        FeedButton = 0x0020,
        DrawerOpen = 0x0040,
        CutterError = 0x0080,
        Unrecoverable = 0x0100,
        Dsr = 0x0200,
        Cts = 0x0400,
        Dcd = 0x0800,
        Disconnected = 0x1000,
        /// <summary>NORVAT_STATE_NOT_READY: the bits that mean "not ready to print".</summary>
        NotReady = PaperOut | Offline | Error | CoverOpen | CutterError | Unrecoverable | Disconnected,
    }

    /// <summary>The fields of a listing entry (NORVAT_FIELD_*).</summary>
    public enum NorvatField
    {
        Name = 0,
        Kind = 1,
        Description = 2,
        Serial = 3,
        VendorId = 4,
        ProductId = 5,
        Manufacturer = 6,
        Model = 7,
        CommandSet = 8,
        DeviceId = 9,
    }

    /// <summary>
    /// The library's exports as include/norvat.h declares them: cdecl, 8-bit (ANSI) texts, the
    /// platform's code of a failure in Marshal.GetLastWin32Error() (GetLastError on Windows, errno
    /// elsewhere). Texts the library returns are IntPtr: they belong to the library.
    /// </summary>
    public static class NorvatNative
    {
        /// <summary>Norvat.dll on Windows, libNorvat.so on Linux.</summary>
        public const string LibraryName = "Norvat";

        /// <summary>NORVAT_LISTING_BUFFER_SIZE: FindFirstUSB / FindNextUSB.</summary>
        public const int ListingBufferSize = 191;

        /// <summary>NORVAT_VERSION_BUFFER_SIZE: GetDllVersion.</summary>
        public const int VersionBufferSize = 16;

        /// <summary>NORVAT_TIMEOUT_DEFAULT: the library's own bounds for a write or a read.</summary>
        public const int TimeoutDefault = -1;

        internal static bool IsWindows
        {
            get { return Environment.OSVersion.Platform == PlatformID.Win32NT; }
        }

        // An AnyCPU program gets both DLLs from the NuGet package, in x86\ and x64\ beside it (the
        // package's Norvat.targets): load the one for this process before the first call, and
        // the calls below then bind to it. A Norvat.dll beside the program always wins.
        static NorvatNative()
        {
            if (!IsWindows)
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

        // The ten exports of one port per process.
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

        // Ports by handle. A NorvatPortHandle is held for the length of each call, so a port
        // disposed meanwhile is closed only once the call has returned.
        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi, SetLastError = true)]
        public static extern int norvat_open([MarshalAs(UnmanagedType.LPStr)] string name, out NorvatPortHandle port);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi, SetLastError = true)]
        public static extern int norvat_close(IntPtr port);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi, SetLastError = true)]
        public static extern int norvat_write(NorvatPortHandle port, IntPtr data, int count, int timeoutMs);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi, SetLastError = true)]
        public static extern int norvat_read(NorvatPortHandle port, IntPtr buffer, int size, int timeoutMs);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi, SetLastError = true)]
        public static extern int norvat_set_baud_rate(NorvatPortHandle port, int rate);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi, SetLastError = true)]
        public static extern int norvat_cancel(NorvatPortHandle port);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi, SetLastError = true)]
        public static extern int norvat_list_ports(out IntPtr list);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi, SetLastError = true)]
        public static extern IntPtr norvat_port_list_get(IntPtr list, int index, int field);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi, SetLastError = true)]
        public static extern void norvat_free_port_list(IntPtr list);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi, SetLastError = true)]
        public static extern int norvat_status(NorvatPortHandle port, out uint state, out uint known);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi, SetLastError = true)]
        public static extern int norvat_pending(NorvatPortHandle port);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi, SetLastError = true)]
        public static extern int norvat_discard_input(NorvatPortHandle port);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi, SetLastError = true)]
        public static extern int norvat_escpos_status(NorvatPortHandle port, int timeoutMs, out uint state);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi, SetLastError = true)]
        public static extern IntPtr norvat_error_text(int result);
    }

    /// <summary>A handle from norvat_open; releasing it is norvat_close.</summary>
    public sealed class NorvatPortHandle : SafeHandle
    {
        /// <summary>An empty handle, for the marshaller to fill (public, as every runtime's marshaller can use it).</summary>
        public NorvatPortHandle() : base(IntPtr.Zero, true) { }

        /// <inheritdoc />
        public override bool IsInvalid
        {
            get { return handle == IntPtr.Zero; }
        }

        /// <inheritdoc />
        protected override bool ReleaseHandle()
        {
            return NorvatNative.norvat_close(handle) == 0;
        }
    }

    /// <summary>What every failure the library reports carries, whatever its exception type.</summary>
    public interface INorvatError
    {
        /// <summary>The portable code (NORVAT_ERR_*), the same on every platform.</summary>
        NorvatErrorCode Code { get; }

        /// <summary>The platform's code: the Windows error, or errno on Linux.</summary>
        int NativeErrorCode { get; }

        /// <summary>What was being done: "open COM55", "write", "read", ...</summary>
        string Operation { get; }
    }

    /// <summary>NOT_FOUND, GONE, SYSTEM (and codes this version does not know): an IOException.</summary>
    public class NorvatException : IOException, INorvatError
    {
        /// <summary>A failure of operation with its portable and platform codes.</summary>
        public NorvatException(string operation, NorvatErrorCode code, int native)
            : base(NorvatErrors.Message(operation, code, native), NorvatErrors.HResult(native))
        {
            Operation = operation;
            Code = code;
            NativeErrorCode = native;
        }

        /// <inheritdoc />
        public NorvatErrorCode Code { get; private set; }
        /// <inheritdoc />
        public int NativeErrorCode { get; private set; }
        /// <inheritdoc />
        public string Operation { get; private set; }
    }

    /// <summary>ARGUMENT: the library refused an argument (a malformed name, say).</summary>
    public class NorvatArgumentException : ArgumentException, INorvatError
    {
        /// <summary>A refusal of operation with its platform code.</summary>
        public NorvatArgumentException(string operation, NorvatErrorCode code, int native)
            : base(NorvatErrors.Message(operation, code, native))
        {
            Operation = operation;
            Code = code;
            NativeErrorCode = native;
            HResult = NorvatErrors.HResult(native);
        }

        /// <inheritdoc />
        public NorvatErrorCode Code { get; private set; }
        /// <inheritdoc />
        public int NativeErrorCode { get; private set; }
        /// <inheritdoc />
        public string Operation { get; private set; }
    }

    /// <summary>ACCESS and BUSY: no permission, or the device is open elsewhere.</summary>
    public class NorvatAccessException : UnauthorizedAccessException, INorvatError
    {
        /// <summary>A refusal of operation with its portable and platform codes.</summary>
        public NorvatAccessException(string operation, NorvatErrorCode code, int native)
            : base(NorvatErrors.Message(operation, code, native))
        {
            Operation = operation;
            Code = code;
            NativeErrorCode = native;
            HResult = NorvatErrors.HResult(native);
        }

        /// <inheritdoc />
        public NorvatErrorCode Code { get; private set; }
        /// <inheritdoc />
        public int NativeErrorCode { get; private set; }
        /// <inheritdoc />
        public string Operation { get; private set; }
    }

    /// <summary>TIMEOUT: nothing went out, or no answer came, in time.</summary>
    public class NorvatTimeoutException : TimeoutException, INorvatError
    {
        /// <summary>A timeout of operation with its platform code.</summary>
        public NorvatTimeoutException(string operation, NorvatErrorCode code, int native)
            : base(NorvatErrors.Message(operation, code, native))
        {
            Operation = operation;
            Code = code;
            NativeErrorCode = native;
            HResult = NorvatErrors.HResult(native);
        }

        /// <inheritdoc />
        public NorvatErrorCode Code { get; private set; }
        /// <inheritdoc />
        public int NativeErrorCode { get; private set; }
        /// <inheritdoc />
        public string Operation { get; private set; }
    }

    /// <summary>CANCELLED: Cancel or Dispose ended the call.</summary>
    public class NorvatCancelledException : OperationCanceledException, INorvatError
    {
        /// <summary>A cancelled operation with its platform code.</summary>
        public NorvatCancelledException(string operation, NorvatErrorCode code, int native)
            : base(NorvatErrors.Message(operation, code, native))
        {
            Operation = operation;
            Code = code;
            NativeErrorCode = native;
            HResult = NorvatErrors.HResult(native);
        }

        /// <inheritdoc />
        public NorvatErrorCode Code { get; private set; }
        /// <inheritdoc />
        public int NativeErrorCode { get; private set; }
        /// <inheritdoc />
        public string Operation { get; private set; }
    }

    /// <summary>UNSUPPORTED: not for this kind of port, or not on this system.</summary>
    public class NorvatNotSupportedException : NotSupportedException, INorvatError
    {
        /// <summary>An operation this port does not have, with its platform code.</summary>
        public NorvatNotSupportedException(string operation, NorvatErrorCode code, int native)
            : base(NorvatErrors.Message(operation, code, native))
        {
            Operation = operation;
            Code = code;
            NativeErrorCode = native;
            HResult = NorvatErrors.HResult(native);
        }

        /// <inheritdoc />
        public NorvatErrorCode Code { get; private set; }
        /// <inheritdoc />
        public int NativeErrorCode { get; private set; }
        /// <inheritdoc />
        public string Operation { get; private set; }
    }

    /// <summary>Which exception a result of the library makes, and its text.</summary>
    public static class NorvatErrors
    {
        /// <summary>The exception for a failed call's portable result and the platform's code.</summary>
        public static Exception For(string operation, int result, int native)
        {
            NorvatErrorCode code = (NorvatErrorCode)result;
            switch (code) {
            case NorvatErrorCode.Argument:
                return new NorvatArgumentException(operation, code, native);
            case NorvatErrorCode.Busy:
            case NorvatErrorCode.Access:
                return new NorvatAccessException(operation, code, native);
            case NorvatErrorCode.Timeout:
                return new NorvatTimeoutException(operation, code, native);
            case NorvatErrorCode.Cancelled:
                return new NorvatCancelledException(operation, code, native);
            case NorvatErrorCode.Unsupported:
                return new NorvatNotSupportedException(operation, code, native);
            default:
                return new NorvatException(operation, code, native);
            }
        }

        /// <summary>"operation: the library's text (the system's text for native, native)".</summary>
        public static string Message(string operation, NorvatErrorCode code, int native)
        {
            string text = operation + ": " + Marshal.PtrToStringAnsi(NorvatNative.norvat_error_text((int)code));
            return native == 0 ? text : text + " (" + Describe(native) + ", " + native + ")";
        }

        // As Windows makes an HRESULT of a Win32 code (HRESULT_FROM_WIN32); on Linux the errno.
        internal static int HResult(int native)
        {
            return native <= 0 ? native : unchecked((int)(0x80070000u | ((uint)native & 0xFFFFu)));
        }

        // Win32Exception's own text is right on Windows only: elsewhere the code is an errno,
        // which libc describes.
        static string Describe(int native)
        {
            if (NorvatNative.IsWindows)
                return new Win32Exception(native).Message;
            try {
                IntPtr text = Libc.strerror(native);
                if (text != IntPtr.Zero)
                    return Marshal.PtrToStringAnsi(text);
            } catch (DllNotFoundException) {
            } catch (EntryPointNotFoundException) {
            }
            return "error";
        }

        static class Libc
        {
            [DllImport("libc.so.6", CallingConvention = CallingConvention.Cdecl)]
            public static extern IntPtr strerror(int code);
        }
    }

    /// <summary>One port the system has now: an entry of norvat_list_ports.</summary>
    public sealed class NorvatPortInfo
    {
        internal NorvatPortInfo(Func<NorvatField, string> field)
        {
            Name = field(NorvatField.Name);
            Kind = field(NorvatField.Kind);
            Description = field(NorvatField.Description);
            Serial = field(NorvatField.Serial);
            VendorId = field(NorvatField.VendorId);
            ProductId = field(NorvatField.ProductId);
            Manufacturer = field(NorvatField.Manufacturer);
            Model = field(NorvatField.Model);
            CommandSet = field(NorvatField.CommandSet);
            DeviceId = field(NorvatField.DeviceId);
        }

        /// <summary>What NorvatPort.Open takes to open this port.</summary>
        public string Name { get; private set; }
        /// <summary>"serial", "parallel" or "usb".</summary>
        public string Kind { get; private set; }
        /// <summary>"COM1", "LPT1", a USB printer's description.</summary>
        public string Description { get; private set; }
        /// <summary>A USB printer's serial. Each field is "" where it is unknown.</summary>
        public string Serial { get; private set; }
        /// <summary>Four lower-case hex digits, "04b8".</summary>
        public string VendorId { get; private set; }
        /// <summary>Four lower-case hex digits, "0202".</summary>
        public string ProductId { get; private set; }
        /// <summary>MFG of the printer's IEEE 1284 device ID.</summary>
        public string Manufacturer { get; private set; }
        /// <summary>MDL of the device ID.</summary>
        public string Model { get; private set; }
        /// <summary>CMD of the device ID: "ESC/POS", "ZPL", ...</summary>
        public string CommandSet { get; private set; }
        /// <summary>The whole device ID.</summary>
        public string DeviceId { get; private set; }

        /// <inheritdoc />
        public override string ToString()
        {
            return Name;
        }
    }

    /// <summary>
    /// A port's state (norvat_status, norvat_escpos_status). Each flag is null where the port
    /// cannot report it (not in Known), so "not known" is never read as "fine".
    /// </summary>
    public sealed class NorvatStatus
    {
        // The bits each answer of norvat_escpos_status reports, by how many requests were answered
        // (asked in the order DLE EOT 1, 2, 4, 3; see include/norvat.h).
        static readonly NorvatState[] EscPosKnown = {
            NorvatState.None,
            NorvatState.Offline | NorvatState.DrawerOpen,
            NorvatState.Offline | NorvatState.DrawerOpen | NorvatState.CoverOpen | NorvatState.FeedButton |
                NorvatState.PaperOut | NorvatState.Error,
            NorvatState.Offline | NorvatState.DrawerOpen | NorvatState.CoverOpen | NorvatState.FeedButton |
                NorvatState.PaperOut | NorvatState.Error | NorvatState.PaperLow,
            NorvatState.Offline | NorvatState.DrawerOpen | NorvatState.CoverOpen | NorvatState.FeedButton |
                NorvatState.PaperOut | NorvatState.Error | NorvatState.PaperLow | NorvatState.CutterError |
                NorvatState.Unrecoverable,
        };

        /// <summary>A state as the library reported it.</summary>
        public NorvatStatus(NorvatState state, NorvatState known, int answered)
        {
            Known = known;
            State = state & known;
            Answered = answered;
        }

        internal static NorvatStatus FromEscPos(NorvatState state, int answered)
        {
            return new NorvatStatus(state, EscPosKnown[Math.Min(Math.Max(answered, 0), 4)], answered);
        }

        /// <summary>The bits that are so.</summary>
        public NorvatState State { get; private set; }
        /// <summary>The bits the port reported at all.</summary>
        public NorvatState Known { get; private set; }
        /// <summary>EscPosStatus: the requests the printer answered, 1 to 4; Status: 0.</summary>
        public int Answered { get; private set; }

        /// <summary>
        /// False when a known bit of NORVAT_STATE_NOT_READY is set, true when some are known and
        /// none is set, null when the port reports none of them (a serial line's modem lines).
        /// </summary>
        public bool? Ready
        {
            get
            {
                if ((Known & NorvatState.NotReady) == 0)
                    return null;
                return (State & NorvatState.NotReady) == 0;
            }
        }

        public bool? PaperOut { get { return Flag(NorvatState.PaperOut); } }
        public bool? Offline { get { return Flag(NorvatState.Offline); } }
        public bool? Error { get { return Flag(NorvatState.Error); } }
        public bool? CoverOpen { get { return Flag(NorvatState.CoverOpen); } }
        public bool? PaperLow { get { return Flag(NorvatState.PaperLow); } }
        public bool? FeedButton { get { return Flag(NorvatState.FeedButton); } }
        public bool? DrawerOpen { get { return Flag(NorvatState.DrawerOpen); } }
        public bool? CutterError { get { return Flag(NorvatState.CutterError); } }
        public bool? Unrecoverable { get { return Flag(NorvatState.Unrecoverable); } }
        public bool? Dsr { get { return Flag(NorvatState.Dsr); } }
        public bool? Cts { get { return Flag(NorvatState.Cts); } }
        public bool? Dcd { get { return Flag(NorvatState.Dcd); } }
        public bool? Disconnected { get { return Flag(NorvatState.Disconnected); } }

        bool? Flag(NorvatState bit)
        {
            if ((Known & bit) == 0)
                return null;
            return (State & bit) != 0;
        }

        /// <inheritdoc />
        public override string ToString()
        {
            return "state " + State + " of known " + Known;
        }
    }

    /// <summary>
    /// One open port: a handle of its own (norvat_open), so any number may be open at once, each
    /// independent of the others, and a failed open never touches another. Calls on one port run
    /// one after another; Cancel may come from any thread. Dispose (or Close) cancels the call in
    /// flight and closes the port once the calls under way have returned; the object then throws
    /// ObjectDisposedException.
    /// </summary>
    public sealed class NorvatPort : IDisposable
    {
        /// <summary>For ReadTimeout, WriteTimeout, EscPosStatus: the library's own bounds.</summary>
        public const int DefaultTimeout = NorvatNative.TimeoutDefault;

        /// <summary>What every open sets a serial port to.</summary>
        public const int DefaultBaudRate = 9600;

        /// <summary>The most Read(int) asks for at once: its buffer is allocated per call.</summary>
        public const int MaxReadSize = 65536;

        readonly NorvatPortHandle handle;
        readonly string name;
        int baudRate = DefaultBaudRate;
        int readTimeout = DefaultTimeout;
        int writeTimeout = DefaultTimeout;

        NorvatPort(string name, NorvatPortHandle handle)
        {
            this.name = name;
            this.handle = handle;
        }

        /// <summary>
        /// Opens a port: "COM1", "LPT1", "tcp://HOST[:PORT]", on Linux a /dev/ path, or a USB
        /// printer of any maker by the Name GetPorts lists, its serial or "description#serial"
        /// (norvat_open lists them all). Throws by the portable code, see NorvatErrors.
        /// </summary>
        public static NorvatPort Open(string name)
        {
            if (name == null)
                throw new ArgumentNullException("name");
            if (name.Length == 0)
                throw new ArgumentException("The port name is empty.", "name");
            NorvatPortHandle handle;
            int result = NorvatNative.norvat_open(name, out handle);
            int native = Marshal.GetLastWin32Error();
            if (result != 0) {
                handle.Dispose(); // never set: nothing to close
                throw NorvatErrors.For("open " + name, result, native);
            }
            return new NorvatPort(name, handle);
        }

        /// <summary>Every port that can be opened now, of every kind and maker (norvat_list_ports).</summary>
        public static IReadOnlyList<NorvatPortInfo> GetPorts()
        {
            IntPtr list;
            int count = NorvatNative.norvat_list_ports(out list);
            int native = Marshal.GetLastWin32Error();
            if (count < 0)
                throw NorvatErrors.For("list ports", count, native);
            List<NorvatPortInfo> ports = new List<NorvatPortInfo>(count);
            try {
                for (int i = 0; i < count; i++) {
                    int index = i;
                    ports.Add(new NorvatPortInfo(field =>
                        Marshal.PtrToStringAnsi(NorvatNative.norvat_port_list_get(list, index, (int)field)) ?? ""));
                }
            } finally {
                NorvatNative.norvat_free_port_list(list);
            }
            return ports.AsReadOnly();
        }

        /// <summary>The version text of GetDllVersion, "Ver1.2 2011/8/1" (see include/norvat.h).</summary>
        public static string Version
        {
            get
            {
                byte[] buffer = new byte[NorvatNative.VersionBufferSize];
                int n = NorvatNative.GetDllVersion(buffer);
                if (n <= 0)
                    throw NorvatErrors.For("version", (int)NorvatErrorCode.System, Marshal.GetLastWin32Error());
                return AnsiText(buffer, n);
            }
        }

        /// <summary>The name this port was opened with.</summary>
        public string Name
        {
            get { return name; }
        }

        /// <summary>Whether this object's port is open (not yet disposed).</summary>
        public bool IsOpen
        {
            get { return !handle.IsClosed; }
        }

        /// <summary>
        /// Milliseconds a Read waits for the first byte: 0 or more, or DefaultTimeout (about
        /// 450 ms). A read that gets nothing in time returns nothing; it is no failure.
        /// </summary>
        public int ReadTimeout
        {
            get { return readTimeout; }
            set { readTimeout = CheckTimeout(value); }
        }

        /// <summary>
        /// Milliseconds a Write may take in all: 0 or more, or DefaultTimeout (the library's
        /// bounds: about 20 s; a serial line never waits longer than its own bound).
        /// </summary>
        public int WriteTimeout
        {
            get { return writeTimeout; }
            set { writeTimeout = CheckTimeout(value); }
        }

        /// <summary>
        /// A serial line's speed in bit/s: what was last set, or 9600, what every open sets. Other
        /// ports throw NorvatNotSupportedException; the line keeps its speed when refused.
        /// </summary>
        public int BaudRate
        {
            get
            {
                CheckOpen();
                return baudRate;
            }
            set
            {
                if (value <= 0)
                    throw new ArgumentOutOfRangeException("value", value, "The line speed must be above 0.");
                CheckOpen();
                Check("set baud rate " + value, NorvatNative.norvat_set_baud_rate(handle, value));
                baudRate = value;
            }
        }

        /// <summary>Writes all of data: see Write(byte[], int, int).</summary>
        public int Write(byte[] data)
        {
            if (data == null)
                throw new ArgumentNullException("data");
            return Write(data, 0, data.Length);
        }

        /// <summary>
        /// Writes count bytes from buffer[offset], waiting at most WriteTimeout. Returns how many
        /// went out: fewer than count when the device stopped taking them (the rest never goes
        /// out later; do not send again what went out). Throws when none went out:
        /// NorvatTimeoutException, NorvatException (GONE), NorvatCancelledException.
        /// </summary>
        public int Write(byte[] buffer, int offset, int count)
        {
            CheckRange(buffer, offset, count);
            CheckOpen();
            GCHandle pin = GCHandle.Alloc(buffer, GCHandleType.Pinned);
            try {
                IntPtr at = IntPtr.Add(pin.AddrOfPinnedObject(), offset);
                return Check("write", NorvatNative.norvat_write(handle, at, count, writeTimeout));
            } finally {
                pin.Free();
            }
        }

        /// <summary>
        /// Sends a command: text in the system's 8-bit code page, then CR LF, as one write. Throws
        /// unless all of it went out (NorvatTimeoutException when only part did).
        /// </summary>
        public void Command(string text)
        {
            if (text == null)
                throw new ArgumentNullException("text");
            if (text.IndexOf('\0') >= 0)
                throw new ArgumentException("The command holds a NUL.", "text");
            byte[] line = AnsiBytes(text + "\r\n");
            int sent = Write(line);
            if (sent != line.Length)
                throw new NorvatTimeoutException("command: " + sent + " of " + line.Length + " bytes went out",
                                                 NorvatErrorCode.Timeout, 0);
        }

        /// <summary>What the device sent, at most max bytes (and MaxReadSize); empty when nothing came.</summary>
        public byte[] Read(int max = 4096)
        {
            if (max < 0)
                throw new ArgumentOutOfRangeException("max", max, "The most bytes to read must be 0 or more.");
            byte[] buffer = new byte[Math.Min(max, MaxReadSize)];
            int n = Read(buffer, 0, buffer.Length);
            Array.Resize(ref buffer, n);
            return buffer;
        }

        /// <summary>
        /// Reads at most count bytes into buffer[offset], waiting at most ReadTimeout for the
        /// first. Returns the bytes read; 0 when nothing came in time (unlike SerialPort, no
        /// exception: nothing to read is no failure).
        /// </summary>
        public int Read(byte[] buffer, int offset, int count)
        {
            CheckRange(buffer, offset, count);
            CheckOpen();
            GCHandle pin = GCHandle.Alloc(buffer, GCHandleType.Pinned);
            try {
                IntPtr at = IntPtr.Add(pin.AddrOfPinnedObject(), offset);
                return Check("read", NorvatNative.norvat_read(handle, at, count, readTimeout));
            } finally {
                pin.Free();
            }
        }

        /// <summary>The port's own state, without a byte sent (norvat_status).</summary>
        public NorvatStatus Status()
        {
            CheckOpen();
            uint state, known;
            Check("status", NorvatNative.norvat_status(handle, out state, out known));
            return new NorvatStatus((NorvatState)state, (NorvatState)known, 0);
        }

        /// <summary>
        /// An ESC/POS printer's state from its real-time status requests, waiting at most timeoutMs
        /// in all (DefaultTimeout: 1000 ms). Answered says how many of the 4 were answered; the
        /// bits of the others are null. NorvatTimeoutException when none was (no ESC/POS printer).
        /// </summary>
        public NorvatStatus EscPosStatus(int timeoutMs = DefaultTimeout)
        {
            CheckTimeout(timeoutMs);
            CheckOpen();
            uint state;
            int answered = Check("ESC/POS status", NorvatNative.norvat_escpos_status(handle, timeoutMs, out state));
            return NorvatStatus.FromEscPos((NorvatState)state, answered);
        }

        /// <summary>A network printer's bytes not acknowledged yet; 0 where the platform cannot say.</summary>
        public int Pending
        {
            get
            {
                CheckOpen();
                return Check("pending", NorvatNative.norvat_pending(handle));
            }
        }

        /// <summary>Throws away what the device sent and nobody read; the bytes the library saw.</summary>
        public int DiscardInput()
        {
            CheckOpen();
            return Check("discard input", NorvatNative.norvat_discard_input(handle));
        }

        /// <summary>
        /// Ends the call in flight on this port, from any thread: a write returns what went out, a
        /// read what it has, or they throw NorvatCancelledException. Harmless on a closed port.
        /// </summary>
        public void Cancel()
        {
            if (handle.IsClosed)
                return;
            try {
                Check("cancel", NorvatNative.norvat_cancel(handle));
            } catch (ObjectDisposedException) {
                // Closed meanwhile by another thread: nothing is in flight any more.
            }
        }

        /// <summary>Cancels the call in flight and closes the port; harmless when repeated.</summary>
        public void Close()
        {
            Cancel();
            handle.Dispose();
        }

        /// <summary>Closes the port: see Close.</summary>
        public void Dispose()
        {
            Close();
        }

        // A result of the library: the count it gave, or the exception its code makes.
        int Check(string operation, int result)
        {
            if (result >= 0)
                return result;
            throw NorvatErrors.For(operation + " " + name, result, Marshal.GetLastWin32Error());
        }

        void CheckOpen()
        {
            if (handle.IsClosed)
                throw new ObjectDisposedException(GetType().FullName, "The port " + name + " was closed.");
        }

        static int CheckTimeout(int milliseconds)
        {
            if (milliseconds < 0 && milliseconds != DefaultTimeout)
                throw new ArgumentOutOfRangeException("value", milliseconds,
                                                      "A timeout is 0 ms or more, or DefaultTimeout.");
            return milliseconds;
        }

        static void CheckRange(byte[] buffer, int offset, int count)
        {
            if (buffer == null)
                throw new ArgumentNullException("buffer");
            if (offset < 0 || offset > buffer.Length)
                throw new ArgumentOutOfRangeException("offset", offset, "Outside the buffer.");
            if (count < 0 || count > buffer.Length - offset)
                throw new ArgumentOutOfRangeException("count", count, "Past the end of the buffer.");
        }

        // Texts as the marshaller encodes them for the library (the system's 8-bit code page on
        // Windows, UTF-8 on Mono), so a listed name passed back names the same bytes.
        static byte[] AnsiBytes(string text)
        {
            IntPtr ansi = Marshal.StringToHGlobalAnsi(text);
            try {
                int length = 0;
                while (Marshal.ReadByte(ansi, length) != 0)
                    length++;
                byte[] bytes = new byte[length];
                Marshal.Copy(ansi, bytes, 0, length);
                return bytes;
            } finally {
                Marshal.FreeHGlobal(ansi);
            }
        }

        static string AnsiText(byte[] buffer, int length)
        {
            GCHandle pin = GCHandle.Alloc(buffer, GCHandleType.Pinned);
            try {
                return Marshal.PtrToStringAnsi(pin.AddrOfPinnedObject(), Math.Min(length, buffer.Length)) ?? "";
            } finally {
                pin.Free();
            }
        }
    }
}
