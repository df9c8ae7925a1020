"""An in-process umockdev test bed through ctypes, for tests run under umockdev-wrapper: devices
from a description text, the device's end of each node, and unplugging a device the way a
cable pull looks to an open descriptor (read 0, write EIO, the node gone)."""
import ctypes
import os

_um = ctypes.CDLL("libumockdev.so.0")
_gobject = ctypes.CDLL("libgobject-2.0.so.0")
_um.umockdev_testbed_new.restype = ctypes.c_void_p
_um.umockdev_testbed_add_from_string.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
_um.umockdev_testbed_add_from_string.restype = ctypes.c_int
_um.umockdev_testbed_get_dev_fd.argtypes = [ctypes.c_void_p, ctypes.c_char_p]
_um.umockdev_testbed_get_dev_fd.restype = ctypes.c_int
_um.umockdev_testbed_get_root_dir.argtypes = [ctypes.c_void_p]
_um.umockdev_testbed_get_root_dir.restype = ctypes.c_char_p
_um.umockdev_testbed_remove_device.argtypes = [ctypes.c_void_p, ctypes.c_char_p]
_um.umockdev_in_mock_environment.restype = ctypes.c_int
_gobject.g_object_unref.argtypes = [ctypes.c_void_p]

DESCRIPTION = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                           "devices.umockdev")


def printer(port, node, serial, description):
    """The three records of a USB printer at usb1/<port>, node /dev/usb/<node>, as the kernel
    makes them: usblp keeps the IEEE 1284 device id on the interface."""
    base = "/devices/pci0000:00/0000:00:14.0/usb1/" + port
    minor = int(node[2:])
    return ("P: {b}\nN: bus/usb/001/1{m:02d}\nE: DEVNAME=/dev/bus/usb/001/1{m:02d}\n"
            "E: DEVTYPE=usb_device\nE: DRIVER=usb\nE: SUBSYSTEM=usb\n"
            "A: idVendor=03f0\nA: idProduct=1950\nA: serial={s}\nA: product=Label printer\n\n"
            "P: {b}/{p}:1.0\nE: DEVTYPE=usb_interface\nE: DRIVER=usblp\nE: SUBSYSTEM=usb\n"
            "A: ieee1284_id=MFG:Acme;MDL:LP-1;CMD:ZPL;DES:{d};\n\n"
            "P: {b}/{p}:1.0/usbmisc/{n}\nN: usb/{n}\nE: DEVNAME=/dev/usb/{n}\nE: SUBSYSTEM=usbmisc\n"
            "A: dev=180:{m}\n"
            ).format(b=base, p=port, n=node, m=minor, s=serial, d=description)


class Testbed:
    def __init__(self):
        self.tb = _um.umockdev_testbed_new()
        # Asked only after the test bed exists: the library caches its first answer.
        if not _um.umockdev_in_mock_environment():
            raise RuntimeError("not under umockdev-wrapper: real devices would be opened")
        with open(DESCRIPTION, "rb") as f:
            self.add(f.read().decode())

    def add(self, text):
        if not _um.umockdev_testbed_add_from_string(self.tb, text.encode(), None):
            raise RuntimeError("umockdev refused the description")

    def device_end(self, node):
        """The device's side of /dev/<node> (a pty master): what the library writes comes out
        here, what is written here the library reads."""
        fd = _um.umockdev_testbed_get_dev_fd(self.tb, node.encode())
        if fd < 0:
            raise RuntimeError("no device end for " + node)
        return fd

    def unplug(self, port, node):
        """Removes the printer at usb1/<port> with node /dev/usb/<node> and hangs up its pty,
        so that an open descriptor sees the device gone and the node no longer opens."""
        root = _um.umockdev_testbed_get_root_dir(self.tb).decode()
        link = os.path.join(root, "dev", "usb", node)
        pts = os.readlink(link)
        base = "/sys/devices/pci0000:00/0000:00:14.0/usb1/" + port
        for path in (base + "/%s:1.0/usbmisc/%s" % (port, node), base + "/%s:1.0" % port, base):
            _um.umockdev_testbed_remove_device(self.tb, path.encode())
        null = os.open(os.devnull, os.O_RDWR)
        os.dup2(null, self.device_end("/dev/usb/" + node))
        os.close(null)
        # The freed pts number would come back for the next device and trip umockdev.
        try:
            os.unlink(os.path.join(root, "dev", ".ptymap", pts.replace("/", "_")))
        except FileNotFoundError:
            pass

    def close(self):
        _gobject.g_object_unref(self.tb)
