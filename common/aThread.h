/* Joinable threads. Every created thread is destroyed (joined) exactly once. */
#ifndef TESSAFORM_ATHREAD_H
#define TESSAFORM_ATHREAD_H

#include "aError.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef void* (*aThreadProc)(void* arg);
typedef struct aThread aThread;

/* A running thread, or NULL when memory runs out or it cannot be started. */
aThread* aThread_Create(aThreadProc proc, void* arg);

/* Waits for the thread to return, frees the handle and clears it.
 * Returns the join result (0, or the system error number); aErrParam for a
 * NULL address or an already-cleared handle. */
int aThread_Destroy(aThread** thread);

/* Gives up the processor for a moment (5 microseconds). */
void aThread_Yield(void);

#ifdef __cplusplus
}
#endif

#endif
