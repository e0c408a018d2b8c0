/* Joinable POSIX threads. */
#include "aThread.h"

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
