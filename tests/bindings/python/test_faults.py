"""The norvat package against libNorvat.so and an in-process umockdev test bed, with the faults
hosts meet: ports open side by side, opens refused beside them, bytes that must arrive exactly,
printers that come and go between listings, a printer out of paper, one pulled mid-job, one
that stopped taking bytes, calls cancelled from another thread, two host processes on one port.
Run under umockdev-wrapper."""
import errno
import gc
import io
import os
import select
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import norvat
from testbed import Testbed, printer

LISTING = "Label printer front desk#LBL0042"
# A maker the ten exports never list: the handle functions take every maker.
RECEIPT = dict(port="1-3", node="lp1", serial="RCP0001", description="Receipt printer",
               vendor="04b8", product="0202",
               device_id="MFG:Maker;MDL:Receipt 80;CMD:ESC/POS;DES:Receipt printer;")
HOLD = ("import norvat, sys\n"
        "with norvat.open(sys.argv[1]):\n"
        "    print('held', flush=True)\n"
        "    sys.stdin.readline()\n")


def receive(fd, size, timeout=2.0):
    """Up to size bytes from a device end, waiting at most timeout for them."""
    data = b""
    end = time.monotonic() + timeout
    while len(data) < size:
        left = end - time.monotonic()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            break
        try:
            chunk = os.read(fd, size - len(data))
        except OSError:
            break
        if not chunk:
            break
        data += chunk
    return data


def device_fds():
    """This process's descriptors on emulated device nodes (the library's end of a pty)."""
    found = set()
    for fd in os.listdir("/proc/self/fd"):
        try:
            if os.readlink("/proc/self/fd/" + fd).startswith("/dev/pts/"):
                found.add(int(fd))
        except OSError:
            pass
    return found


class Background(threading.Thread):
    """A call on a thread of its own: its result or exception, and when it ended."""

    def __init__(self, call):
        super().__init__(daemon=True)
        self.call, self.result, self.error, self.ended = call, None, None, None
        self.start()

    def run(self):
        try:
            self.result = self.call()
        except Exception as error:  # noqa: BLE001 - handed to the test
            self.error = error
        self.ended = time.monotonic()


class DeviceFaults(unittest.TestCase):
    def setUp(self):
        self.bed = Testbed()
        self.printer = self.bed.device_end("/dev/usb/lp0")
        self.serial = self.bed.device_end("/dev/ttyS0")
        self.ports = []

    def tearDown(self):
        for port in self.ports:
            port.close()
        self.bed.close()

    def open(self, name):
        port = norvat.open(name)
        self.ports.append(port)
        return port

    def plug_receipt_printer(self):
        self.bed.add(printer(**RECEIPT))
        return self.bed.device_end("/dev/usb/lp1")

    def assert_round_trips(self, pairs):
        """Each (port, device end) pair, all open at once: bytes exact both ways, none crossing
        to another port."""
        for index, (port, end) in enumerate(pairs):
            payload = bytes(range(256)) + b"port %d" % index
            self.assertEqual(port.write(payload), len(payload))
            self.assertEqual(receive(end, 1024, 0.5), payload)
            os.write(end, b"\x00\xffanswer %d" % index)
        for index, (port, _) in enumerate(pairs):
            self.assertEqual(port.read(64), b"\x00\xffanswer %d" % index)

    def test_ports_open_side_by_side_each_exact_both_ways(self):
        receipt_end = self.plug_receipt_printer()
        printer_port, serial_port = self.open(LISTING), self.open("COM1")
        receipt = self.open(RECEIPT["serial"])
        self.assert_round_trips([(printer_port, self.printer), (serial_port, self.serial),
                                 (receipt, receipt_end)])
        self.assertEqual(printer_port.write(bytearray(b"\x1b@")), 2)
        self.assertEqual(printer_port.write(memoryview(b"\x00")), 1)
        self.assertEqual(printer_port.write(b""), 0)
        for wrong in ("text", 5, None):
            with self.subTest(write=wrong), self.assertRaises(TypeError):
                printer_port.write(wrong)
        self.assertEqual(receive(self.printer, 16, 0.3), b"\x1b@\x00", "a refused write sent bytes")
        os.write(self.printer, b"0123456789")
        time.sleep(0.05)
        self.assertEqual(printer_port.read(4), b"0123")
        self.assertEqual(printer_port.read(0), b"")
        self.assertEqual(printer_port.read(norvat.MAX_READ * 16, timeout=0), b"456789")
        started = time.monotonic()
        self.assertEqual(printer_port.read(timeout=0.2), b"")
        self.assertGreater(time.monotonic() - started, 0.15)

    def test_a_refused_open_leaves_every_open_port_working(self):
        # Before ports had handles, the refusal of a malformed address left a Port that said
        # it was closed while the library still held its device.
        printer_port, serial_port = self.open(LISTING), self.open("COM1")
        for name, exception, code, result in (
                ("tcp://bad:0", ValueError, errno.EINVAL, norvat.ERR_ARGUMENT),
                ("COM1234567890123", ValueError, errno.EINVAL, norvat.ERR_ARGUMENT),
                ("COM55", FileNotFoundError, errno.ENOENT, norvat.ERR_NOT_FOUND),
                ("LPT2", FileNotFoundError, errno.ENOENT, norvat.ERR_NOT_FOUND),
                ("NOPE0001", FileNotFoundError, errno.ENODEV, norvat.ERR_NOT_FOUND),
                (LISTING, norvat.Busy, errno.EBUSY, norvat.ERR_BUSY),
                ("/dev/ttyS0", norvat.Busy, errno.EBUSY, norvat.ERR_BUSY)):
            with self.subTest(name=name):
                with self.assertRaises(exception) as caught:
                    self.open(name)
                self.assertEqual((caught.exception.errno, caught.exception.result), (code, result))
                self.assertTrue(printer_port.is_open and serial_port.is_open)
                self.assert_round_trips([(printer_port, self.printer), (serial_port, self.serial)])
        for name, exception in (("", ValueError), ("COM1\0", ValueError), (None, TypeError)):
            with self.subTest(name=name), self.assertRaises(exception) as caught:
                self.open(name)
            self.assertFalse(hasattr(caught.exception, "result"), "refused by the binding itself")

    def test_each_failure_of_an_open_port_raises_its_exception_with_its_codes(self):
        port = self.open(LISTING)
        with self.assertRaises(io.UnsupportedOperation) as caught:
            port.baud_rate = 19200
        self.assertEqual((caught.exception.result, caught.exception.errno),
                         (norvat.ERR_UNSUPPORTED, errno.ENOTTY))
        self.assertEqual(port.baud_rate, norvat.DEFAULT_BAUD_RATE)
        with self.assertRaises(TimeoutError) as caught:  # nothing answers DLE EOT here
            port.escpos_status(timeout=0.3)
        self.assertEqual((caught.exception.result, caught.exception.errno),
                         (norvat.ERR_TIMEOUT, errno.ETIMEDOUT))
        for timeout, exception in ((-1, ValueError), (float("nan"), ValueError), ("1", TypeError)):
            with self.subTest(timeout=timeout), self.assertRaises(exception):
                port.write(b"x", timeout=timeout)
        # What only another machine can make: each result's exception, with the code kept.
        for result, code, exception in ((norvat.ERR_ACCESS, errno.EACCES, PermissionError),
                                        (norvat.ERR_SYSTEM, errno.EIO, OSError),
                                        (norvat.ERR_NOT_FOUND, socket.EAI_NONAME, socket.gaierror)):
            with self.subTest(result=result):
                error = norvat._error(result, code, "COM9")
                self.assertIs(type(error), exception)
                self.assertEqual((error.errno, error.result), (code, result))

    def test_listing_has_every_maker_and_follows_printers_plugged_and_pulled(self):
        self.assertEqual([p.kind for p in norvat.ports()], ["serial", "parallel", "usb", "usb"])
        self.plug_receipt_printer()
        receipt = [p for p in norvat.ports() if p.serial == RECEIPT["serial"]]
        self.assertEqual(receipt, [norvat.PortInfo(
            name="\\\\?\\USB#VID_04B8&PID_0202#RCP0001#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}",
            kind="usb", description="Receipt printer", serial="RCP0001", vendor_id="04b8",
            product_id="0202", manufacturer="Maker", model="Receipt 80", command_set="ESC/POS",
            device_id=RECEIPT["device_id"])])
        self.assertEqual(norvat.usb_printers(), [LISTING], "the ten exports list only their makers")
        by_name = self.open(receipt[0].name)
        by_name.write(b"X")
        self.assertEqual(receive(self.bed.device_end("/dev/usb/lp1"), 16, 0.5), b"X")
        by_name.close()
        self.bed.unplug(RECEIPT["port"], RECEIPT["node"])
        self.assertEqual([p.serial for p in norvat.ports() if p.kind == "usb"],
                         ["LBL0042", "RP80A001"])
        with self.assertRaises(FileNotFoundError):
            self.open(RECEIPT["serial"])

    def test_status_says_paper_out_and_ready_and_what_it_cannot_tell(self):
        self.bed.set_printer_status("/dev/usb/lp0", 0x18)  # before the open, as umockdev wants
        port = self.open(LISTING)
        unknown = dict(cover_open=None, paper_low=None, feed_button=None, drawer_open=None,
                       cutter_error=None, unrecoverable=None, dsr=None, cts=None, dcd=None,
                       disconnected=None)
        for byte, paper_out, offline, error, ready in ((0x38, True, False, False, False),
                                                       (0x18, False, False, False, True),
                                                       (0x08, False, True, False, False),
                                                       (0x10, False, False, True, False)):
            with self.subTest(status=hex(byte)):
                self.bed.set_printer_status("/dev/usb/lp0", byte)
                self.assertEqual(port.status(), norvat.Status(
                    paper_out=paper_out, offline=offline, error=error, ready=ready, **unknown))

    def test_escpos_status_tells_only_what_the_printer_answered(self):
        port = self.open(LISTING)
        os.write(self.printer, b"stale")  # thrown away before asking

        def answer_two():  # offline, then cover open; DLE EOT 4 goes unanswered
            for request, byte in ((b"\x10\x04\x01", b"\x1a"), (b"\x10\x04\x02", b"\x16")):
                if receive(self.printer, 3, 2.0) == request:
                    os.write(self.printer, byte)
        printer_side = Background(answer_two)
        status = port.escpos_status(timeout=0.8)
        printer_side.join()
        self.assertEqual((status.answered, status.offline, status.drawer_open, status.cover_open,
                          status.feed_button, status.paper_out, status.error, status.paper_low,
                          status.cutter_error, status.dsr, status.ready),
                         (2, True, False, True, False, False, False, None, None, None, False))
        self.assertEqual(receive(self.printer, 16, 0.3), b"\x10\x04\x04")

    def test_a_stalled_printer_delays_no_other_port_and_cancel_ends_its_write(self):
        self.plug_receipt_printer()  # nobody reads it: a printer that stopped taking bytes
        stalled, serial_port = self.open(RECEIPT["serial"]), self.open("COM1")
        started = time.monotonic()
        filling = Background(lambda: stalled.write(bytes(1 << 20), timeout=1.5))
        time.sleep(0.1)
        self.assert_round_trips([(serial_port, self.serial)])
        self.assertTrue(filling.is_alive(), "the other port waited for the stalled write")
        filling.join()
        self.assertIsNone(filling.error)
        self.assertLess(filling.result, 1 << 20)
        self.assertGreater(filling.ended - started, 1.4)
        # Full now: a write takes nothing, and a cancel from another thread ends it at once.
        for end_it in (stalled.cancel, stalled.close):
            with self.subTest(by=end_it.__name__):
                writing = Background(lambda: stalled.write(b"more"))
                time.sleep(0.3)
                asked = time.monotonic()
                end_it()
                writing.join(2.0)
                self.assertIsInstance(writing.error, norvat.Cancelled)
                self.assertEqual(writing.error.result, norvat.ERR_CANCELLED)
                self.assertLess(writing.ended - asked, 0.5)
        self.assertFalse(stalled.is_open)
        with self.assertRaises(ValueError):
            stalled.write(b"x")
        stalled.cancel()  # harmless once closed

    def test_printer_pulled_mid_job_fails_fast_and_its_port_takes_it_back(self):
        port = self.open(LISTING)
        self.bed.unplug("1-2", "lp0")
        # The write meets the hung-up device (EIO); the calls after it look for the printer
        # again and find none (ENODEV).
        for action, code in ((lambda: port.write(b"\x1b@"), errno.EIO), (port.read, errno.ENODEV),
                             (port.status, errno.ENODEV)):
            started = time.monotonic()
            with self.assertRaises(norvat.Gone) as caught:
                action()
            self.assertEqual((caught.exception.result, caught.exception.errno), (norvat.ERR_GONE, code))
            self.assertLess(time.monotonic() - started, 2.0)
        self.bed.add(printer("1-5", "lp3", "LBL0042", "Label printer front desk"))
        self.assertEqual(port.write(b"back"), 4)  # the same Port: the library reopened it
        self.assertEqual(receive(self.bed.device_end("/dev/usb/lp3"), 16, 0.5), b"back")

    def test_second_host_process_gets_busy_until_the_first_closes(self):
        other = subprocess.Popen([sys.executable, "-c", HOLD, "COM1"], stdin=subprocess.PIPE,
                                 stdout=subprocess.PIPE)
        try:
            self.assertEqual(other.stdout.readline(), b"held\n")
            with self.assertRaises(norvat.Busy) as caught:
                self.open("COM1")
            self.assertEqual(caught.exception.errno, errno.EBUSY)
        finally:
            other.communicate(b"\n", timeout=10)
        self.assertEqual(other.returncode, 0)
        port = self.open("COM1")
        port.baud_rate = 38400
        self.assertEqual(port.baud_rate, 38400)

    def test_ports_close_on_every_way_out(self):
        before = device_fds()
        with norvat.open(LISTING) as port:
            self.assertEqual(len(device_fds() - before), 1)
        self.assertEqual(device_fds(), before)
        self.assertFalse(port.is_open)
        with self.assertRaises(RuntimeError):
            with norvat.open("COM1"):
                raise RuntimeError("host failed")
        self.assertEqual(device_fds(), before)
        norvat.open("COM1")  # dropped unclosed: its device is let go with it
        gc.collect()
        self.assertEqual(device_fds(), before)


class LibraryLookup(unittest.TestCase):
    def test_the_copy_beside_the_package_comes_first(self):
        folder = tempfile.mkdtemp(prefix="norvat-lookup-")
        try:
            package = os.path.join(folder, "norvat")
            shutil.copytree(os.path.dirname(norvat.__file__), package,
                            ignore=shutil.ignore_patterns("__pycache__"))
            env = {k: v for k, v in os.environ.items() if k not in ("LD_LIBRARY_PATH", "LD_PRELOAD")}
            env["PYTHONPATH"] = folder
            beside = os.path.join(package, "libNorvat.so")
            probe = ("import norvat, norvat._native as n\n"
                     "try:\n    v = norvat.version()\nexcept OSError as e:\n    print('error', e)\n"
                     "else:\n    print(v, n.load()._name)\n")

            def run():
                return subprocess.run([sys.executable, "-c", probe], env=env, cwd=folder,
                                      capture_output=True, text=True, timeout=20).stdout.strip()
            self.assertTrue(run().startswith("error Norvat library not found"), run())
            # With the platform's search able to find the build's copy too, the one beside the
            # package still wins.
            shutil.copy(os.path.join(os.environ["NORVAT_LIB_DIR"], "libNorvat.so.1"), beside)
            env["LD_LIBRARY_PATH"] = os.environ["NORVAT_LIB_DIR"]
            self.assertEqual(run(), "Ver1.2 2011/8/1 " + beside)
            os.unlink(beside)
            self.assertEqual(run(), "Ver1.2 2011/8/1 libNorvat.so")
        finally:
            shutil.rmtree(folder)


if __name__ == "__main__":
    unittest.main()
