#!/usr/bin/env bash
# libNorvat.so where libudev.so.1 is not installed. In a mount namespace of the test's own, the
# directory that holds libudev.so.1 is overlaid with one where it is gone (a whiteout: what a
# container without udev shows the dynamic loader), beside the devices of tests/bindings under
# umockdev and a network printer on loopback in a network namespace of its own. The library
# loads; the serial port and the network printer each do a round trip; the emulated USB printer
# cannot be listed or opened by serial (ENOSYS, NORVAT_ERR_UNSUPPORTED) but answers at its node's
# path; norvat_list_ports lists the serial and the parallel port. (The tool's own test,
# LinuxTool.WithoutLibudevSaysItIsNotInstalled, shows what it says then.)
# umockdev's preload library needs libc alone (umockdev-run, which links libudev, stays outside
# the namespace), so hiding libudev.so.1 leaves the emulated devices in place.
#   without_libudev_check.sh LIBRARY
set -uo pipefail
bindings=$(cd "$(dirname "$0")/../bindings" && pwd)

if [ "${1:-}" != --inside ]; then
    if [ "$(id -u)" != 0 ] || ! unshare -m -n true 2>/dev/null; then
        echo "$(basename "$0"): Skipped"
        echo "hiding libudev.so.1 takes a mount namespace of the test's own, which needs root"
        exit 77
    fi
    exec "$bindings/with_network_printer.sh" timeout 120 umockdev-run -d "$bindings/devices.umockdev" \
        -s "/dev/ttyS0=$bindings/printer.script" -s "/dev/usb/lp0=$bindings/printer.script" -- \
        unshare -m "$0" --inside "$@"
fi
shift
installed=$(ldconfig -p | awk '/^\tlibudev\.so\.1 \(libc6,x86-64\)/ { print $NF }')
if [ -n "$installed" ]; then
    dir=$(dirname "$(readlink -f "$installed")")
    # In umockdev's test bed, which umockdev-run removes after this namespace has gone.
    hidden=$UMOCKDEV_DIR/without-libudev
    mkdir "$hidden" && mount -t tmpfs none "$hidden" && mkdir "$hidden/up" "$hidden/work" || exit 1
    for f in "$dir"/libudev.so*; do mknod "$hidden/up/${f##*/}" c 0 0 || exit 1; done
    mount -t overlay overlay -o "lowerdir=$dir,upperdir=$hidden/up,workdir=$hidden/work" "$dir" || exit 1
fi

exec python3 - "$1" <<'PY'
import ctypes, errno, os, sys
try:
    ctypes.CDLL("libudev.so.1")
    sys.exit("FAIL libudev.so.1 still loads here: nothing would be tested")
except OSError as e:
    print("as a host sees it:", e)
lib = ctypes.CDLL(sys.argv[1], use_errno=True)
lib.norvat_port_list_get.restype = ctypes.c_char_p
buf = ctypes.create_string_buffer(256)
failures = 0
def check(name, ok):
    global failures
    failures += not ok
    print(("ok " if ok else "FAIL ") + name)
def call(name, *args):
    ctypes.set_errno(0)
    return getattr(lib, name)(*args), ctypes.get_errno()

check("loads: GetDllVersion", lib.GetDllVersion(buf) == 15 and buf.value == b"Ver1.2 2011/8/1")
link = rb"\\?\USB#VID_03F0&PID_1950#LBL0042#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}"
for name, arg in [("FindFirstUSB", buf), ("FindNextUSB", buf), ("openport", b"6"), ("OpenUSB", b"LBL0042")]:
    result = call(name, arg)
    check(f"{name} of the plugged-in USB printer: 0 with ENOSYS (got {result})", result == (0, errno.ENOSYS))
port = ctypes.c_void_p()
for name in [b"LBL0042", link]:
    result = call("norvat_open", name, ctypes.byref(port))
    check(f"norvat_open {name}: NORVAT_ERR_UNSUPPORTED, ENOSYS (got {result})", result == (-6, errno.ENOSYS))

check("COM1 answers a command", lib.OpenUSB(b"COM1") == 1 and lib.sendcommand(b"~HS") == 1 and
      lib.RcvBuf(buf, 64) == 7 and buf.raw[:7] == b"READY\r\n")
check("COM1 binary bytes both ways", lib.sendbuf(b"\x1b@\x00\xff\r\n", 6) == 6 and
      lib.RcvBuf(buf, 64) == 5 and buf.raw[:5] == b"A\x00B\xff\n")
check("the USB printer at /dev/usb/lp0 answers a command", lib.OpenUSB(b"/dev/usb/lp0") == 1 and
      lib.sendcommand(b"~HS") == 1 and lib.RcvBuf(buf, 64) == 7 and buf.raw[:7] == b"READY\r\n")
lib.closeport()
check("the network printer by handle answers", lib.norvat_open(os.environ["NORVAT_TEST_PRINTER"].encode(),
      ctypes.byref(port)) == 0 and lib.norvat_write(port, b"~HS\r\n", 5, -1) == 5 and
      lib.norvat_read(port, buf, 256, 2000) == 9 and buf.raw[:9] == b"NET:~HS\r\n")
lib.norvat_close(port)

listing = ctypes.c_void_p()
count = lib.norvat_list_ports(ctypes.byref(listing))
entries = [(lib.norvat_port_list_get(listing, i, 1), lib.norvat_port_list_get(listing, i, 0)) for i in range(count)]
lib.norvat_free_port_list(listing)
check(f"norvat_list_ports: the serial and the parallel port, no USB printer ({entries})",
      entries == [(b"serial", b"/dev/ttyS0"), (b"parallel", b"/dev/lp0")])
sys.exit(failures > 0)
PY
