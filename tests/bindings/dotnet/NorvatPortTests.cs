// NorvatPort under Mono against libNorvat.so and an in-process umockdev test bed (the devices of
// tests/bindings/devices.umockdev, named by NORVAT_TEST_DEVICES), run under umockdev-wrapper; beside a network printer when
// NORVAT_TEST_PRINTER names one (tests/bindings/with_network_printer.sh). The test reads and
// writes each device's end itself, and answers the printers' status requests (LPGETSTATUS) and
// the serial line's modem lines (TIOCMGET) as their drivers would.
// One line per case, "ok NAME" or "FAIL NAME: why"; the exit status is the number of failures.
// With the arguments "hold PORT" it is the second host process of the two-process case.
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.IO;
using System.Linq;
using System.Runtime.InteropServices;
using System.Text;
using System.Threading;
using Norvat;

static class NorvatPortTests
{
    const string Label = "Label printer front desk#LBL0042"; // /dev/usb/lp0, by its listing text
    const string Receipt = "RP80A001";                       // /dev/usb/lp2, 04b8:0202, ESC/POS
    static int failures;

    static int Main(string[] args)
    {
        if (args.Length == 2 && args[0] == "hold")
            return Hold(args[1]);
        Testbed.Start();
        int labelEnd = Testbed.End("/dev/usb/lp0"), receiptEnd = Testbed.End("/dev/usb/lp2");
        int serialEnd = Testbed.End("/dev/ttyS0");
        string network = Environment.GetEnvironmentVariable("NORVAT_TEST_PRINTER");

        Case("the listing: every maker's printer with its fields, the serial and parallel ports", () => {
            var ports = NorvatPort.GetPorts();
            var receipt = ports.Single(p => p.Serial == Receipt);
            Expect(receipt.Kind == "usb" && receipt.VendorId == "04b8" && receipt.ProductId == "0202" &&
                   receipt.Manufacturer == "Acme" && receipt.Model == "RP-80" && receipt.CommandSet == "ESC/POS" &&
                   receipt.DeviceId == "MFG:Acme;MDL:RP-80;CMD:ESC/POS;" && receipt.Description == "RP-80" &&
                   receipt.Name.StartsWith(@"\\?\USB#VID_04B8&PID_0202#RP80A001#"), "receipt printer: " + Shown(receipt));
            Expect(ports.Any(p => p.Name == "/dev/ttyS0" && p.Kind == "serial" && p.Description == "COM1") &&
                   ports.Any(p => p.Name == "/dev/lp0" && p.Kind == "parallel" && p.Description == "LPT1") &&
                   ports.Any(p => p.Serial == "LBL0042" && p.CommandSet == "ZPL") && ports.Count == 4,
                   "listing: " + string.Join(" / ", ports.Select(Shown)));
        });

        using (NorvatPort label = NorvatPort.Open(Label))
        using (NorvatPort receipt = NorvatPort.Open(NorvatPort.GetPorts().Single(p => p.Serial == Receipt).Name))
        using (NorvatPort serial = NorvatPort.Open("COM1")) {
            Case("three ports at once, each round trip exact", () => {
                RoundTrip(label, labelEnd, new byte[] { 0x1B, 0x40, 0x00, 0xFF, 0x0D, 0x0A }, new byte[] { 0x41, 0x00, 0x42, 0xFF, 0x0A });
                RoundTrip(receipt, receiptEnd, new byte[] { 0x1D, 0x56, 0x00 }, new byte[] { 0x80, 0x00, 0x7F });
                RoundTrip(serial, serialEnd, Encoding.ASCII.GetBytes("~HS\r\n"), new byte[] { 0x00, 0xFE, 0x0D });
                if (!string.IsNullOrEmpty(network))
                    using (NorvatPort net = NorvatPort.Open(network)) {
                        net.Command("~HS");
                        Expect(Encoding.ASCII.GetString(net.Read()) == "NET:~HS\r\n", "network printer's answer");
                        RoundTrip(label, labelEnd, new byte[] { 0x31 }, new byte[] { 0x32 });
                    }
            });
            Case("a refused open leaves every open port working", () => {
                Refused<NorvatArgumentException>(() => NorvatPort.Open("tcp://bad:0"), NorvatErrorCode.Argument, 22);
                Refused<NorvatException>(() => NorvatPort.Open("COM55"), NorvatErrorCode.NotFound, 2);
                Refused<NorvatAccessException>(() => NorvatPort.Open("COM1"), NorvatErrorCode.Busy, -1);
                Refused<NorvatException>(() => NorvatPort.Open("#NOPE0001"), NorvatErrorCode.NotFound, -1);
                Expect(label.IsOpen && receipt.IsOpen && serial.IsOpen, "a port object let go of its port");
                RoundTrip(label, labelEnd, new byte[] { 0x01 }, new byte[] { 0x02 });
                RoundTrip(receipt, receiptEnd, new byte[] { 0x03 }, new byte[] { 0x04 });
                RoundTrip(serial, serialEnd, new byte[] { 0x05 }, new byte[] { 0x06 });
            });
            Case("serial line: 9600 bit/s on open, the speed set, a refused one kept; a printer has none", () => {
                Expect(Stty("/dev/ttyS0").Contains("speed 9600 baud") && serial.BaudRate == 9600, "after open: " + Stty("/dev/ttyS0"));
                serial.BaudRate = 19200;
                Expect(Stty("/dev/ttyS0").Contains("speed 19200 baud"), "after 19200: " + Stty("/dev/ttyS0"));
                Throws<ArgumentOutOfRangeException>(() => serial.BaudRate = 0);
                Refused<NorvatNotSupportedException>(() => label.BaudRate = 19200, NorvatErrorCode.Unsupported, -1);
                Expect(serial.BaudRate == 19200 && label.BaudRate == 9600, "speeds " + serial.BaudRate + ", " + label.BaudRate);
            });
            Case("timeouts: a read waits ReadTimeout, a write given up says exactly what went out", () => {
                label.ReadTimeout = 300;
                Stopwatch clock = Stopwatch.StartNew();
                Expect(label.Read().Length == 0 && clock.ElapsedMilliseconds >= 250 && clock.ElapsedMilliseconds < 900,
                       "an empty read with 300 ms took " + clock.ElapsedMilliseconds + " ms");
                label.ReadTimeout = 0;
                clock.Restart();
                Expect(label.Read().Length == 0 && clock.ElapsedMilliseconds < 150, "0 ms took " + clock.ElapsedMilliseconds + " ms");
                label.ReadTimeout = NorvatPort.DefaultTimeout;
                Throws<ArgumentOutOfRangeException>(() => label.WriteTimeout = -2);
                // The device end reads nothing: the pty fills and the write is given up.
                label.WriteTimeout = 500;
                byte[] big = Enumerable.Range(0, 1 << 20).Select(i => (byte)(i * 7)).ToArray();
                clock.Restart();
                int sent = label.Write(big);
                Expect(sent > 0 && sent < big.Length && clock.ElapsedMilliseconds < 2000,
                       sent + " of " + big.Length + " bytes in " + clock.ElapsedMilliseconds + " ms");
                byte[] arrived = Testbed.Receive(labelEnd, big.Length, 1000);
                Expect(arrived.SequenceEqual(big.Take(sent)), arrived.Length + " bytes arrived, the write said " + sent);
                label.WriteTimeout = NorvatPort.DefaultTimeout;
            });
            Case("status: a printer's status byte, a serial line's modem lines, unknown bits null", () => {
                Testbed.PrinterStatus = 0x18; // selected, no error, paper
                NorvatStatus s = receipt.Status();
                Expect(s.Ready == true && s.PaperOut == false && s.Offline == false && s.Error == false &&
                       s.CoverOpen == null && s.Dsr == null && s.Disconnected == null, "fine printer: " + s);
                Testbed.PrinterStatus = 0x28; // paper empty, not selected
                s = receipt.Status();
                Expect(s.Ready == false && s.PaperOut == true && s.Offline == true && s.Error == false, "out of paper: " + s);
                Testbed.ModemLines = 0x100 | 0x40; // TIOCM_DSR | TIOCM_CAR
                s = serial.Status();
                Expect(s.Dsr == true && s.Cts == false && s.Dcd == true && s.PaperOut == null && s.Ready == null, "modem lines: " + s);
                if (!string.IsNullOrEmpty(network))
                    using (NorvatPort net = NorvatPort.Open(network)) {
                        s = net.Status();
                        Expect(s.Disconnected == false && s.Ready == true && s.PaperOut == null && net.Pending >= 0, "network: " + s);
                    }
            });
            Case("ESC/POS status: old input discarded, answers taken one by one, a printer that stops answering", () => {
                Testbed.Send(receiptEnd, new byte[] { 0x12, 0x12, 0x16 }); // earlier status bytes: not answers
                Thread.Sleep(100);
                var requests = new List<byte>();
                Thread printer = new Thread(() => {
                    foreach (byte answer in new byte[] { 0x1A, 0x32 }) { // offline; stopped at the paper end
                        requests.AddRange(Testbed.Receive(receiptEnd, 3, 2000));
                        Testbed.Send(receiptEnd, new[] { answer });
                    }
                    requests.AddRange(Testbed.Receive(receiptEnd, 3, 2000));
                });
                printer.Start();
                NorvatStatus s = receipt.EscPosStatus(800);
                printer.Join();
                Expect(requests.SequenceEqual(new byte[] { 0x10, 0x04, 1, 0x10, 0x04, 2, 0x10, 0x04, 4 }),
                       "requests " + BitConverter.ToString(requests.ToArray()));
                Expect(s.Answered == 2 && s.Offline == true && s.PaperOut == true && s.CoverOpen == false &&
                       s.DrawerOpen == false && s.PaperLow == null && s.CutterError == null && s.Ready == false, "status: " + s);
                Refused<NorvatTimeoutException>(() => label.EscPosStatus(200), NorvatErrorCode.Timeout, -1);
                Testbed.Receive(labelEnd, 3, 200);
                Testbed.Send(serialEnd, new byte[] { 1, 2, 3, 4, 5 });
                Thread.Sleep(100);
                serial.ReadTimeout = 50;
                Expect(serial.DiscardInput() >= 0 && serial.Read().Length == 0, "DiscardInput left bytes to read");
                serial.ReadTimeout = NorvatPort.DefaultTimeout;
            });
            Case("Cancel from another thread ends a read at once; the port goes on", () => {
                serial.ReadTimeout = 10000;
                Stopwatch clock = Stopwatch.StartNew();
                new Thread(() => { Thread.Sleep(200); serial.Cancel(); }).Start();
                Refused<NorvatCancelledException>(() => serial.Read(), NorvatErrorCode.Cancelled, -1);
                Expect(clock.ElapsedMilliseconds < 2000, "cancelled after " + clock.ElapsedMilliseconds + " ms");
                serial.ReadTimeout = NorvatPort.DefaultTimeout;
                RoundTrip(serial, serialEnd, new byte[] { 0x07 }, new byte[] { 0x08 });
            });
            Case("a printer pulled out: GONE at once, the other ports go on", () => {
                Testbed.Unplug("1-4", "lp2");
                Stopwatch clock = Stopwatch.StartNew();
                Refused<NorvatException>(() => receipt.Write(new byte[] { 0x1B, 0x40 }), NorvatErrorCode.Gone, -1);
                Refused<NorvatException>(() => receipt.Status(), NorvatErrorCode.Gone, -1);
                Expect(clock.ElapsedMilliseconds < 2000, "GONE after " + clock.ElapsedMilliseconds + " ms");
                RoundTrip(label, labelEnd, new byte[] { 0x09 }, new byte[] { 0x0A });
            });
        }

        Case("each portable code makes its exception, keeping both codes", () => {
            var table = new[] {
                new { Code = NorvatErrorCode.Argument, Type = typeof(NorvatArgumentException), Base = typeof(ArgumentException) },
                new { Code = NorvatErrorCode.NotFound, Type = typeof(NorvatException), Base = typeof(IOException) },
                new { Code = NorvatErrorCode.Busy, Type = typeof(NorvatAccessException), Base = typeof(UnauthorizedAccessException) },
                new { Code = NorvatErrorCode.Access, Type = typeof(NorvatAccessException), Base = typeof(UnauthorizedAccessException) },
                new { Code = NorvatErrorCode.Timeout, Type = typeof(NorvatTimeoutException), Base = typeof(TimeoutException) },
                new { Code = NorvatErrorCode.Unsupported, Type = typeof(NorvatNotSupportedException), Base = typeof(NotSupportedException) },
                new { Code = NorvatErrorCode.Gone, Type = typeof(NorvatException), Base = typeof(IOException) },
                new { Code = NorvatErrorCode.Cancelled, Type = typeof(NorvatCancelledException), Base = typeof(OperationCanceledException) },
                new { Code = NorvatErrorCode.System, Type = typeof(NorvatException), Base = typeof(IOException) },
                new { Code = (NorvatErrorCode)(-99), Type = typeof(NorvatException), Base = typeof(IOException) },
            };
            foreach (var row in table) {
                Exception e = NorvatErrors.For("write", (int)row.Code, 5);
                INorvatError n = e as INorvatError;
                Expect(e.GetType() == row.Type && row.Base.IsInstanceOfType(e) && n.Code == row.Code &&
                       n.NativeErrorCode == 5 && e.Message.StartsWith("write: "), row.Code + " made " + e.GetType().Name + ": " + e.Message);
            }
        });
        Case("Dispose from another thread ends the call in flight and closes the port", () => {
            NorvatPort port = NorvatPort.Open("COM1");
            port.ReadTimeout = 10000;
            Stopwatch clock = Stopwatch.StartNew();
            new Thread(() => { Thread.Sleep(200); port.Dispose(); }).Start();
            Refused<NorvatCancelledException>(() => port.Read(), NorvatErrorCode.Cancelled, -1);
            Expect(clock.ElapsedMilliseconds < 2000, "ended after " + clock.ElapsedMilliseconds + " ms");
            Thread.Sleep(100);
            Throws<ObjectDisposedException>(() => port.Read());
            port.Cancel();
            using (NorvatPort again = NorvatPort.Open("COM1"))
                Expect(again.IsOpen && !port.IsOpen, "reopened");
        });
        Case("bad arguments are refused before the library", () => {
            Throws<ArgumentNullException>(() => NorvatPort.Open(null));
            Throws<ArgumentException>(() => NorvatPort.Open(""));
            using (NorvatPort port = NorvatPort.Open("COM1")) {
                Throws<ArgumentNullException>(() => port.Write(null));
                Throws<ArgumentOutOfRangeException>(() => port.Read(-1));
                Throws<ArgumentOutOfRangeException>(() => port.Read(new byte[4], 2, 3));
                Throws<ArgumentOutOfRangeException>(() => port.Write(new byte[4], 5, 0));
                Throws<ArgumentException>(() => port.Command("a\0b"));
                Expect(port.Write(new byte[0]) == 0 && port.Read(0).Length == 0, "empty write and read");
            }
        });
        Case("two host processes: the second gets BUSY, then the port once the first closes it", () => {
            ProcessStartInfo start = new ProcessStartInfo("mono", "\"" + typeof(NorvatPortTests).Assembly.Location + "\" hold COM1");
            start.UseShellExecute = false;
            start.RedirectStandardInput = true;
            start.RedirectStandardOutput = true;
            using (Process other = Process.Start(start)) {
                Expect(other.StandardOutput.ReadLine() == "held", "the other process did not hold the port");
                Refused<NorvatAccessException>(() => NorvatPort.Open("COM1"), NorvatErrorCode.Busy, -1);
                other.StandardInput.WriteLine("release");
                other.StandardInput.Close();
                Expect(other.WaitForExit(10000) && other.ExitCode == 0, "the other process did not close");
                using (NorvatPort again = NorvatPort.Open("COM1"))
                    again.BaudRate = 9600;
            }
        });
        Case("version text", () => Expect(NorvatPort.Version == "Ver1.2 2011/8/1", NorvatPort.Version));

        Console.WriteLine(failures == 0 ? "all cases passed" : failures + " case(s) failed");
        Testbed.Stop();
        return failures;
    }

    // Bytes out to the device, exactly; the device's answer back, exactly; both from and into
    // the middle of a buffer, whose bytes around them stay as they were.
    static void RoundTrip(NorvatPort port, int end, byte[] output, byte[] answer)
    {
        byte[] from = new byte[] { 0xEE }.Concat(output).Concat(new byte[] { 0xEE }).ToArray();
        Expect(port.Write(from, 1, output.Length) == output.Length, port.Name + ": write count");
        byte[] arrived = Testbed.Receive(end, output.Length + 1, 2000);
        Expect(arrived.SequenceEqual(output), port.Name + " got " + BitConverter.ToString(arrived));
        Testbed.Send(end, answer);
        byte[] into = Enumerable.Repeat((byte)0xEE, answer.Length + 4).ToArray();
        int n = port.Read(into, 2, answer.Length + 1);
        Expect(n == answer.Length && into.Skip(2).Take(n).SequenceEqual(answer) && into[0] == 0xEE &&
               into[1] == 0xEE && into[n + 2] == 0xEE, port.Name + " read " + BitConverter.ToString(into));
    }

    // The other host process: holds the port until told to let go on its standard input.
    static int Hold(string name)
    {
        using (NorvatPort port = NorvatPort.Open(name)) {
            Console.WriteLine("held");
            Console.Out.Flush();
            Console.ReadLine();
        }
        return 0;
    }

    static void Case(string name, Action body)
    {
        try {
            body();
            Console.WriteLine("ok " + name);
        } catch (Exception e) {
            failures++;
            Console.WriteLine("FAIL " + name + ": " + e.GetType().Name + ": " + e.Message);
        }
    }

    static void Expect(bool condition, string what)
    {
        if (!condition)
            throw new Exception(what);
    }

    // Exactly T with the portable code, and the platform's code unless native is -1.
    static void Refused<T>(Action action, NorvatErrorCode code, int native) where T : Exception
    {
        INorvatError e = (INorvatError)Throws<T>(action);
        if (e.Code != code || (native != -1 && e.NativeErrorCode != native))
            throw new Exception(typeof(T).Name + " with " + e.Code + "/" + e.NativeErrorCode + ", wanted " + code + "/" + native);
    }

    // Exactly T, not a subclass of it, nor anything else.
    static T Throws<T>(Action action) where T : Exception
    {
        try {
            action();
        } catch (Exception e) {
            if (e.GetType() != typeof(T))
                throw new Exception("threw " + e.GetType().Name + " (" + e.Message + "), wanted " + typeof(T).Name);
            return (T)e;
        }
        throw new Exception("nothing thrown, wanted " + typeof(T).Name);
    }

    static string Shown(NorvatPortInfo p)
    {
        return string.Join("|", p.Name, p.Kind, p.Description, p.Serial, p.VendorId, p.ProductId,
                           p.Manufacturer, p.Model, p.CommandSet, p.DeviceId);
    }

    static string Stty(string node)
    {
        ProcessStartInfo start = new ProcessStartInfo("stty", "-F " + node);
        start.UseShellExecute = false;
        start.RedirectStandardOutput = true;
        using (Process stty = Process.Start(start)) {
            string output = stty.StandardOutput.ReadToEnd();
            stty.WaitForExit();
            return output;
        }
    }
}

// The in-process umockdev test bed (libumockdev, as tests/linux/testbed.cpp uses it): the
// devices, each device's end (a pty master), a pulled printer, and the drivers' answers to
// LPGETSTATUS and TIOCMGET; every other request goes to the pty.
static class Testbed
{
    const string Um = "libumockdev.so.0", GObject = "libgobject-2.0.so.0", Libc = "libc.so.6";
    const ulong LPGETSTATUS = 0x060B, TIOCMGET = 0x5415;
    public static volatile int PrinterStatus = 0x18, ModemLines = 0;
    static IntPtr bed;
    static readonly IoctlHandler Handler = OnIoctl; // kept alive for as long as umockdev calls it

    [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
    delegate int IoctlHandler(IntPtr handler, IntPtr client, IntPtr user);

    [DllImport(Um)] static extern IntPtr umockdev_testbed_new();
    [DllImport(Um)] static extern int umockdev_in_mock_environment();
    [DllImport(Um)] static extern int umockdev_testbed_add_from_file(IntPtr bed, string path, IntPtr error);
    [DllImport(Um)] static extern int umockdev_testbed_get_dev_fd(IntPtr bed, string node);
    [DllImport(Um)] static extern IntPtr umockdev_testbed_get_root_dir(IntPtr bed);
    [DllImport(Um)] static extern void umockdev_testbed_remove_device(IntPtr bed, string path);
    [DllImport(Um)] static extern int umockdev_testbed_attach_ioctl(IntPtr bed, string node, IntPtr handler, IntPtr error);
    [DllImport(Um)] static extern IntPtr umockdev_ioctl_base_new();
    [DllImport(Um)] static extern ulong umockdev_ioctl_client_get_request(IntPtr client);
    [DllImport(Um)] static extern IntPtr umockdev_ioctl_client_get_arg(IntPtr client);
    [DllImport(Um)] static extern IntPtr umockdev_ioctl_data_resolve(IntPtr data, UIntPtr offset, UIntPtr length, IntPtr error);
    [DllImport(Um)] static extern void umockdev_ioctl_data_update(IntPtr data, UIntPtr offset, byte[] bytes, int length);
    [DllImport(Um)] static extern int umockdev_ioctl_client_execute(IntPtr client, out int error, IntPtr failure);
    [DllImport(Um)] static extern void umockdev_ioctl_client_complete(IntPtr client, long result, int error);
    [DllImport(GObject)] static extern ulong g_signal_connect_data(IntPtr instance, string signal, IoctlHandler handler,
                                                                   IntPtr data, IntPtr destroy, int flags);
    [DllImport(GObject)] static extern void g_object_unref(IntPtr instance);
    [DllImport(Libc)] static extern IntPtr read(int fd, byte[] buffer, UIntPtr count);
    [DllImport(Libc)] static extern IntPtr write(int fd, byte[] buffer, UIntPtr count);
    [DllImport(Libc)] static extern int poll(long[] fds, UIntPtr count, int timeoutMs); // one pollfd fits a long
    [DllImport(Libc)] static extern int open(string path, int flags);
    [DllImport(Libc)] static extern int dup2(int from, int to);

    public static void Start()
    {
        bed = umockdev_testbed_new();
        // Asked only after the bed exists: umockdev answers this once and keeps the answer.
        if (umockdev_in_mock_environment() == 0)
            throw new Exception("not under umockdev-wrapper: refusing to touch the machine's real ports");
        string devices = Environment.GetEnvironmentVariable("NORVAT_TEST_DEVICES");
        if (devices == null || umockdev_testbed_add_from_file(bed, devices, IntPtr.Zero) == 0)
            throw new Exception("umockdev refused " + devices);
        foreach (string node in new[] { "/dev/usb/lp2", "/dev/ttyS0" }) {
            IntPtr handler = umockdev_ioctl_base_new();
            g_signal_connect_data(handler, "handle-ioctl", Handler, IntPtr.Zero, IntPtr.Zero, 0);
            if (umockdev_testbed_attach_ioctl(bed, node, handler, IntPtr.Zero) == 0)
                throw new Exception("umockdev refused the ioctl handler of " + node);
        }
    }

    // Ends umockdev's thread, which answered the ioctls in here: Mono waits for it at exit.
    public static void Stop()
    {
        g_object_unref(bed);
    }

    public static int End(string node)
    {
        int fd = umockdev_testbed_get_dev_fd(bed, node);
        if (fd < 0)
            throw new Exception("no device end for " + node);
        return fd;
    }

    public static void Send(int end, byte[] bytes)
    {
        if ((long)write(end, bytes, (UIntPtr)bytes.Length) != bytes.Length)
            throw new Exception("the device end took less than " + bytes.Length + " bytes");
    }

    // Up to size bytes from a device end, waiting at most timeoutMs for the next of them.
    public static byte[] Receive(int end, int size, int timeoutMs)
    {
        var data = new List<byte>();
        byte[] chunk = new byte[65536];
        long[] fds = { (long)(uint)end | (1L << 32) }; // fd, events POLLIN
        while (data.Count < size && poll(fds, (UIntPtr)1, timeoutMs) > 0) {
            long n = (long)read(end, chunk, (UIntPtr)Math.Min(chunk.Length, size - data.Count));
            if (n <= 0)
                break;
            data.AddRange(chunk.Take((int)n));
        }
        return data.ToArray();
    }

    // Pulls the printer at usb1/PORT with node /dev/usb/NODE: its records go, and its pty hangs
    // up, as an open descriptor sees a cable pulled.
    public static void Unplug(string port, string node)
    {
        int end = End("/dev/usb/" + node);
        string usb = "/sys/devices/pci0000:00/0000:00:14.0/usb1/" + port;
        foreach (string path in new[] { usb + "/" + port + ":1.0/usbmisc/" + node, usb + "/" + port + ":1.0", usb })
            umockdev_testbed_remove_device(bed, path);
        int nothing = open("/dev/null", 2);
        dup2(nothing, end);
    }

    static int OnIoctl(IntPtr handler, IntPtr client, IntPtr user)
    {
        ulong request = umockdev_ioctl_client_get_request(client);
        if (request == LPGETSTATUS || request == TIOCMGET) {
            IntPtr data = umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), UIntPtr.Zero, (UIntPtr)4, IntPtr.Zero);
            if (data != IntPtr.Zero)
                umockdev_ioctl_data_update(data, UIntPtr.Zero, BitConverter.GetBytes(request == LPGETSTATUS ? PrinterStatus : ModemLines), 4);
            umockdev_ioctl_client_complete(client, data != IntPtr.Zero ? 0 : -1, data != IntPtr.Zero ? 0 : 14);
            return 1;
        }
        int error;
        int result = umockdev_ioctl_client_execute(client, out error, IntPtr.Zero);
        umockdev_ioctl_client_complete(client, result, error);
        return 1;
    }
}
