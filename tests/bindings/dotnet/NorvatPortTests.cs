// NorvatPort and NorvatNative under Mono against libNorvat.so, run inside
//   umockdev-run -d tests/bindings/devices.umockdev -s /dev/usb/lp0=tests/bindings/printer.script
// One line per case, "ok NAME" or "FAIL NAME: why"; the exit status is the number of failures.
// With the arguments "hold PORT" it is the second host process of the two-process case.
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.Linq;
using System.Runtime.InteropServices;
using System.Text;
using Norvat;

static class NorvatPortTests
{
    const string Listing = "Label printer front desk#LBL0042";
    static int failures;

    static int Main(string[] args)
    {
        if (args.Length == 2 && args[0] == "hold")
            return Hold(args[1]);

        // In the order the printer's script expects its bytes.
        Case("lists the emulated USB printer", () => {
            IReadOnlyList<string> printers = NorvatPort.UsbPrinters();
            Expect(printers.Count == 1 && printers[0] == Listing, "listing: " + string.Join(" | ", printers));
        });
        Case("opens by listing text, sends a command, reads the answer", () => {
            using (NorvatPort port = NorvatPort.Open(Listing)) {
                port.Command("~HS");
                Expect(Text(port.Read()) == "READY\r\n", "answer");
                Expect(port.Write(new byte[0]) == 0, "an empty write reports 0 bytes");
                byte[] raw = { 0x1B, 0x40, 0x00, 0xFF, 0x0D, 0x0A };
                Expect(port.Write(raw) == raw.Length, "raw write count");
                byte[] answer = port.Read();
                Expect(answer.SequenceEqual(new byte[] { 0x41, 0x00, 0x42, 0xFF, 0x0A }),
                       "binary answer: " + BitConverter.ToString(answer));
                Stopwatch clock = Stopwatch.StartNew();
                Expect(port.Read().Length == 0, "nothing more arrives");
                Expect(clock.ElapsedMilliseconds < 800, "an empty read took " + clock.ElapsedMilliseconds + " ms");
                Expect(port.Read(int.MaxValue).Length == 0, "the largest read asks a bounded buffer");
                Throws<ArgumentOutOfRangeException>(() => port.Read(-1));
            }
        });
        Case("serial port: 9600 bit/s on open, then the speed set", () => {
            using (NorvatPort port = NorvatPort.Open("COM1")) {
                Expect(Stty("/dev/ttyS0").Contains("speed 9600 baud") && port.BaudRate == 9600,
                       "after open: " + Stty("/dev/ttyS0") + ", BaudRate " + port.BaudRate);
                port.BaudRate = 19200;
                Expect(Stty("/dev/ttyS0").Contains("speed 19200 baud"), "after 19200: " + Stty("/dev/ttyS0"));
                Throws<ArgumentOutOfRangeException>(() => port.BaudRate = 0);
                Expect(Stty("/dev/ttyS0").Contains("speed 19200 baud") && port.BaudRate == 19200,
                       "a refused rate changed the line or BaudRate: " + port.BaudRate);
            }
            using (NorvatPort lpt = NorvatPort.Open("LPT1")) {
                Throws(25, () => lpt.BaudRate = 19200); // ENOTTY: a parallel port has no line speed
                Expect(lpt.BaudRate == 9600, "a refused speed was kept: " + lpt.BaudRate);
            }
        });
        Case("a missing port throws IOException with ENOENT", () => {
            NorvatException e = Throws(2, () => NorvatPort.Open("COM55"));
            Expect(e.Message.Contains("COM55") && e.Message.Contains("No such file"), "message: " + e.Message);
            using (NorvatPort lpt = NorvatPort.Open("LPT1")) // /dev/lp0 is described, /dev/lp1 is not
                Expect(lpt.IsOpen, "LPT1");
            Throws(2, () => NorvatPort.Open("LPT2"));
            Throws(2, () => NorvatPort.Open("2"));
        });
        Case("bad arguments throw ArgumentNullException, ArgumentException, ArgumentOutOfRangeException", () => {
            Throws<ArgumentNullException>(() => NorvatPort.Open(null));
            Throws<ArgumentException>(() => NorvatPort.Open(""));
            // The library's own refusal: a serial port name over 15 characters.
            Throws<ArgumentException>(() => NorvatPort.Open("COM1234567890123"));
            using (NorvatPort port = NorvatPort.Open("COM1")) {
                Throws<ArgumentNullException>(() => port.Command(null));
                Throws<ArgumentNullException>(() => port.Write(null));
                Expect(port.IsOpen && LibraryHasPort(), "a refused argument closed the port");
            }
        });
        Case("a replaced port throws InvalidOperationException, a disposed one ObjectDisposedException", () => {
            NorvatPort serial = NorvatPort.Open("COM1");
            using (NorvatPort printer = NorvatPort.Open("LBL0042")) {
                Expect(!serial.IsOpen, "the replaced port still says it is open");
                Throws<InvalidOperationException>(() => serial.Command("~HS"));
                serial.Dispose();
                Expect(printer.IsOpen && LibraryHasPort(), "the new port was closed");
                Throws<ObjectDisposedException>(() => serial.Write(new byte[1]));
            }
            Expect(!LibraryHasPort(), "Dispose left the library's port open");
            NorvatPort closed = NorvatPort.Open("COM1");
            closed.Close();
            Throws<ObjectDisposedException>(() => closed.Command("~HS"));
            Throws<ObjectDisposedException>(() => closed.Read());
            Throws<ObjectDisposedException>(() => { int rate = closed.BaudRate; });
            closed.Dispose();
        });
        Case("each code becomes SerialPort's exception and keeps the code", () => {
            var table = new[] {
                new { Code = NorvatReason.Timeout, Type = typeof(NorvatTimeoutException) },
                new { Code = 16, Type = typeof(NorvatAccessException) },   // EBUSY
                new { Code = 13, Type = typeof(NorvatAccessException) },   // EACCES
                new { Code = 5, Type = typeof(NorvatException) },          // EIO
                new { Code = NorvatReason.NotConnected, Type = typeof(NorvatException) },
            };
            foreach (var row in table) {
                Exception e = NorvatErrors.For("write", row.Code);
                Expect(e.GetType() == row.Type && ((INorvatError)e).NativeErrorCode == row.Code,
                       row.Code + " made " + e.GetType().Name);
            }
            Expect(NorvatErrors.For("write", NorvatReason.Timeout) is TimeoutException &&
                   NorvatErrors.For("open", 16) is UnauthorizedAccessException &&
                   NorvatErrors.For("read", 5) is System.IO.IOException, "base types");
        });
        Case("a USB serial nobody has throws IOException with ENODEV and leaves the open port open", () => {
            using (NorvatPort port = NorvatPort.Open("COM1")) {
                Throws(NorvatReason.NotConnected, () => NorvatPort.Open("NOPE0001"));
                Expect(port.IsOpen && LibraryHasPort(), "port given up after ENODEV");
            }
        });
        Case("two host processes: the second gets EBUSY, then the port once the first closes it", () => {
            ProcessStartInfo start = new ProcessStartInfo("mono", "\"" + typeof(NorvatPortTests).Assembly.Location + "\" hold COM1");
            start.UseShellExecute = false;
            start.RedirectStandardInput = true;
            start.RedirectStandardOutput = true;
            using (NorvatPort mine = NorvatPort.Open("LBL0042"))
            using (Process other = Process.Start(start)) {
                string line = other.StandardOutput.ReadLine();
                Expect(line == "held", "the other process said: " + line);
                NorvatAccessException busy = Throws<NorvatAccessException>(() => NorvatPort.Open("COM1"));
                Expect(busy.NativeErrorCode == 16 && busy.Message.Contains("busy"), "EBUSY: " + busy.Message);
                Expect(!mine.IsOpen, "a failed open leaves no port open, and the object must say so");
                other.StandardInput.WriteLine("release");
                other.StandardInput.Close();
                Expect(other.WaitForExit(10000) && other.ExitCode == 0, "the other process did not close");
                using (NorvatPort again = NorvatPort.Open("COM1"))
                    again.BaudRate = 9600;
            }
        });
        Case("version text", () => Expect(NorvatPort.Version == "Ver1.2 2011/8/1", NorvatPort.Version));
        string network = Environment.GetEnvironmentVariable("NORVAT_TEST_PRINTER");
        if (!string.IsNullOrEmpty(network))
            Case("a network printer by its address; a malformed one is an ArgumentException", () => {
                using (NorvatPort port = NorvatPort.Open(network)) {
                    port.Command("~HS");
                    Expect(Text(port.Read()) == "NET:~HS\r\n", "answer");
                }
                Throws<ArgumentException>(() => NorvatPort.Open("tcp://printer:0"));
            });

        Console.WriteLine(failures == 0 ? "all cases passed" : failures + " case(s) failed");
        return failures;
    }

    // Asked for 0 bytes, the library answers reason 0 with a port open and EBADF without one.
    static bool LibraryHasPort()
    {
        NorvatNative.RcvBuf(new byte[1], 0);
        return Marshal.GetLastWin32Error() != NorvatReason.NoPort;
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

    // A device failure: NorvatException (an IOException) with the platform's code.
    static NorvatException Throws(int code, Action action)
    {
        NorvatException e = Throws<NorvatException>(action);
        if (e.NativeErrorCode != code)
            throw new Exception("code " + e.NativeErrorCode + " (" + e.Message + "), wanted " + code);
        return e;
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

    static string Text(byte[] bytes)
    {
        return Encoding.ASCII.GetString(bytes);
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
