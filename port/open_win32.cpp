/* Opening and closing devices on Windows: every device, USB printers included, is a file opened
 * for overlapped I/O; serial ports get their line settings, timeouts and event mask here. */
#include "port/port.h"

#include "interface/ports.h"
#include "interface/reason.h"
#include "interface/text.h"
#include "interface/timing.h"
#include "port/name.h"
#include "port/network.h"
#include "port/winsock_win32.h"

namespace {

/* "\\.\" + name must fit a 20-byte path field, so a serial name has at most 15 characters. */
const size_t kSerialPathField = 20;
const char kDevicePrefix[] = "\\\\.\\";
const size_t kDevicePrefixLength = sizeof kDevicePrefix - 1;
const size_t kLongestSerialName = kSerialPathField - kDevicePrefixLength - 1;

const DWORD kSerialEventMask =
    EV_RXFLAG | EV_TXEMPTY | EV_CTS | EV_DSR | EV_BREAK | EV_PERR; /* 606 */
const int kInitialLineSpeed = 9600;

/* Line speed, timeouts and event mask for a freshly opened serial port. None of these failing
 * fails the open: the port is usable with whatever the driver kept. */
void SetUpSerialLine(PortSession *session)
{
    HANDLE port = session->portHandle;
    SetLineSpeed(session, kInitialLineSpeed);

    COMMTIMEOUTS timeouts;
    ZeroMemory(&timeouts, sizeof timeouts);
    GetCommTimeouts(port, &timeouts);
    timeouts.ReadIntervalTimeout = kSerialReadIntervalMs;
    timeouts.ReadTotalTimeoutMultiplier = kSerialReadPerByteMs;
    timeouts.ReadTotalTimeoutConstant = kSerialReadConstantMs;
    /* A handle's read waits as long as its caller says, which may be longer than the driver's
     * total timeout: with none, the driver ends a read only 200 ms after its last byte, and our
     * own wait (and cancel) bounds the rest. */
    if (session->readEvent != NULL)
        timeouts.ReadTotalTimeoutMultiplier = timeouts.ReadTotalTimeoutConstant = 0;
    timeouts.WriteTotalTimeoutMultiplier = kSerialWritePerByteMs;
    timeouts.WriteTotalTimeoutConstant = kSerialWriteConstantMs;
    SetCommTimeouts(port, &timeouts);

    SetCommMask(port, kSerialEventMask);
}

/* What a path names, for telling whether it is open already: the path without the "\\.\" or
 * "\\?\" that only says how to reach it. */
void DeviceKeyOf(const char *path, DeviceKey *key)
{
    if (path[0] == '\\' && path[1] == '\\' && (path[2] == '.' || path[2] == '?') &&
        path[3] == '\\')
        path += 4;
    CopyText(key->path, sizeof key->path, path);
}

} // namespace

const bool kOpensDevicePaths = false;

int OpenPortByName(PortSession *session, const char *name, int connectMs)
{
    const PortNameKind kind = ClassifyPortName(name);
    if (kind == kPortNameNetwork)
        return OpenNetworkPrinter(session, name, connectMs);
    const bool serial = kind == kPortNameSerial;
    char serialPath[kSerialPathField];
    const char *path = name; /* parallel ports and device links are opened as they are */

    if (serial) {
        /* The "\\.\" prefix is what lets COM10 and above open at all; COM1-COM9 take it too. */
        if (BoundedLength(name, kLongestSerialName + 1) > kLongestSerialName) {
            ClosePortHandle(session);
            return Refuse(kReasonBadArgument);
        }
        CopyText(serialPath, sizeof serialPath, kDevicePrefix);
        CopyText(serialPath + kDevicePrefixLength, sizeof serialPath - kDevicePrefixLength, name);
        path = serialPath;
    }

    /* A host that opens again without closeport would otherwise leak the old handle, and a
     * serial port then stays locked until the host exits, so reopening the same port fails. */
    ClosePortHandle(session);

    /* The last error of a failed CreateFileA (2 no such port, 5 in use, ...) is the reason the
     * host gets; nothing after it touches the last error. */
    HANDLE port = CreateFileA(path, GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, NULL);
    if (port == INVALID_HANDLE_VALUE || port == NULL)
        return 0;
    DeviceKey key = {};
    DeviceKeyOf(path, &key);
    if (!ClaimDevice(session, &key)) {
        CloseHandle(port);
        return Refuse(kReasonBusy);
    }
    session->portHandle = port;
    session->portKind = serial                        ? kPortSerialLine
                        : kind == kPortNameParallel ? kPortParallel
                                                    : kPortUsbPrinter;

    if (serial)
        SetUpSerialLine(session);
    return 1;
}

bool ClosePortHandle(PortSession *session)
{
    BOOL closed = FALSE;
    /* Closing a NULL handle raises an exception under a debugger, so only close a real one. */
    if (session->portHandle != NULL) {
        /* Keep the caller's last error: closing before an open must not hide why it failed. */
        const DWORD error = GetLastError();
        if (session->portKind == kPortNetwork)
            closed = CloseNetworkSocket(session->portHandle);
        else
            closed = CloseHandle(session->portHandle);
        SetLastError(error);
    }
    if (session->key.held)
        ReleaseDevice(session);
    session->portHandle = NULL;
    session->portKind = kPortDevice;
    return closed != FALSE;
}
