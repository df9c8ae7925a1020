/* Serial line speed and framing on Linux, through the kernel's terminal requests: TCGETS/TCSETS
 * for the standard rates, termios2 (TCGETS2/TCSETS2 with BOTHER) for any other rate the driver
 * takes. The kernel's own structures are used (asm/termbits.h), since glibc's termios.h cannot
 * be mixed with termios2. */
#include "port/line_linux.h"
#include "port/port.h"

#include <asm/termbits.h>
#include <errno.h>
#include <sys/ioctl.h>

#include "interface/session.h"

namespace {

struct StandardRate {
    int bitsPerSecond;
    tcflag_t code;
};

const StandardRate kStandardRates[] = {
    {50, B50},         {75, B75},         {110, B110},       {134, B134},
    {150, B150},       {200, B200},       {300, B300},       {600, B600},
    {1200, B1200},     {1800, B1800},     {2400, B2400},     {4800, B4800},
    {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},
    {115200, B115200}, {230400, B230400}, {460800, B460800}, {500000, B500000},
    {576000, B576000}, {921600, B921600}, {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

const int kInitialLineSpeed = 9600;

/* 8 data bits, no parity, one stop bit, XON/XOFF on output only: what every speed change keeps,
 * as the Windows build sets fOutX, ByteSize, Parity and StopBits with each rate. */
template <typename Termios> void SetFraming(Termios *t)
{
    t->c_cflag &= ~(tcflag_t)(CSIZE | PARENB | CSTOPB);
    t->c_cflag |= CS8;
    t->c_iflag |= IXON;
    t->c_iflag &= ~(tcflag_t)(IXOFF | IXANY);
}

bool SetStandardRate(int fd, tcflag_t code)
{
    struct termios before, t;
    if (ioctl(fd, TCGETS, &before) != 0)
        return false;
    t = before;
    SetFraming(&t);
    t.c_cflag &= ~(tcflag_t)(CBAUD | (CBAUD << IBSHIFT)); /* input speed follows output */
    t.c_cflag |= code;
    if (ioctl(fd, TCSETS, &t) != 0)
        return false;
    /* A driver may quietly keep another rate; then the rate is refused and the line restored. */
    struct termios now;
    if (ioctl(fd, TCGETS, &now) == 0 && (now.c_cflag & CBAUD) != code) {
        ioctl(fd, TCSETS, &before);
        errno = EINVAL;
        return false;
    }
    return true;
}

bool SetOtherRate(int fd, int rate)
{
    struct termios2 before, t;
    if (ioctl(fd, TCGETS2, &before) != 0)
        return false;
    t = before;
    SetFraming(&t);
    t.c_cflag &= ~(tcflag_t)(CBAUD | (CBAUD << IBSHIFT));
    t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    t.c_ospeed = (speed_t)rate;
    t.c_ispeed = (speed_t)rate;
    if (ioctl(fd, TCSETS2, &t) != 0)
        return false;
    struct termios2 now;
    if (ioctl(fd, TCGETS2, &now) == 0 && now.c_ospeed != (speed_t)rate) {
        ioctl(fd, TCSETS2, &before);
        errno = EINVAL;
        return false;
    }
    return true;
}

} // namespace

int SetLineSpeed(int rate)
{
    /* Printers and parallel ports are no terminals to us, whatever the driver says: umockdev,
     * for one, emulates every device as a terminal. */
    if (!portSession.serialLine) {
        errno = ENOTTY;
        return 0;
    }
    const int fd = portSession.portHandle;
    for (const StandardRate &standard : kStandardRates) {
        if (standard.bitsPerSecond == rate)
            return SetStandardRate(fd, standard.code) ? 1 : 0;
    }
    return SetOtherRate(fd, rate) ? 1 : 0;
}

void SetUpSerialLine(int fd)
{
    struct termios t;
    if (ioctl(fd, TCGETS, &t) == 0) {
        /* Raw: no echo, no line editing, no signals, no translation of CR or NL either way. */
        t.c_iflag &= ~(tcflag_t)(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL);
        t.c_oflag &= ~(tcflag_t)OPOST;
        t.c_lflag &= ~(tcflag_t)(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
        t.c_cflag |= CLOCAL | CREAD;
        /* Reads return at once with what is there; the read loop does the waiting. */
        t.c_cc[VMIN] = 0;
        t.c_cc[VTIME] = 0;
        ioctl(fd, TCSETS, &t);
    }
    SetLineSpeed(kInitialLineSpeed);
}
