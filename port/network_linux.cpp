/* Connecting to a network printer on Linux. */
#include "port/network.h"

#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "interface/timing.h"
#include "io/clock_linux.h"

namespace {

/* A printer that stops acknowledging ends the connection within the write bound, so the write
 * that finds it gone reports it, and later calls fail at once instead of queueing. */
const unsigned kUserTimeoutMs = kNetworkSilenceMs;

/* One address: a non-blocking connect, waited for at most leftMs. The socket, or -1 with
 * *failure set. */
int TryConnect(const struct addrinfo *address, int64_t leftMs, int *failure)
{
    const int fd = socket(address->ai_family, address->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                          address->ai_protocol);
    if (fd < 0) {
        *failure = errno;
        return -1;
    }
    if (connect(fd, address->ai_addr, address->ai_addrlen) == 0)
        return fd;
    int error = errno;
    if (error == EINPROGRESS) {
        const int64_t deadline = MonotonicMs() + leftMs;
        for (;;) {
            struct pollfd done = {fd, POLLOUT, 0};
            const int64_t left = deadline - MonotonicMs();
            const int ready = left > 0 ? poll(&done, 1, (int)left) : 0;
            if (ready < 0 && errno == EINTR)
                continue;
            if (ready < 0) {
                error = errno;
            } else if (ready == 0) {
                error = ETIMEDOUT;
            } else {
                socklen_t size = sizeof error;
                if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0)
                    error = errno;
            }
            break;
        }
        if (error == 0)
            return fd;
    }
    close(fd);
    *failure = error;
    return -1;
}

} // namespace

int ConnectNetworkPrinter(PortSession *port, const NetworkAddress *address, int connectMs)
{
    struct addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV | (address->literalV6 ? AI_NUMERICHOST : 0);
    struct addrinfo *found = NULL;
    /* The resolver takes as long as its configuration lets it (resolv.conf: timeout and
     * attempts per server). It answers with its own codes, EAI_*, negative in glibc; they are
     * what the host gets. */
    const int resolved = getaddrinfo(address->host, address->service, &hints, &found);
    if (resolved != 0) {
        if (resolved != EAI_SYSTEM)
            errno = resolved;
        return 0;
    }

    /* Every address the name has, in the resolver's order, within one bound. */
    const int64_t deadline = MonotonicMs() + connectMs;
    int fd = -1;
    int failure = ETIMEDOUT;
    for (const struct addrinfo *a = found; a != NULL && fd < 0; a = a->ai_next) {
        const int64_t left = deadline - MonotonicMs();
        if (left <= 0) {
            failure = ETIMEDOUT;
            break;
        }
        fd = TryConnect(a, left, &failure);
    }
    freeaddrinfo(found);
    if (fd < 0) {
        errno = failure;
        return 0;
    }

    /* Small writes (a command, a status request) go out at once, not after the last one's
     * acknowledgement. Failures leave a usable, if slower, connection. */
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &kUserTimeoutMs, sizeof kUserTimeoutMs);
    port->portHandle = fd;
    port->portKind = kPortNetwork;
    return 1;
}
