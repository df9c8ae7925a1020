/* Locks on Windows: a ticket lock on two counters per port, and one around the list of ports.
 * Interlocked operations and Sleep exist on every Windows version and need no set-up; a critical
 * section must be initialised (which can fail), and an SRW lock would tie the DLL to Vista and
 * later. Tickets make the lock fair, so a thread that polls in a loop cannot keep a writer out. */
#include "interface/ports.h"

namespace {

PortLock registry = {0, 0};

/* Waiting threads first give up their time slice, then sleep: a holder may be inside a 20 s
 * write, and spinning for that long would burn a core. */
const unsigned kYieldsBeforeSleeping = 50;

} // namespace

void InitPortLock(PortLock *lock)
{
    lock->nextTicket = 0;
    lock->nowServing = 0;
}

void DestroyPortLock(PortLock *)
{
}

void LockPort(PortLock *lock)
{
    const LONG ticket = InterlockedIncrement(&lock->nextTicket) - 1;
    /* The compare-exchange only reads (it writes back the value it found): a full barrier, so
     * nothing of the port is read before the turn is ours. */
    for (unsigned waits = 0;
         InterlockedCompareExchange(&lock->nowServing, ticket, ticket) != ticket; waits++) {
        if (waits < kYieldsBeforeSleeping)
            SwitchToThread();
        else
            Sleep(1);
    }
}

void UnlockPort(PortLock *lock)
{
    /* Sets no last error: the reason of the call that unlocks stays as it left it. */
    InterlockedIncrement(&lock->nowServing);
}

void LockRegistry(void)
{
    const DWORD reason = GetLastError();
    LockPort(&registry);
    SetLastError(reason);
}

void UnlockRegistry(void)
{
    UnlockPort(&registry);
}

void *AllocateZeroed(size_t size)
{
    /* The process heap: the DLL has no C runtime of its own. */
    return HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size);
}

void FreeMemory(void *memory)
{
    if (memory != NULL)
        HeapFree(GetProcessHeap(), 0, memory);
}

void PauseBriefly(void)
{
    Sleep(1);
}

CallScope::CallScope() : previous_(0)
{
}

CallScope::~CallScope()
{
}
