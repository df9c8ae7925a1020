/* Locks on Linux: a ticket lock per port on a mutex and condition variable (tickets make it
 * fair, as on Windows), one mutex around the list of ports, and what fork() and pthread_cancel
 * need from them. */
#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <stdlib.h>

#include "interface/ports.h"

namespace {

pthread_mutex_t registry = PTHREAD_MUTEX_INITIALIZER;

/* A child of fork() has only the thread that forked. Any ticket another thread held (inside a
 * 20 s write, say) would never be served there, and the child's first call would wait forever;
 * a mutex itself may even have been held for those few instructions. So the child starts with
 * fresh, free locks, and keeps its copies of the open ports. Nothing is done before the fork, so
 * forking never waits for a call in flight. */
void FreeLocksInChild(void)
{
    pthread_mutex_init(&registry, NULL);
    FreeEveryLock();
}

/* glibc drops the handler again when the library is unloaded. */
__attribute__((constructor)) void RegisterForkHandler(void)
{
    pthread_atfork(NULL, NULL, FreeLocksInChild);
}

} // namespace

void InitPortLock(PortLock *lock)
{
    pthread_mutex_init(&lock->mutex, NULL);
    pthread_cond_init(&lock->turnChanged, NULL);
    lock->nextTicket = 0;
    lock->nowServing = 0;
}

void DestroyPortLock(PortLock *lock)
{
    pthread_cond_destroy(&lock->turnChanged);
    pthread_mutex_destroy(&lock->mutex);
}

void LockPort(PortLock *lock)
{
    pthread_mutex_lock(&lock->mutex);
    const unsigned long ticket = lock->nextTicket++;
    while (ticket != lock->nowServing)
        pthread_cond_wait(&lock->turnChanged, &lock->mutex);
    pthread_mutex_unlock(&lock->mutex);
}

void UnlockPort(PortLock *lock)
{
    /* The call that unlocks has set its reason already; keep it. */
    const int reason = errno;
    pthread_mutex_lock(&lock->mutex);
    lock->nowServing++;
    pthread_cond_broadcast(&lock->turnChanged);
    pthread_mutex_unlock(&lock->mutex);
    errno = reason;
}

void LockRegistry(void)
{
    pthread_mutex_lock(&registry);
}

void UnlockRegistry(void)
{
    const int reason = errno;
    pthread_mutex_unlock(&registry);
    errno = reason;
}

void *AllocateZeroed(size_t size)
{
    return calloc(1, size);
}

void FreeMemory(void *memory)
{
    free(memory);
}

void PauseBriefly(void)
{
    sched_yield();
}

/* A thread cancelled inside a call would leave the port's lock held for good: the call's waits
 * (poll, nanosleep, the lock's own condition wait) are cancellation points. So cancellation waits
 * until the call has returned. */
CallScope::CallScope()
{
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &previous_);
}

CallScope::~CallScope()
{
    const int reason = errno;
    int ignored;
    pthread_setcancelstate(previous_, &ignored);
    errno = reason;
}
