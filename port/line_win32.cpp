/* Serial line speed and framing on Windows. */
#include "port/port.h"

int SetLineSpeed(PortSession *session, int rate)
{
    HANDLE port = session->portHandle;
    DCB dcb;
    ZeroMemory(&dcb, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    /* Parallel ports and printers refuse the serial state. Writing settings built on a DCB we
     * could not read would only send guesses to the driver, so report the failure here, with
     * the driver's own code. */
    if (!GetCommState(port, &dcb))
        return 0;

    dcb.BaudRate = (DWORD)rate;
    dcb.fOutX = 1;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    return SetCommState(port, &dcb);
}
