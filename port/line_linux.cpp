/* Serial line speed and framing on Linux. The standard rates go through tcsetattr; any other
 * rate the driver takes through termios2 (termios2_linux.cpp). */
#include "port/line_linux.h"
#include "port/port.h"

#include <errno.h>
#include <termios.h>

#include "interface/reason.h"
#include "port/termios2_linux.h"

namespace {

struct StandardRate {
    int bitsPerSecond;
    speed_t code;
};

const StandardRate kStandardRates[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

const int kInitialLineSpeed = 9600;

/* 8 data bits, no parity, one stop bit, XON/XOFF on output only: what every speed change sets,
 * as the Windows build sets ByteSize, Parity, StopBits and fOutX with each rate. */
bool SetFraming(int fd)
{
    struct termios t;
    if (tcgetattr(fd, &t) != 0)
        return false;
    t.c_cflag &= ~(tcflag_t)(CSIZE | PARENB | CSTOPB);
    t.c_cflag |= CS8;
    t.c_iflag |= IXON;
    t.c_iflag &= ~(tcflag_t)(IXOFF | IXANY);
    return tcsetattr(fd, TCSANOW, &t) == 0;
}

bool SetStandardRate(int fd, speed_t code)
{
    struct termios before;
    if (tcgetattr(fd, &before) != 0)
        return false;
    struct termios wanted = before;
    cfsetospeed(&wanted, code);
    cfsetispeed(&wanted, code);
    if (tcsetattr(fd, TCSANOW, &wanted) != 0)
        return false;
    /* tcsetattr succeeds when any part of the request was taken: check the speed stuck. */
    struct termios now;
    if (tcgetattr(fd, &now) != 0 || cfgetospeed(&now) != code) {
        tcsetattr(fd, TCSANOW, &before);
        errno = EINVAL;
        return false;
    }
    return true;
}

} // namespace

int SetLineSpeed(PortSession *port, int rate)
{
    /* Printers and parallel ports are no serial lines, whatever their driver answers to
     * terminal requests (umockdev, for one, emulates every device as a terminal). */
    if (port->portKind != kPortSerialLine)
        return Refuse(kReasonNoSerialLine);
    const int fd = port->portHandle;
    if (!SetFraming(fd))
        return 0;
    for (const StandardRate &standard : kStandardRates) {
        if (standard.bitsPerSecond == rate)
            return SetStandardRate(fd, standard.code) ? 1 : 0;
    }
    return SetCustomRate(fd, rate) ? 1 : 0;
}

void SetUpSerialLine(PortSession *port)
{
    const int fd = port->portHandle;
    struct termios t;
    if (tcgetattr(fd, &t) == 0) {
        /* Raw: no echo, no line editing, no signals, no translation of CR or NL either way. */
        cfmakeraw(&t);
        t.c_cflag |= CLOCAL | CREAD;
        /* A read waits for one byte, no timer: with the descriptor non-blocking an empty line
         * then reads as EAGAIN, not as the 0 that also means a hang-up, and the read loop does
         * the waiting. */
        t.c_cc[VMIN] = 1;
        t.c_cc[VTIME] = 0;
        tcsetattr(fd, TCSANOW, &t);
    }
    SetLineSpeed(port, kInitialLineSpeed);
}
