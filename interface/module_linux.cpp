/* The shared object's ties to Linux: the errno codes it leaves after a 0 result, and the close
 * of an open port when it is unloaded (dlclose) or the process exits. */
#include <errno.h>

#include "interface/reason.h"
#include "interface/session.h"

void SetReason(Reason reason)
{
    switch (reason) {
    case kReasonNone: errno = 0; break;
    case kReasonBadArgument: errno = EINVAL; break;
    case kReasonNoPort: errno = EBADF; break;
    case kReasonNoPrinter: errno = ENODEV; break;
    case kReasonEndOfListing: errno = ENOENT; break;
    case kReasonTimedOut: errno = ETIMEDOUT; break;
    case kReasonNoSerialLine: errno = ENOTTY; break;
    }
}

/* Takes no lock, as on Windows: at dlclose no export may still be running, and at exit another
 * thread may have been stopped while holding it. */
__attribute__((destructor)) static void CloseAtUnload(void)
{
    ClosePortHandle();
}
