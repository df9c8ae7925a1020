"""The norvat package as a host uses it, inside
    umockdev-run -d tests/bindings/devices.umockdev -s /dev/usb/lp0=tests/bindings/printer.script
The printer's script wants exactly the bytes sent here, in this order (a wrong byte ends the
run with SIGTRAP); the tests are numbered to keep that order."""
import errno
import io
import os
import socket
import subprocess
import unittest

import norvat

LISTING = "Label printer front desk#LBL0042"


def stty(node):
    return subprocess.run(["stty", "-F", node], capture_output=True, text=True, timeout=10).stdout


class Scripted(unittest.TestCase):
    def test_1_lists_the_emulated_ports(self):
        listed = {p.serial or p.kind: p for p in norvat.ports()}
        self.assertEqual((listed["serial"].name, listed["serial"].description), ("/dev/ttyS0", "COM1"))
        self.assertEqual((listed["parallel"].name, listed["parallel"].description), ("/dev/lp0", "LPT1"))
        usb = listed["LBL0042"]
        self.assertEqual((usb.description, usb.serial, usb.vendor_id, usb.product_id, usb.model),
                         ("Label printer front desk", "LBL0042", "03f0", "1950", "LP-1"))
        self.assertEqual(norvat.usb_printers(), [LISTING])

    def test_2_ports_open_at_once_talk_each_to_its_device(self):
        with norvat.open(LISTING) as printer, norvat.open("COM1") as serial, \
                norvat.open("LPT1"):
            self.assertEqual(printer.write(b"~HS\r\n"), 5)
            serial.baud_rate = 19200  # while the printer answers
            self.assertIn("speed 19200 baud", stty("/dev/ttyS0"))
            self.assertEqual(printer.read(), b"READY\r\n")
            self.assertEqual(printer.write(b"\x1b@\x00\xff\r\n", timeout=2), 6)
            self.assertEqual(printer.read(timeout=2), b"A\x00B\xff\n")
            self.assertEqual(printer.read(timeout=0), b"")
        self.assertFalse(printer.is_open or serial.is_open)

    def test_3_failures_raise_python_exceptions_with_the_codes(self):
        with self.assertRaises(FileNotFoundError) as caught:
            norvat.open("COM55")
        self.assertEqual((caught.exception.errno, caught.exception.filename), (errno.ENOENT, "COM55"))
        with norvat.open(LISTING):
            with self.assertRaises(norvat.Busy) as caught:
                norvat.open(LISTING)
            self.assertEqual(caught.exception.errno, errno.EBUSY)
        for name, error in ((None, TypeError), (1, TypeError), ("", ValueError),
                            ("COM1\0", ValueError), ("COM1234567890123", ValueError)):
            with self.subTest(name=name), self.assertRaises(error) as caught:
                norvat.open(name)
            self.assertNotIsInstance(caught.exception, OSError)

    def test_4_version(self):
        self.assertEqual(norvat.version(), "Ver1.2 2011/8/1")

    @unittest.skipUnless(os.environ.get("NORVAT_TEST_PRINTER"), "no network namespace here")
    def test_5_network_printer_by_its_address(self):
        with norvat.open(os.environ["NORVAT_TEST_PRINTER"]) as port:
            port.command("~HS")
            self.assertEqual(port.read(timeout=2), b"NET:~HS\r\n")
            self.assertEqual(port.pending, 0)
            status = port.status()
            self.assertEqual((status.disconnected, status.paper_out, status.ready), (False, None, True))
            with self.assertRaises(io.UnsupportedOperation):
                port.baud_rate = 19200
        with self.assertRaises(ValueError):
            norvat.open("tcp://printer:0")
        with self.assertRaises(socket.gaierror):
            norvat.open("tcp://no-such-printer.invalid")


if __name__ == "__main__":
    unittest.main()
