/* Mutexes and the condition variables that wait on them, over POSIX threads. */
#include "aMutex.h"

#include "aCondition.h"

#include <errno.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>

struct aMutex {
    pthread_mutex_t mutex;
    char name[aMUTEX_MAX_NAME + 1];
};

aMutex* aMutex_Create(const char* name) {
    if (name && strnlen(name, aMUTEX_MAX_NAME + 1) > aMUTEX_MAX_NAME) return NULL;
    aMutex* mutex = calloc(1, sizeof(aMutex));
    if (!mutex) return NULL;
    if (pthread_mutex_init(&mutex->mutex, NULL) != 0) {
        free(mutex);
        return NULL;
    }
    if (name) strcpy(mutex->name, name);
    return mutex;
}

const char* aMutex_Identifier(const aMutex* mutex) {
    return mutex ? mutex->name : NULL;
}

static aErr sLockResult(int result) {
    switch (result) {
    case 0:
        return aErrNone;
    case EINVAL:
        return aErrParam;
    case EDEADLK:
        return aErrDuplicate;
    case EBUSY:
        return aErrBusy;
    case EPERM:
        return aErrPermission;
    default:
        return aErrUnknown;
    }
}

aErr aMutex_Lock(aMutex* mutex) {
    return mutex ? sLockResult(pthread_mutex_lock(&mutex->mutex)) : aErrParam;
}

aErr aMutex_TryLock(aMutex* mutex) {
    return mutex ? sLockResult(pthread_mutex_trylock(&mutex->mutex)) : aErrParam;
}

aErr aMutex_Unlock(aMutex* mutex) {
    return mutex ? sLockResult(pthread_mutex_unlock(&mutex->mutex)) : aErrParam;
}

static aErr sDestroyResult(int result) {
    switch (result) {
    case 0:
        return aErrNone;
    case EAGAIN:
        return aErrResource;
    case EBUSY:
        return aErrBusy;
    case EINVAL:
        return aErrParam;
    default:
        return aErrUnknown;
    }
}

/* A held mutex is refused, not freed: destroying it is undefined and its holder would unlock
 * freed memory. The trylock sees the caller's own hold as well (the mutex is not recursive), and
 * asks before the destroy so that a held mutex is never handed to it. */
aErr aMutex_Destroy(aMutex** mutex) {
    if (!mutex || !*mutex) return aErrParam;
    int held = pthread_mutex_trylock(&(*mutex)->mutex);
    if (held == EBUSY) return aErrBusy;
    if (held == 0) pthread_mutex_unlock(&(*mutex)->mutex);
    int result = pthread_mutex_destroy(&(*mutex)->mutex);
    if (result == EBUSY) return aErrBusy; /* locked since the trylock */
    free(*mutex);
    *mutex = NULL;
    return sDestroyResult(result);
}

struct aCondition {
    pthread_cond_t condition;
};

aCondition* aCondition_Create(void) {
    aCondition* condition = calloc(1, sizeof(aCondition));
    if (!condition) return NULL;
    if (pthread_cond_init(&condition->condition, NULL) != 0) {
        free(condition);
        return NULL;
    }
    return condition;
}

aErr aCondition_Wait(aCondition* condition, aMutex* mutex) {
    if (!condition || !mutex) return aErrParam;
    return sLockResult(pthread_cond_wait(&condition->condition, &mutex->mutex));
}

aErr aCondition_Broadcast(aCondition* condition) {
    return condition ? sLockResult(pthread_cond_broadcast(&condition->condition)) : aErrParam;
}

aErr aCondition_Destroy(aCondition** condition) {
    if (!condition || !*condition) return aErrParam;
    int result = pthread_cond_destroy(&(*condition)->condition);
    if (result == EBUSY) return aErrBusy;
    free(*condition);
    *condition = NULL;
    return sDestroyResult(result);
}
