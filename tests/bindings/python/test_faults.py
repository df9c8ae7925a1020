"""The norvat package against libNorvat.so and an in-process umockdev test bed, with the faults
hosts meet: bytes that must arrive exactly, printers that come and go between listings, a
printer pulled mid-command, two host processes on one serial port, ports replaced under an
object that still holds them. (A device that stops taking bytes is the library's own test.)
Run under umockdev-wrapper."""
import errno
import os
import select
import shutil
import subprocess
import sys
import tempfile
import termios
import time
import unittest

import norvat
from testbed import Testbed, printer

LISTING = "Label printer front desk#LBL0042"
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

    def test_each_kind_of_name_reaches_its_device(self):
        for name, node in (("COM1", "/dev/ttyS0"), ("1", "/dev/ttyS0"), ("/dev/ttyS0", "/dev/ttyS0"),
                           ("LPT1", "/dev/lp0"), ("0", "/dev/lp0"), ("6", "/dev/usb/lp0"),
                           (LISTING, "/dev/usb/lp0"), ("LBL0042", "/dev/usb/lp0"),
                           (LISTING.encode(), "/dev/usb/lp0")):
            with self.subTest(port=name):
                with norvat.open(name) as port:
                    self.assertEqual(port.write(b"hello"), 5)
                    self.assertEqual(receive(self.bed.device_end(node), 16, 0.5), b"hello")
        for name in ("LPT2", "5", "COM2", "2"):  # described nowhere: no such node
            with self.subTest(port=name), self.assertRaises(FileNotFoundError):
                norvat.open(name)

    def test_bytes_arrive_exactly_both_ways(self):
        port = self.open(LISTING)
        port.command("~HS")
        self.assertEqual(receive(self.printer, 64, 0.5), b"~HS\r\n")
        every_byte = bytes(range(256))
        self.assertEqual(port.write(every_byte), 256)
        self.assertEqual(port.write(bytearray(b"\x00\x1b")), 2)
        self.assertEqual(port.write(b""), 0)
        self.assertEqual(receive(self.printer, 1024, 0.5), every_byte + b"\x00\x1b")
        for wrong in ("text", 5, None):
            with self.subTest(write=wrong), self.assertRaises(TypeError):
                port.write(wrong)
        self.assertEqual(receive(self.printer, 16, 0.3), b"", "a refused write sent bytes")

        os.write(self.printer, b"OK\x00\xff\r\n0123456789")
        time.sleep(0.05)
        self.assertEqual(port.read(6), b"OK\x00\xff\r\n")
        self.assertEqual(port.read(4), b"0123")
        self.assertEqual(port.read(0), b"")
        self.assertEqual(port.read(norvat.MAX_READ * 16), b"456789")
        started = time.monotonic()
        self.assertEqual(port.read(), b"")
        self.assertLess(time.monotonic() - started, 0.8)  # the library waits about 450 ms

    def test_listing_follows_printers_plugged_and_pulled_between_calls(self):
        self.assertEqual(norvat.usb_printers(), [LISTING])
        self.bed.add(printer("1-3", "lp1", "LBL0043", "Back office"))
        self.assertEqual(sorted(norvat.usb_printers()), sorted([LISTING, "Back office#LBL0043"]))
        back = self.open("Back office#LBL0043")
        back.command("X")
        self.assertEqual(receive(self.bed.device_end("/dev/usb/lp1"), 16, 0.5), b"X\r\n")
        back.close()

        self.bed.unplug("1-3", "lp1")
        self.assertEqual(norvat.usb_printers(), [LISTING])
        with self.assertRaises(OSError) as caught:
            self.open("Back office#LBL0043")
        self.assertEqual(caught.exception.errno, errno.ENODEV)
        self.bed.unplug("1-2", "lp0")
        self.assertEqual(norvat.usb_printers(), [], "an empty listing is not a failure")

    def test_printer_pulled_mid_command_fails_fast_and_comes_back(self):
        port = self.open(LISTING)
        port.command("~HS")
        self.assertEqual(receive(self.printer, 16, 0.5), b"~HS\r\n")
        self.bed.unplug("1-2", "lp0")
        for action in (lambda: port.command("~HS"), lambda: port.write(b"\x1b@"), port.read):
            started = time.monotonic()
            with self.assertRaises(OSError) as caught:
                action()
            self.assertEqual(caught.exception.errno, errno.EIO)
            self.assertLess(time.monotonic() - started, 2.0)
        port.close()
        self.assertFalse(port.is_open)

        self.bed.add(printer("1-3", "lp1", "LBL0042", "Label printer front desk"))
        again = self.open(LISTING)
        again.command("~HS")
        self.assertEqual(receive(self.bed.device_end("/dev/usb/lp1"), 16, 0.5), b"~HS\r\n")

    def test_second_host_process_gets_ebusy_until_the_first_closes(self):
        other = subprocess.Popen([sys.executable, "-c", HOLD, "COM1"], stdin=subprocess.PIPE,
                                 stdout=subprocess.PIPE)
        try:
            self.assertEqual(other.stdout.readline(), b"held\n")
            with self.assertRaises(OSError) as caught:
                self.open("COM1")
            self.assertEqual(caught.exception.errno, errno.EBUSY)
        finally:
            other.communicate(b"\n", timeout=10)
        self.assertEqual(other.returncode, 0)
        port = self.open("COM1")
        port.baud_rate = 38400
        self.assertEqual(termios.tcgetattr(self.serial)[5], termios.B38400)
        self.assertEqual(port.baud_rate, 38400)

    def test_ports_close_on_every_way_out(self):
        before = device_fds()
        with norvat.open(LISTING) as port:
            self.assertEqual(len(device_fds() - before), 1)
        self.assertEqual(device_fds(), before)
        with self.assertRaises(RuntimeError):
            with norvat.open("COM1"):
                raise RuntimeError("host failed")
        self.assertEqual(device_fds(), before)
        self.assertFalse(port.is_open)

    def test_an_object_whose_port_was_replaced_neither_drives_nor_closes_it(self):
        printer_port = self.open(LISTING)
        serial_port = self.open("COM1")
        self.assertFalse(printer_port.is_open)
        for action in (lambda: printer_port.command("~HS"), lambda: printer_port.write(b"x"),
                       printer_port.read, lambda: setattr(printer_port, "baud_rate", 9600)):
            with self.assertRaises(OSError) as caught:
                action()
            self.assertEqual(caught.exception.errno, errno.EBADF)
        self.assertEqual(receive(self.serial, 16, 0.3), b"", "a stale object reached the port")
        printer_port.close()
        self.assertTrue(serial_port.is_open)
        serial_port.command("A")
        self.assertEqual(receive(self.serial, 16, 0.5), b"A\r\n")

        # No such printer: the open port stays. A port that cannot be opened: none is open.
        with self.assertRaises(OSError) as caught:
            self.open("NOPE0001")
        self.assertEqual(caught.exception.errno, errno.ENODEV)
        self.assertTrue(serial_port.is_open)
        with self.assertRaises(FileNotFoundError):
            self.open("COM55")
        self.assertFalse(serial_port.is_open)


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
