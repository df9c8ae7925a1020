/* Port numbers, device names and OpenPortByName. */
#include "port/port.h"

#include "include/norvat.h"
#include "interface/session.h"
#include "interface/text.h"
#include "usb/usb.h"

namespace {

/* "\\.\" + name must fit a 20-byte path field, so a serial name has at most 15 characters. */
const size_t kSerialPathField = 20;
const char kDevicePrefix[] = "\\\\.\\";
const size_t kDevicePrefixLength = sizeof kDevicePrefix - 1;
const size_t kLongestSerialName = kSerialPathField - kDevicePrefixLength - 1;

/* Timeouts for serial ports: a read ends 200 ms after the last byte or after 200 ms plus
 * 100 ms per byte; a write after 200 ms plus 100 ms per byte. */
const DWORD kReadIntervalMs = 200;
const DWORD kReadPerByteMs = 100;
const DWORD kReadConstantMs = 200;
const DWORD kWritePerByteMs = 100;
const DWORD kWriteConstantMs = 200;
const DWORD kSerialEventMask =
    EV_RXFLAG | EV_TXEMPTY | EV_CTS | EV_DSR | EV_BREAK | EV_PERR; /* 606 */
const int kInitialLineSpeed = 9600;

/* Line speed, timeouts and event mask for a freshly opened serial port. None of these failing
 * fails the open: the port is usable with whatever the driver kept. */
void SetUpSerialLine(HANDLE port)
{
    SetLineSpeed(kInitialLineSpeed);

    COMMTIMEOUTS timeouts;
    ZeroMemory(&timeouts, sizeof timeouts);
    GetCommTimeouts(port, &timeouts);
    timeouts.ReadIntervalTimeout = kReadIntervalMs;
    timeouts.ReadTotalTimeoutMultiplier = kReadPerByteMs;
    timeouts.ReadTotalTimeoutConstant = kReadConstantMs;
    timeouts.WriteTotalTimeoutMultiplier = kWritePerByteMs;
    timeouts.WriteTotalTimeoutConstant = kWriteConstantMs;
    SetCommTimeouts(port, &timeouts);

    SetCommMask(port, kSerialEventMask);
}

} // namespace

int OpenPortByName(const char *name)
{
    const bool serial = name[0] == 'C';
    char serialPath[kSerialPathField];
    const char *path = name;

    if (serial) {
        /* The "\\.\" prefix is what lets COM10 and above open at all; COM1-COM9 take it too. */
        if (BoundedLength(name, kLongestSerialName + 1) > kLongestSerialName) {
            ClosePortHandle();
            return 0;
        }
        CopyText(serialPath, sizeof serialPath, kDevicePrefix);
        CopyText(serialPath + kDevicePrefixLength, sizeof serialPath - kDevicePrefixLength, name);
        path = serialPath;
    }

    /* A host that opens again without closeport would otherwise leak the old handle, and a
     * serial port then stays locked until the host exits, so reopening the same port fails. */
    ClosePortHandle();

    HANDLE port = CreateFileA(path, GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, NULL);
    if (port == INVALID_HANDLE_VALUE || port == NULL)
        return 0;
    portSession.portHandle = port;

    if (serial)
        SetUpSerialLine(port);
    return 1;
}

int OpenNumberedPort(unsigned short portNumber)
{
    switch (portNumber) {
    case 0:
        return OpenPortByName("LPT1");
    case 5:
        return OpenPortByName("LPT2");
    case 6:
        return OpenFirstUsbPrinter();
    default: {
        /* 1-4 and 7-9: "COM" and the single digit. */
        char name[] = "COM0";
        name[3] = (char)('0' + portNumber % 10);
        return OpenPortByName(name);
    }
    }
}

int NORVAT_CALL openport(const char *selector)
{
    const char first = selector[0];
    if (first >= '0' && first <= '9')
        selectedPortNumber = (unsigned short)(first - '0');
    return OpenNumberedPort(selectedPortNumber);
}

int NORVAT_CALL OpenUSB(const char *request)
{
    if (request[0] == 'C' && request[1] == 'O')
        return OpenPortByName(request);
    selectedPortNumber = 6;
    return OpenUsbBySerial(request);
}
