"""Runs a command (the Node.js binding's tests) beside emulated devices, under umockdev-wrapper:
an in-process test bed lives as long as the command, which sees its devices:
    /dev/ttyS0     COM1, sends back what it is sent
    /dev/lp0       LPT1
    /dev/usb/lp0   LBL0042, 03f0:1950, "Label printer front desk": sends back, ready
    /dev/usb/lp1   RCP0001, 04b8:0202 (a maker the ten exports never list): sends back, out of
                   paper, pulled out when it is sent "UNPLUG"
    /dev/usb/lp2   RP80A001, 04b8:0202: takes nothing, a printer that stopped taking bytes
usage: umockdev-wrapper python3 bed.py COMMAND...      exit status: the command's"""
import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "python"))
from testbed import Testbed, printer  # noqa: E402

bed = Testbed()
bed.add(printer("1-3", "lp1", "RCP0001", "Receipt printer", "04b8", "0202",
                "MFG:Maker;MDL:Receipt 80;CMD:ESC/POS;DES:Receipt printer;"))
bed.set_printer_status("/dev/usb/lp0", 0x18)
bed.set_printer_status("/dev/usb/lp1", 0x38)
bed.echo("/dev/ttyS0")
bed.echo("/dev/usb/lp0", "1-2")
bed.echo("/dev/usb/lp1", "1-3")
# The test bed's environment (UMOCKDEV_DIR) is in this process's own, which the command inherits.
status = subprocess.call(sys.argv[1:])
bed.close()
sys.exit(status)
