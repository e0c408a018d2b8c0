/* Joinable POSIX threads, and once-only initialisation. */
#include "aThread.h"

#include "aOnce.h"

#include <pthread.h>
#include <stdlib.h>
#include <unistd.h>

struct aThread {
    pthread_t thread;
};

aThread* aThread_Create(aThreadProc proc, void* arg) {
    if (!proc) return NULL;
    aThread* thread = calloc(1, sizeof(aThread));
    if (!thread) return NULL;
    if (pthread_create(&thread->thread, NULL, proc, arg) != 0) {
        free(thread);
        return NULL;
    }
    return thread;
}

int aThread_Destroy(aThread** thread) {
    if (!thread || !*thread) return aErrParam;
    int result = pthread_join((*thread)->thread, NULL);
    free(*thread);
    *thread = NULL;
    return result;
}

void aThread_Yield(void) {
    usleep(5);
}

enum { ONCE_NOT_RUN, ONCE_RUNNING, ONCE_DONE };

/* The state lives in the caller's static record, so no lock has to be made first. A late
 * caller yields until the first one is done: the wait is short and happens once. */
void aOnce_Run(aOnce* once, void (*init)(void)) {
    if (atomic_load_explicit(&once->state, memory_order_acquire) == ONCE_DONE) return;
    int expected = ONCE_NOT_RUN;
    if (atomic_compare_exchange_strong_explicit(&once->state, &expected, ONCE_RUNNING,
                                                memory_order_acquire, memory_order_acquire)) {
        init();
        atomic_store_explicit(&once->state, ONCE_DONE, memory_order_release);
        return;
    }
    while (atomic_load_explicit(&once->state, memory_order_acquire) != ONCE_DONE)
        aThread_Yield();
}
