/* Opening and closing devices on Linux. The names the shared code uses map onto device nodes:
 * COMn is /dev/ttyS<n-1>, LPTn is /dev/lp<n-1>, a USB device link is the
 * node of the printer udev lists under it, and a "/dev/" path is taken as it is. Every device is
 * opened non-blocking; the I/O code does the waiting. */
#include "port/port.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <sys/stat.h>

#include "interface/ports.h"
#include "interface/reason.h"
#include "interface/text.h"
#include "port/line_linux.h"
#include "port/name.h"
#include "port/network.h"
#include "usb/udev_linux.h"

namespace {

/* As on Windows, where "\\.\" + name must fit 20 bytes, a serial name has at most 15
 * characters. */
const size_t kLongestSerialName = 15;
const char kDevicePrefix[] = "/dev/";
const char kTerminalPrefix[] = "/dev/tty";
/* The nodes of the USB printer class driver and of the parallel printer driver. */
const char kUsbPrinterPrefix[] = "/dev/usb/lp";
const char kParallelPrefix[] = "/dev/lp";
const char kUsbLinkPrefix[] = "\\\\?\\USB#";
enum { kPathField = 500 };

/* "COM12" -> "/dev/ttyS11". Only COM, then a number from 1 without leading zeros, names a
 * port; any other "CO..." name names none. */
bool SerialPortPath(const char *name, char *path, size_t size)
{
    if (!StartsWith(name, "COM") || name[3] < '1' || name[3] > '9')
        return false;
    unsigned long number = 0;
    for (const char *d = name + 3; *d != '\0'; d++) {
        if (*d < '0' || *d > '9')
            return false;
        number = number * 10 + (unsigned long)(*d - '0');
    }
    snprintf(path, size, "/dev/ttyS%lu", number - 1);
    return true;
}

/* Whether the open may stay: a serial port belongs to one opener, as on Windows. TIOCEXCL keeps
 * other processes' opens out (not root's, and emulated terminals do not take it, so its failure
 * is ignored); the advisory lock is what every opener of ours checks, root included. */
bool ClaimSerialLine(int fd)
{
    ioctl(fd, TIOCEXCL);
    if (flock(fd, LOCK_EX | LOCK_NB) == 0)
        return true;
    if (errno == EWOULDBLOCK)
        errno = EBUSY;
    return false;
}

/* What the descriptor is open on: a character device by its number (so COM1 and /dev/ttyS0 are
 * one device), anything else by its file's identity. */
bool DeviceKeyOf(int fd, DeviceKey *key)
{
    struct stat st;
    if (fstat(fd, &st) != 0)
        return false;
    key->device = S_ISCHR(st.st_mode) ? (unsigned long long)st.st_rdev : st.st_dev;
    key->inode = S_ISCHR(st.st_mode) ? 0 : (unsigned long long)st.st_ino;
    return true;
}

} // namespace

const bool kOpensDevicePaths = true;

int OpenPortByName(PortSession *port, const char *name, int connectMs)
{
    char path[kPathField];
    PortKind kind = kPortDevice;

    switch (ClassifyPortName(name)) {
    case kPortNameNetwork:
        return OpenNetworkPrinter(port, name, connectMs);
    case kPortNameSerial:
        if (BoundedLength(name, kLongestSerialName + 1) > kLongestSerialName) {
            ClosePortHandle(port);
            return Refuse(kReasonBadArgument);
        }
        if (!SerialPortPath(name, path, sizeof path)) {
            ClosePortHandle(port);
            errno = ENOENT;
            return 0;
        }
        kind = kPortSerialLine;
        break;
    case kPortNameParallel:
        snprintf(path, sizeof path, "/dev/lp%c", name[3] - 1);
        kind = kPortParallel;
        break;
    case kPortNameDeviceLink:
        if (StartsWith(name, kUsbLinkPrefix)) {
            if (!PrinterNodeForLink(name, path, sizeof path)) {
                /* Unplugged since it was looked up. */
                ClosePortHandle(port);
                errno = ENOENT;
                return 0;
            }
            kind = kPortUsbPrinter;
            break;
        }
        /* Any other text is tried as a path, which names nothing. */
        [[fallthrough]];
    case kPortNameDevicePath:
        if (BoundedLength(name, sizeof path) >= sizeof path) {
            ClosePortHandle(port);
            errno = ENAMETOOLONG;
            return 0;
        }
        CopyText(path, sizeof path, name);
        if (StartsWith(name, kTerminalPrefix))
            kind = kPortSerialLine;
        else if (StartsWith(name, kUsbPrinterPrefix))
            kind = kPortUsbPrinter;
        else if (StartsWith(name, kParallelPrefix))
            kind = kPortParallel;
        break;
    }
    const bool serial = kind == kPortSerialLine;

    /* A host that opens again without closeport would otherwise leak the old descriptor, and a
     * serial port would stay claimed, so reopening the same port would fail. */
    ClosePortHandle(port);

    const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return 0; /* open's errno: ENOENT, EACCES, EBUSY, ... */
    DeviceKey key = {};
    if (!DeviceKeyOf(fd, &key) || !ClaimDevice(port, &key)) {
        close(fd);
        return Refuse(kReasonBusy);
    }
    if (serial && !ClaimSerialLine(fd)) {
        const int reason = errno;
        close(fd);
        ReleaseDevice(port);
        errno = reason;
        return 0;
    }
    port->portHandle = fd;
    port->portKind = kind;
    if (serial)
        SetUpSerialLine(port);
    return 1;
}

bool ClosePortHandle(PortSession *port)
{
    bool closed = false;
    if (port->portHandle >= 0) {
        /* Keep the caller's errno: closing before an open must not hide why it failed. The
         * descriptor is gone after close() whatever it returns, so it is never retried. */
        const int reason = errno;
        closed = close(port->portHandle) == 0;
        errno = reason;
    }
    if (port->key.held)
        ReleaseDevice(port);
    port->portHandle = NORVAT_NO_PORT;
    port->portKind = kPortDevice;
    return closed;
}
