/* A monotonic clock for the I/O deadlines on Linux. */
#ifndef NORVAT_CLOCK_LINUX_H
#define NORVAT_CLOCK_LINUX_H

#include <stdint.h>
#include <time.h>

/* Milliseconds since an arbitrary start; never goes back. */
static inline int64_t MonotonicMs(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

#endif
