/* The bounded write on Linux: the device's descriptor is non-blocking, so the write goes on as
 * long as the device takes bytes, and waits for room when it does not. */
#include "io/io.h"

#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include "interface/reason.h"
#include "interface/session.h"
#include "io/clock_linux.h"

uint32_t WriteDevice(const char *data, uint32_t count)
{
    const int fd = portSession.portHandle;
    /* Windows waits 10 s for a write and looks once more after another 10 s, while the driver
     * keeps moving bytes; here the device gets those same 20 s to take the bytes, and the call
     * returns as soon as all of them went out. */
    const int64_t deadline = MonotonicMs() + 2 * (int64_t)portSession.writeTimeoutMs;
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
    if (done == 0) {
        if (failure != 0)
            errno = failure;
        else
            SetReason(kReasonTimedOut);
    }
    return done;
}
