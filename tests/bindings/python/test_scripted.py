"""The norvat package as a host uses it, inside
    umockdev-run -d tests/bindings/devices.umockdev -s /dev/usb/lp0=tests/bindings/printer.script
The printer's script wants exactly the bytes sent here, in this order (a wrong byte ends the
run with SIGTRAP); the tests are numbered to keep that order."""
import errno
import os
import socket
import subprocess
import time
import unittest

import norvat

LISTING = "Label printer front desk#LBL0042"


def stty(node):
    return subprocess.run(["stty", "-F", node], capture_output=True, text=True, timeout=10).stdout


class Scripted(unittest.TestCase):
    def test_1_lists_the_emulated_printer(self):
        self.assertEqual(norvat.usb_printers(), [LISTING])

    def test_2_opens_it_by_listing_text_and_talks_to_it(self):
        with norvat.open(LISTING) as port:
            port.command("~HS")
            self.assertEqual(port.read(), b"READY\r\n")
            self.assertEqual(port.write(b"\x1b@\x00\xff\r\n"), 6)
            self.assertEqual(port.read(), b"A\x00B\xff\n")
            started = time.monotonic()
            self.assertEqual(port.read(), b"")
            self.assertLess(time.monotonic() - started, 0.8)  # the library waits about 450 ms
        self.assertFalse(port.is_open)

    def test_3_serial_port_speed(self):
        with norvat.open("COM1") as port:
            self.assertIn("speed 9600 baud", stty("/dev/ttyS0"))
            self.assertEqual(port.baud_rate, 9600)
            port.baud_rate = 19200
            self.assertIn("speed 19200 baud", stty("/dev/ttyS0"))
            self.assertEqual(port.baud_rate, 19200)

    def test_4_missing_port(self):
        with self.assertRaises(FileNotFoundError) as caught:
            norvat.open("COM55")
        self.assertEqual(caught.exception.errno, errno.ENOENT)
        self.assertEqual(caught.exception.filename, "COM55")
        with norvat.open("LPT1"):  # /dev/lp0 is described, /dev/lp1 is not
            pass
        with self.assertRaises(FileNotFoundError):
            norvat.open("LPT2")

    def test_5_bad_arguments_raise_type_or_value_error(self):
        # ValueError for "COM" and 13 digits: the library's own refusal of a name over 15.
        for name, error in ((None, TypeError), (1, TypeError), ("", ValueError), (b"", ValueError),
                            ("COM1\0", ValueError), ("COM1234567890123", ValueError)):
            with self.subTest(port=name), self.assertRaises(error) as caught:
                norvat.open(name)
            self.assertNotIsInstance(caught.exception, OSError)
        with norvat.open("COM1") as port:
            for action, error in ((lambda: port.command(None), TypeError),
                                  (lambda: port.command("~H\0S"), ValueError),
                                  (lambda: port.read(-1), ValueError),
                                  (lambda: port.read("8"), TypeError),
                                  (lambda: setattr(port, "baud_rate", 0), ValueError),
                                  (lambda: setattr(port, "baud_rate", "9600"), TypeError)):
                with self.subTest(error=error.__name__), self.assertRaises(error) as caught:
                    action()
                self.assertNotIsInstance(caught.exception, OSError)
            self.assertTrue(port.is_open)
            self.assertEqual(port.baud_rate, 9600)

    def test_6_version(self):
        self.assertEqual(norvat.version(), "Ver1.2 2011/8/1")

    @unittest.skipUnless(os.environ.get("NORVAT_TEST_PRINTER"), "no network namespace here")
    def test_7_network_printer_by_its_address(self):
        with norvat.open(os.environ["NORVAT_TEST_PRINTER"]) as port:
            port.command("~HS")
            self.assertEqual(port.read(), b"NET:~HS\r\n")
            with self.assertRaises(OSError):
                port.baud_rate = 19200
        with self.assertRaises(ValueError):
            norvat.open("tcp://printer:0")
        with self.assertRaises(socket.gaierror):
            norvat.open("tcp://no-such-printer.invalid")


if __name__ == "__main__":
    unittest.main()
