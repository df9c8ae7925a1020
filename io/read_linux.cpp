/* The bounded read on Linux: the device's descriptor is non-blocking, and poll() waits for bytes
 * within the same window the Windows build polls for. */
#include "io/io.h"

#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include "interface/reason.h"
#include "interface/timing.h"
#include "io/clock_linux.h"

namespace {

/* A serial read ends this long after its last byte, as the Windows driver's interval timeout
 * ends it there. */
const int64_t kSerialGapMs = kSerialReadIntervalMs;

bool HungUp(int fd)
{
    struct pollfd state = {fd, POLLIN, 0};
    return poll(&state, 1, 0) > 0 && (state.revents & (POLLHUP | POLLERR)) != 0;
}

} // namespace

int ReadDevice(PortSession *port, char *buffer, uint32_t count, uint32_t windowMs,
               uint32_t *received)
{
    const int fd = port->portHandle;
    const bool serial = port->portKind == kPortSerialLine;
    const int64_t start = MonotonicMs();
    int64_t lastByte = start;
    uint32_t got = 0;
    int failure = 0; /* errno of a read that failed for good */

    while (got < count) {
        const ssize_t n = read(fd, buffer + got, count - got);
        if (n > 0) {
            got += (uint32_t)n;
            lastByte = MonotonicMs();
            /* Printers and parallel ports hand over what they have; a serial line waits for
             * more until it has been quiet for the gap. */
            if (!serial)
                break;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN) {
            failure = errno; /* EIO, ENODEV: the device is gone */
            break;
        }
        if (n == 0 && HungUp(fd)) {
            /* A terminal that was hung up (a USB adapter pulled out) reads as end of file; a
             * line set to return at once reads 0 too, but is not hung up. */
            failure = EIO;
            break;
        }
        int64_t wait = start + windowMs - MonotonicMs();
        if (got > 0 && lastByte + kSerialGapMs - MonotonicMs() < wait)
            wait = lastByte + kSerialGapMs - MonotonicMs();
        if (wait <= 0 || CancelRequested(port))
            break;
        struct pollfd ready = {fd, POLLIN, 0};
        if (poll(&ready, 1, (int)(wait < kLongestSliceMs ? wait : kLongestSliceMs)) < 0 &&
            errno != EINTR) {
            failure = errno;
            break;
        }
    }

    if (got > 0) {
        *received = got;
        return 1;
    }
    if (failure != 0) {
        errno = failure;
        return 0;
    }
    return Refuse(CancelRequested(port) ? kReasonCancelled : kReasonTimedOut);
}
