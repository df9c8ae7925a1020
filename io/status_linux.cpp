/* A port's state on Linux: the printer drivers' status byte, the modem lines, the socket. */
#include "io/io.h"

#include <errno.h>
#include <linux/lp.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>

#include "include/norvat.h"
#include "io/clock_linux.h"

uint32_t TickMs(void)
{
    return (uint32_t)MonotonicMs();
}

bool ConnectionEnded(const PortSession *port)
{
    /* The printer's FIN shows as POLLRDHUP, a reset as POLLERR or POLLHUP; bytes waiting do not
     * count. An aborted socket (a write given up) is no longer connected: POLLHUP. */
    struct pollfd state = {port->portHandle, POLLRDHUP, 0};
    return poll(&state, 1, 0) > 0 && (state.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

uint32_t PendingBytes(const PortSession *port)
{
    int unacknowledged = 0;
    if (port->portKind != kPortNetwork ||
        ioctl(port->portHandle, SIOCOUTQ, &unacknowledged) != 0 || unacknowledged < 0)
        return 0;
    return (uint32_t)unacknowledged;
}

int ReadPrinterState(PortSession *port, unsigned *state, unsigned *known)
{
    /* usblp asks the printer (GET_PORT_STATUS); lp reads the port's status lines. */
    int status = 0;
    if (ioctl(port->portHandle, LPGETSTATUS, &status) != 0)
        return 0; /* ENODEV, EIO: the printer is gone */
    *known = NORVAT_STATE_PAPER_OUT | NORVAT_STATE_OFFLINE | NORVAT_STATE_ERROR;
    *state = DecodePrinterStatus((unsigned)status);
    return 1;
}

int ReadModemState(PortSession *port, unsigned *state)
{
    int lines = 0;
    if (ioctl(port->portHandle, TIOCMGET, &lines) != 0)
        return 0;
    *state = ((lines & TIOCM_DSR) ? NORVAT_STATE_DSR : 0) |
             ((lines & TIOCM_CTS) ? NORVAT_STATE_CTS : 0) |
             ((lines & TIOCM_CAR) ? NORVAT_STATE_DCD : 0);
    return 1;
}
