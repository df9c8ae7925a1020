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
