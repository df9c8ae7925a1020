"""An in-process umockdev test bed through ctypes, for tests run under umockdev-wrapper: devices
from a description text, the device's end of each node, a printer's status byte, and unplugging a
device the way a cable pull looks to an open descriptor (read 0, write EIO, the node gone).

The status byte needs an ioctl handler, which umockdev calls on a thread of its own. It is bound
here through ctypes, like the rest, rather than through umockdev's GObject introspection
(python3-gi with gir1.2-umockdev-1.0), which the project's packages do not install. While a
handler is attached, a call of this process that makes an ioctl on that node must let go of
the GIL (ctypes calls and os.* do; termios does not)."""
import ctypes
import errno
import os
import threading
import time

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
# Ioctl handlers: the "handle-ioctl" signal of a UMockdevIoctlBase.
_um.umockdev_ioctl_base_new.restype = ctypes.c_void_p
_um.umockdev_testbed_attach_ioctl.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p,
                                              ctypes.c_void_p]
_um.umockdev_ioctl_client_get_request.argtypes = [ctypes.c_void_p]
_um.umockdev_ioctl_client_get_request.restype = ctypes.c_ulong
_um.umockdev_ioctl_client_get_arg.argtypes = [ctypes.c_void_p]
_um.umockdev_ioctl_client_get_arg.restype = ctypes.c_void_p
_um.umockdev_ioctl_data_resolve.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_size_t,
                                            ctypes.c_void_p]
_um.umockdev_ioctl_data_resolve.restype = ctypes.c_void_p
_um.umockdev_ioctl_client_execute.argtypes = [ctypes.c_void_p, ctypes.POINTER(ctypes.c_int),
                                              ctypes.c_void_p]
_um.umockdev_ioctl_client_complete.argtypes = [ctypes.c_void_p, ctypes.c_long, ctypes.c_int]
_gobject.g_signal_connect_data.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p,
                                           ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int]
_HANDLER = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p)
LPGETSTATUS = 0x060B


class _IoctlData(ctypes.Structure):
    """The head of a UMockdevIoctlData: its GObject, then the argument's bytes."""
    _fields_ = [("type_instance", ctypes.c_void_p), ("ref_count", ctypes.c_uint),
                ("qdata", ctypes.c_void_p), ("data", ctypes.c_void_p)]

DESCRIPTION = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                           "devices.umockdev")


def printer(port, node, serial, description, vendor="03f0", product="1950", device_id=None):
    """The three records of a USB printer at usb1/<port>, node /dev/usb/<node>, as the kernel
    makes them: usblp keeps the IEEE 1284 device id on the interface."""
    if device_id is None:
        device_id = "MFG:Acme;MDL:LP-1;CMD:ZPL;DES:%s;" % description
    base = "/devices/pci0000:00/0000:00:14.0/usb1/" + port
    minor = int(node[2:])
    return ("P: {b}\nN: bus/usb/001/1{m:02d}\nE: DEVNAME=/dev/bus/usb/001/1{m:02d}\n"
            "E: DEVTYPE=usb_device\nE: DRIVER=usb\nE: SUBSYSTEM=usb\n"
            "A: idVendor={v}\nA: idProduct={i}\nA: serial={s}\nA: product=Label printer\n\n"
            "P: {b}/{p}:1.0\nE: DEVTYPE=usb_interface\nE: DRIVER=usblp\nE: SUBSYSTEM=usb\n"
            "A: ieee1284_id={d}\n\n"
            "P: {b}/{p}:1.0/usbmisc/{n}\nN: usb/{n}\nE: DEVNAME=/dev/usb/{n}\nE: SUBSYSTEM=usbmisc\n"
            "A: dev=180:{m}\n"
            ).format(b=base, p=port, n=node, m=minor, s=serial, d=device_id, v=vendor, i=product)


class Testbed:
    def __init__(self):
        self.tb = _um.umockdev_testbed_new()
        self._status = {}
        self._handlers = {}
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

    def set_printer_status(self, node, status):
        """Makes /dev/<node>'s driver answer LPGETSTATUS with status, the IEEE 1284 status
        byte (0x18 ready, 0x38 out of paper, 0x08 offline, 0x10 error); every other request goes
        to the node's pty. The first call must come before the node is opened: umockdev hands
        a descriptor's requests to a handler only when one was there at its open."""
        self._status[node] = status
        if node in self._handlers:
            return
        handler = _um.umockdev_ioctl_base_new()
        callback = _HANDLER(lambda base, client, user: self._ioctl(node, client))
        _gobject.g_signal_connect_data(handler, b"handle-ioctl", callback, None, None, 0)
        self._handlers[node] = (handler, callback)
        if not _um.umockdev_testbed_attach_ioctl(self.tb, node.encode(), handler, None):
            raise RuntimeError("umockdev refused an ioctl handler for " + node)

    def _ioctl(self, node, client):
        """Runs on umockdev's thread, for each ioctl the library makes on node."""
        if _um.umockdev_ioctl_client_get_request(client) == LPGETSTATUS:
            arg = _um.umockdev_ioctl_client_get_arg(client)
            data = _um.umockdev_ioctl_data_resolve(arg, 0, ctypes.sizeof(ctypes.c_int), None)
            if data:
                ctypes.c_int.from_address(_IoctlData.from_address(data).data).value = \
                    self._status[node]
            _um.umockdev_ioctl_client_complete(client, 0 if data else -1, 0 if data else errno.EFAULT)
            return 1
        code = ctypes.c_int(0)
        result = _um.umockdev_ioctl_client_execute(client, ctypes.byref(code), None)
        _um.umockdev_ioctl_client_complete(client, result, code.value)
        return 1

    def echo(self, node, usb_port=None):
        """Makes node send back what it is sent, on a thread of its own; a printer (at
        usb1/<usb_port>) that is sent b"UNPLUG" is pulled out instead (see unplug). A node
        nobody reads is a device that stopped taking bytes."""
        end = self.device_end(node)

        def run():
            while True:
                try:
                    data = os.read(end, 65536)
                except OSError:  # EIO: nobody has the node open
                    time.sleep(0.005)
                    continue
                if usb_port and b"UNPLUG" in data:
                    self.unplug(usb_port, node.rsplit("/", 1)[1])
                    return
                os.write(end, data)
        threading.Thread(target=run, daemon=True).start()

    def close(self):
        for handler, _ in self._handlers.values():
            _gobject.g_object_unref(handler)
        _gobject.g_object_unref(self.tb)
