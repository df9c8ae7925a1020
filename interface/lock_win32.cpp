/* The session lock on Windows: a ticket lock on two counters. Interlocked operations and Sleep
 * exist on every Windows version and need no set-up; a critical section must be initialised
 * (which can fail), and an SRW lock would tie the DLL to Vista and later. Tickets make the lock
 * fair, so a thread that polls RcvBuf in a loop cannot keep a writer out. */
#include "interface/session.h"

namespace {

volatile LONG nextTicket = 0;
volatile LONG nowServing = 0;

/* Waiting threads first give up their time slice, then sleep: a holder may be inside a 20 s
 * write, and spinning for that long would burn a core. */
const unsigned kYieldsBeforeSleeping = 50;

} // namespace

void LockSession(void)
{
    const LONG ticket = InterlockedIncrement(&nextTicket) - 1;
    /* The compare-exchange only reads (it writes back the value it found): a full barrier, so
     * nothing of the session is read before the turn is ours. */
    for (unsigned waits = 0; InterlockedCompareExchange(&nowServing, ticket, ticket) != ticket;
         waits++) {
        if (waits < kYieldsBeforeSleeping)
            SwitchToThread();
        else
            Sleep(1);
    }
}

void UnlockSession(void)
{
    /* Sets no last error: the reason of the export that unlocks stays as it left it. */
    InterlockedIncrement(&nowServing);
}
