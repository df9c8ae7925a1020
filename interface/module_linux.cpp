/* The shared object's ties to Linux: the errno codes it leaves, their portable codes, and the
 * close of every open port when it is unloaded (dlclose) or the process exits. */
#include <errno.h>

#include "include/norvat.h"
#include "interface/ports.h"
#include "interface/reason.h"

void SetReason(Reason reason)
{
    switch (reason) {
    case kReasonNone: errno = 0; break;
    case kReasonBadArgument: errno = NORVAT_E_INVALID_ARGUMENT; break;
    case kReasonNoPort: errno = NORVAT_E_NO_PORT; break;
    case kReasonNoPrinter: errno = NORVAT_E_NOT_CONNECTED; break;
    case kReasonEndOfListing: errno = NORVAT_E_NO_MORE_ITEMS; break;
    case kReasonTimedOut: errno = NORVAT_E_TIMEOUT; break;
    case kReasonNoSerialLine: errno = ENOTTY; break;
    case kReasonBusy: errno = EBUSY; break;
    case kReasonCancelled: errno = ECANCELED; break;
    case kReasonNoRecords: errno = ENOSYS; break;
    }
}

long PlatformError(void)
{
    return errno;
}

int PortableFailure(FailedStep step)
{
    const int missing = step == kFailedOpen ? NORVAT_ERR_NOT_FOUND : NORVAT_ERR_GONE;
    switch (errno) {
    case EINVAL: case ENAMETOOLONG: case EBADF: case EFAULT:
        return NORVAT_ERR_ARGUMENT;
    case ENOENT: case ENODEV: case ENXIO: case ECONNREFUSED: case EHOSTUNREACH:
    case ENETUNREACH: case EADDRNOTAVAIL:
        return missing;
    case EBUSY: case EAGAIN:
        return NORVAT_ERR_BUSY;
    case EACCES: case EPERM: case EROFS:
        return NORVAT_ERR_ACCESS;
    case ETIMEDOUT:
        return NORVAT_ERR_TIMEOUT;
    case ENOTTY: case ENOSYS: case EOPNOTSUPP: case EAFNOSUPPORT:
        return NORVAT_ERR_UNSUPPORTED;
    case EIO: case ECONNRESET: case EPIPE: case ENOTCONN: case ECONNABORTED: case ESHUTDOWN:
    case ENETDOWN: case ENETRESET: case EHOSTDOWN:
        return NORVAT_ERR_GONE;
    case ECANCELED:
        return NORVAT_ERR_CANCELLED;
    default:
        /* The resolver's codes (EAI_*) are negative: a name it does not know. */
        return errno < 0 ? NORVAT_ERR_NOT_FOUND : NORVAT_ERR_SYSTEM;
    }
}

bool InitSession(PortSession *)
{
    return true;
}

void FinishSession(PortSession *)
{
}

/* Runs at dlclose and at exit. Takes no lock: another thread may hold one. At exit other threads
 * may still be inside a call (a write waiting for a printer), so the records stay: their devices
 * are closed under them, and their calls end with a failure rather than in freed memory. */
__attribute__((destructor)) static void CloseAtUnload(void)
{
    CloseEveryPort(false);
}
