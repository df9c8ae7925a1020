/* The bounded write on Linux: the device's descriptor is non-blocking, so the write goes on as
 * long as the device takes bytes, and waits for room when it does not. */
#include "io/io.h"

#include <errno.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "interface/reason.h"
#include "interface/session.h"
#include "io/clock_linux.h"
#include "port/port.h"

namespace {

/* How long the device gets to take count bytes. Windows waits 10 s for a write and looks once
 * more 10 s later, so a printer or parallel port gets those 20 s here too. A serial line gets
 * what its Windows driver timeouts give it, 200 ms plus 100 ms per byte, within the same 20 s. */
int64_t WriteBoundMs(uint32_t count, bool serial)
{
    const int64_t bound = 2 * (int64_t)portSession.writeTimeoutMs;
    if (!serial)
        return bound;
    const int64_t line = kSerialWriteConstantMs + (int64_t)kSerialWritePerByteMs * count;
    return line < bound ? line : bound;
}

/* Bytes a serial driver has taken but the line has not sent yet; 0 when it cannot say. The queue
 * is read, and emptied below, with the terminal requests themselves (tty_ioctl(4)). */
uint32_t Unsent(int fd)
{
    int queued = 0;
    return ioctl(fd, TIOCOUTQ, &queued) == 0 && queued > 0 ? (uint32_t)queued : 0;
}

void SleepMs(int64_t ms)
{
    struct timespec pause = {(time_t)(ms / 1000), (long)(ms % 1000) * 1000000L};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
}

/* A UART driver takes bytes into its buffer long before the line sends them, so on a serial
 * line a write is done when the driver's queue is empty. Short sleeps, growing from 1 ms: at
 * 9600 bit/s a byte takes about 1 ms to go out. Returns what is still queued at the deadline. */
uint32_t AwaitSent(int fd, int64_t deadline)
{
    int64_t sliceMs = 1;
    for (;;) {
        const uint32_t unsent = Unsent(fd);
        const int64_t left = deadline - MonotonicMs();
        if (unsent == 0 || left <= 0)
            return unsent;
        SleepMs(sliceMs < left ? sliceMs : left);
        if (sliceMs < 16)
            sliceMs *= 2;
    }
}

} // namespace

uint32_t WriteDevice(const char *data, uint32_t count)
{
    const int fd = portSession.portHandle;
    const bool serial = portSession.portKind == kPortSerialLine;
    const int64_t deadline = MonotonicMs() + WriteBoundMs(count, serial);
    uint32_t done = 0;
    int failure = 0; /* errno of a write that failed for good */

    while (done < count) {
        const ssize_t n = write(fd, data + done, count - done);
        if (n > 0) {
            done += (uint32_t)n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN) {
            failure = errno; /* EIO: the device is gone */
            break;
        }
        const int64_t left = deadline - MonotonicMs();
        if (left <= 0)
            break;
        struct pollfd room = {fd, POLLOUT, 0};
        /* A hang-up or error shows in the next write's errno. */
        if (poll(&room, 1, (int)left) < 0 && errno != EINTR) {
            failure = errno;
            break;
        }
    }

    if (serial && done > 0) {
        /* Given up: what the line has not sent is discarded, as the Windows driver drops the
         * rest of a write that timed out, so it never goes out after the host was told it did
         * not. Only what left counts. */
        const uint32_t unsent = failure == 0 ? AwaitSent(fd, deadline) : Unsent(fd);
        if (unsent > 0) {
            ioctl(fd, TCFLSH, TCOFLUSH);
            done -= unsent < done ? unsent : done;
        }
    }
    if (done == 0) {
        if (failure != 0)
            errno = failure;
        else
            SetReason(kReasonTimedOut);
    }
    return done;
}
