/* Writing to and reading from a network printer on Linux. "Written" means acknowledged by the
 * printer: the socket's send queue holds every byte until the printer's TCP acknowledged it, and
 * SIOCOUTQ says how many it still holds. */
#include "io/io.h"

#include <errno.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <time.h>

#include "interface/reason.h"
#include "interface/timing.h"
#include "io/clock_linux.h"

namespace {

/* The most pieces one write takes: a command and its CR LF. */
const int kMostPieces = 2;

/* The error that ended the connection, or why it is not usable. */
int ConnectionError(int fd)
{
    int error = 0;
    socklen_t size = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0)
        return errno;
    return error != 0 ? error : EPIPE;
}

/* Microseconds since an arbitrary start. */
int64_t MonotonicUs(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)now.tv_sec * 1000000 + now.tv_nsec / 1000;
}

/* Waits until the printer acknowledged everything handed to the socket, the connection broke
 * (*failure set), the deadline passed or a cancel came. Returns the bytes still not
 * acknowledged. No event says "acknowledged", so it looks: for the first 200 us giving up the
 * processor between looks (a printer nearby acknowledges within that, and a large write must not
 * lose to a timer), then in slices growing from 50 us to 16 ms. A connection that breaks ends a
 * slice at once. */
uint32_t AwaitAcknowledged(const PortSession *port, int64_t deadline, int *failure)
{
    const int fd = port->portHandle;
    const int64_t spinUntil = MonotonicUs() + 200;
    long sliceUs = 50;
    for (;;) {
        int unacknowledged = 0;
        if (ioctl(fd, SIOCOUTQ, &unacknowledged) != 0 || unacknowledged <= 0)
            return 0;
        const int64_t left = deadline - MonotonicMs();
        if (left <= 0 || CancelRequested(port))
            return (uint32_t)unacknowledged;
        const bool spinning = MonotonicUs() < spinUntil;
        const long waitUs = spinning ? 0 : sliceUs < left * 1000 ? sliceUs : (long)(left * 1000);
        const struct timespec wait = {waitUs / 1000000, (waitUs % 1000000) * 1000};
        /* No events asked: ppoll reports only an error or a hang-up. */
        struct pollfd state = {fd, 0, 0};
        if (ppoll(&state, 1, &wait, NULL) > 0 && (state.revents & (POLLERR | POLLHUP)) != 0) {
            *failure = ConnectionError(fd);
            return (uint32_t)unacknowledged;
        }
        if (spinning)
            sched_yield();
        else if (sliceUs < kLongestSliceMs * 1000)
            sliceUs = sliceUs * 2 < kLongestSliceMs * 1000 ? sliceUs * 2 : kLongestSliceMs * 1000;
    }
}

/* The iovecs for what of the pieces is still to go after `skip` bytes. */
int Remaining(const WritePiece *pieces, int pieceCount, uint64_t skip, struct iovec *iov)
{
    int n = 0;
    for (int i = 0; i < pieceCount; i++) {
        if (skip >= pieces[i].count) {
            skip -= pieces[i].count;
            continue;
        }
        iov[n].iov_base = const_cast<char *>(pieces[i].data + skip);
        iov[n].iov_len = pieces[i].count - skip;
        skip = 0;
        n++;
    }
    return n;
}

} // namespace

uint32_t WriteSocket(PortSession *port, const WritePiece *pieces, int pieceCount, int64_t boundMs)
{
    const int fd = port->portHandle;
    const int64_t deadline = MonotonicMs() + boundMs;
    uint64_t total = 0;
    for (int i = 0; i < pieceCount; i++)
        total += pieces[i].count;

    uint64_t handed = 0;
    int failure = 0;
    while (handed < total && !CancelRequested(port)) {
        struct iovec iov[kMostPieces];
        struct msghdr message = {};
        message.msg_iov = iov;
        message.msg_iovlen = (size_t)Remaining(pieces, pieceCount < kMostPieces ? pieceCount : kMostPieces, handed, iov);
        /* MSG_NOSIGNAL: a printer that closed the connection is an EPIPE, never a SIGPIPE that
         * ends the host. */
        const ssize_t n = sendmsg(fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            handed += (uint64_t)n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN) {
            failure = errno; /* ECONNRESET, EPIPE, ETIMEDOUT: the connection is gone */
            break;
        }
        const int64_t left = deadline - MonotonicMs();
        if (left <= 0)
            break;
        struct pollfd room = {fd, POLLOUT, 0};
        if (poll(&room, 1, (int)(left < kLongestSliceMs ? left : kLongestSliceMs)) < 0 &&
            errno != EINTR) {
            failure = errno;
            break;
        }
    }

    const uint32_t unacknowledged = handed > 0 ? AwaitAcknowledged(port, deadline, &failure) : 0;
    const uint64_t acknowledged = handed - (unacknowledged < handed ? unacknowledged : handed);
    if (acknowledged < total) {
        if (unacknowledged > 0 && failure == 0) {
            /* Given up while the printer still holds the connection: abort it, so the bytes not
             * acknowledged are dropped and never reach the printer after the host was told they
             * did not. Later writes fail until the host reopens. */
            struct sockaddr unspecified = {};
            unspecified.sa_family = AF_UNSPEC;
            connect(fd, &unspecified, sizeof unspecified);
        }
        if (failure != 0)
            errno = failure;
        else
            SetReason(CancelRequested(port) ? kReasonCancelled : kReasonTimedOut);
    }
    return (uint32_t)acknowledged;
}

int ReadSocket(PortSession *port, char *buffer, uint32_t count, uint32_t windowMs,
               uint32_t *received)
{
    const int fd = port->portHandle;
    const int64_t deadline = MonotonicMs() + windowMs;
    for (;;) {
        const ssize_t n = recv(fd, buffer, count, MSG_DONTWAIT);
        if (n > 0) {
            /* A printer hands over what it has: no waiting for more. */
            *received = (uint32_t)n;
            return 1;
        }
        if (n == 0) {
            /* The printer closed the connection: nothing will ever come. */
            errno = ECONNRESET;
            return 0;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN)
            return 0; /* recv's errno: ECONNRESET, ETIMEDOUT, ... */
        const int64_t left = deadline - MonotonicMs();
        if (CancelRequested(port))
            return Refuse(kReasonCancelled);
        if (left <= 0)
            return Refuse(kReasonTimedOut);
        struct pollfd ready = {fd, POLLIN, 0};
        if (poll(&ready, 1, (int)(left < kLongestSliceMs ? left : kLongestSliceMs)) < 0 &&
            errno != EINTR)
            return 0;
    }
}
