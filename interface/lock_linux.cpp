/* The session lock on Linux: a ticket lock on a statically initialised mutex and condition
 * variable, so it needs no set-up that can fail. Tickets make it fair, as on Windows: a thread
 * that polls RcvBuf in a loop cannot keep a writer out. */
#include <errno.h>
#include <pthread.h>

#include "interface/session.h"

namespace {

pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t turnChanged = PTHREAD_COND_INITIALIZER;
unsigned long nextTicket = 0;
unsigned long nowServing = 0;

/* A child of fork() has only the thread that forked. Any ticket another thread held (inside a
 * 20 s write, say) would never be served there, and the child's first call would wait forever;
 * the mutex itself may even have been held for those few instructions. So the child starts with
 * a fresh, free lock. Nothing is done before the fork, so forking never waits for a call in
 * flight. */
void FreeLockInChild(void)
{
    pthread_mutex_init(&mutex, NULL);
    pthread_cond_init(&turnChanged, NULL);
    nextTicket = 0;
    nowServing = 0;
}

/* glibc drops the handler again when the library is unloaded. */
__attribute__((constructor)) void RegisterForkHandler(void)
{
    pthread_atfork(NULL, NULL, FreeLockInChild);
}

} // namespace

void LockSession(void)
{
    pthread_mutex_lock(&mutex);
    const unsigned long ticket = nextTicket++;
    while (ticket != nowServing)
        pthread_cond_wait(&turnChanged, &mutex);
    pthread_mutex_unlock(&mutex);
}

void UnlockSession(void)
{
    /* The export that unlocks has set its reason already; keep it. */
    const int reason = errno;
    pthread_mutex_lock(&mutex);
    nowServing++;
    pthread_cond_broadcast(&turnChanged);
    pthread_mutex_unlock(&mutex);
    errno = reason;
}
