/* Custom line speeds: TCGETS2/TCSETS2 with BOTHER, the kernel's request for a rate given in bits
 * per second. */
#include "port/termios2_linux.h"

#include <asm/termbits.h>
#include <errno.h>
#include <sys/ioctl.h>

bool SetCustomRate(int fd, int rate)
{
    struct termios2 before;
    if (ioctl(fd, TCGETS2, &before) != 0)
        return false;
    struct termios2 wanted = before;
    wanted.c_cflag &= ~(tcflag_t)(CBAUD | (CBAUD << IBSHIFT));
    wanted.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    wanted.c_ospeed = (speed_t)rate;
    wanted.c_ispeed = (speed_t)rate;
    if (ioctl(fd, TCSETS2, &wanted) != 0)
        return false;
    /* Drivers round a rate they cannot make, or keep the old one, and still succeed: only the
     * read-back says whether the line now runs at the rate asked for. */
    struct termios2 now;
    if (ioctl(fd, TCGETS2, &now) != 0 || now.c_ospeed != (speed_t)rate) {
        ioctl(fd, TCSETS2, &before);
        errno = EINVAL;
        return false;
    }
    return true;
}
