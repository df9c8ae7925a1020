/* A port's state on Windows: the USB printer class's status byte, the parallel port's status,
 * the modem lines. A network printer's is in socket_win32.cpp. */
#include "io/io.h"

#include "include/norvat.h"
#include "interface/timing.h"
#include "io/overlapped_win32.h"

namespace {

/* usbprint.h: the printer's IEEE 1284 status byte. */
const DWORD kGetLptStatus = 0x220030;
/* ntddpar.h: IOCTL_PAR_QUERY_INFORMATION, which answers one byte of PARALLEL_* bits. */
const DWORD kParQueryInformation = 0x160004;
const UCHAR kParallelPaperEmpty = 0x04, kParallelOffLine = 0x08, kParallelPowerOff = 0x10,
            kParallelNotConnected = 0x20;

/* A driver that takes longer than this to say how its printer is, is treated as failing. */
const DWORD kStatusWaitMs = kDeviceIdWaitMs;

} // namespace

uint32_t TickMs(void)
{
    return GetTickCount();
}

int ReadPrinterState(PortSession *port, unsigned *state, unsigned *known)
{
    UCHAR status = 0;
    DWORD got = 0;
    if (port->portKind == kPortUsbPrinter) {
        if (!AskDevice(port->portHandle, kGetLptStatus, &status, sizeof status, &got,
                       kStatusWaitMs))
            return 0; /* the platform's code: a printer that is gone, a driver that refuses */
        *known = NORVAT_STATE_PAPER_OUT | NORVAT_STATE_OFFLINE | NORVAT_STATE_ERROR;
        *state = DecodePrinterStatus(status);
        return 1;
    }
    if (!AskDevice(port->portHandle, kParQueryInformation, &status, sizeof status, &got,
                   kStatusWaitMs))
        return 0;
    /* The parallel class reports no fault line: a port switched off or with nothing on it counts
     * as offline. */
    *known = NORVAT_STATE_PAPER_OUT | NORVAT_STATE_OFFLINE;
    if (status & kParallelPaperEmpty)
        *state |= NORVAT_STATE_PAPER_OUT;
    if (status & (kParallelOffLine | kParallelPowerOff | kParallelNotConnected))
        *state |= NORVAT_STATE_OFFLINE;
    return 1;
}

int ReadModemState(PortSession *port, unsigned *state)
{
    DWORD lines = 0;
    if (!GetCommModemStatus(port->portHandle, &lines))
        return 0;
    *state = ((lines & MS_DSR_ON) ? NORVAT_STATE_DSR : 0) |
             ((lines & MS_CTS_ON) ? NORVAT_STATE_CTS : 0) |
             ((lines & MS_RLSD_ON) ? NORVAT_STATE_DCD : 0);
    return 1;
}
