/* Port numbers and the exports that open, set up and close ports: the logic both platforms
 * share. The device calls are in open_<platform>.cpp and line_<platform>.cpp. */
#include "port/port.h"

#include "include/norvat.h"
#include "interface/reason.h"
#include "interface/session.h"
#include "port/name.h"
#include "usb/usb.h"

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
        /* 1-4 and 7-9: "COM" and the single digit. There is no COM5 or COM6 by number. */
        char name[] = "COM0";
        name[3] = (char)('0' + portNumber % 10);
        return OpenPortByName(name);
    }
    }
}

int NORVAT_CALL openport(const char *selector)
{
    if (selector == NULL)
        return Refuse(kReasonBadArgument);
    SessionLock lock;
    const char first = selector[0];
    if (first >= '0' && first <= '9')
        selectedPortNumber = (unsigned short)(first - '0');
    return OpenNumberedPort(selectedPortNumber);
}

int NORVAT_CALL OpenUSB(const char *request)
{
    if (request == NULL)
        return Refuse(kReasonBadArgument);
    SessionLock lock;
    if (OpenedByName(request, kOpensDevicePaths))
        return OpenPortByName(request);
    selectedPortNumber = 6;
    return OpenUsbBySerial(request);
}

int NORVAT_CALL setbaudrate(int rate)
{
    if (rate <= 0)
        return Refuse(kReasonBadArgument);
    SessionLock lock;
    if (!PortIsOpen())
        return Refuse(kReasonNoPort);
    /* A socket is not asked for a line speed at all. */
    if (portSession.portKind == kPortNetwork)
        return Refuse(kReasonNoSerialLine);
    return SetLineSpeed(rate);
}

int NORVAT_CALL closeport(void)
{
    SessionLock lock;
    const bool closed = ClosePortHandle();
    /* The 64-bit builds have always passed the close's result on, and hosts may test it; the
     * 32-bit build has always said 0. */
    return sizeof(void *) == 8 && closed ? 1 : 0;
}
