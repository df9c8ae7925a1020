// A network namespace of a test's (or the bench's) own: loopback only, so no packet leaves the
// machine and the packet filter rules touch nothing else.
#pragma once

#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

// Moves this test's thread, and whatever it starts, into a namespace with loopback up. Gives
// why it could not (empty when it could).
inline std::string EnterOwnNetwork()
{
    if (unshare(CLONE_NEWNET) != 0)
        return std::string("unshare(CLONE_NEWNET): ") + std::strerror(errno) + " (needs root)";
    const int s = socket(AF_INET, SOCK_DGRAM, 0);
    struct ifreq lo = {};
    std::strcpy(lo.ifr_name, "lo");
    const bool up = s >= 0 && ioctl(s, SIOCGIFFLAGS, &lo) == 0 &&
                    (lo.ifr_flags |= IFF_UP, ioctl(s, SIOCSIFFLAGS, &lo) == 0);
    if (s >= 0)
        close(s);
    return up ? "" : "loopback would not come up";
}
