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
#include "interface/timing.h"
#include "io/clock_linux.h"

namespace {

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
 * 9600 bit/s a byte takes about 1 ms to go out. Returns what is still queued at the deadline
 * (or at a cancel). */
uint32_t AwaitSent(const PortSession *port, int64_t deadline)
{
    int64_t sliceMs = 1;
    for (;;) {
        const uint32_t unsent = Unsent(port->portHandle);
        const int64_t left = deadline - MonotonicMs();
        if (unsent == 0 || left <= 0 || CancelRequested(port))
            return unsent;
        SleepMs(sliceMs < left ? sliceMs : left);
        if (sliceMs < kLongestSliceMs)
            sliceMs *= 2;
    }
}

} // namespace

uint32_t WriteDevice(PortSession *port, const char *data, uint32_t count, int64_t boundMs)
{
    const int fd = port->portHandle;
    const bool serial = port->portKind == kPortSerialLine;
    const int64_t deadline = MonotonicMs() + boundMs;
    uint32_t done = 0;
    int failure = 0; /* errno of a write that failed for good */

    while (done < count && !CancelRequested(port)) {
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
        /* A hang-up or error shows in the next write's errno. Sliced, to see a cancel. */
        if (poll(&room, 1, (int)(left < kLongestSliceMs ? left : kLongestSliceMs)) < 0 &&
            errno != EINTR) {
            failure = errno;
            break;
        }
    }

    if (serial && done > 0) {
        /* Given up: what the line has not sent is discarded, as the Windows driver drops the
         * rest of a write that timed out, so it never goes out after the host was told it did
         * not. Only what left counts. */
        const uint32_t unsent = failure == 0 ? AwaitSent(port, deadline) : Unsent(fd);
        if (unsent > 0) {
            ioctl(fd, TCFLSH, TCOFLUSH);
            done -= unsent < done ? unsent : done;
        }
    }
    if (done == 0) {
        if (failure != 0)
            errno = failure;
        else
            SetReason(CancelRequested(port) ? kReasonCancelled : kReasonTimedOut);
    }
    return done;
}
