/* Why an export returned 0. The host reads it right after the call: GetLastError() on Windows,
 * errno on Linux. Where a platform call failed, its own code is left in place by the platform
 * file; the reasons below are the ones the library decides itself. */
#ifndef NORVAT_REASON_H
#define NORVAT_REASON_H

enum Reason {
    kReasonNone,         /* nothing failed (RcvBuf asked for 0 bytes): 0 */
    kReasonBadArgument,  /* null pointer, negative count, rate 0 or below, name too long:
                            ERROR_INVALID_PARAMETER (87) / EINVAL */
    kReasonNoPort,       /* no port is open: ERROR_INVALID_HANDLE (6) / EBADF */
    kReasonNoPrinter,    /* no connected USB printer matched: ERROR_DEVICE_NOT_CONNECTED (1167)
                            / ENODEV */
    kReasonEndOfListing, /* nothing (more) to list: ERROR_NO_MORE_ITEMS (259) / ENOENT */
    kReasonTimedOut,     /* nothing arrived, or no byte went out, in time: ERROR_TIMEOUT (1460)
                            / ETIMEDOUT */
    kReasonNoSerialLine, /* a line speed for a port that is no serial line, where the platform
                            is not asked: what a USB printer's driver answers, ERROR_NOT_SUPPORTED
                            (50) / ENOTTY */
};

/* Sets the platform's error to the code of reason. Platform file. */
void SetReason(Reason reason);

/* The common early return of an export: sets the reason and gives 0. */
static inline int Refuse(Reason reason)
{
    SetReason(reason);
    return 0;
}

#endif
