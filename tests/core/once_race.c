/* Compiled as C, like the core files that use aOnce (its header is C only): threads race for
 * one aOnce whose init is slow. */
#include "aOnce.h"
#include "aThread.h"
#include "aTime.h"

#include <stdbool.h>
#include <stddef.h>

int tf_once_race(int threads, int* initCalls, int* early);

#define MAX_RACERS 16

static aOnce sOnce = aONCE_INIT;
static atomic_int sInitCalls;
static atomic_int sEarly;
static atomic_bool sGo;
/* Written plainly by init: a caller that returned before init ended reads it too soon (and
 * ThreadSanitizer sees the race). */
static int sValue;

static void sSlowInit(void) {
    atomic_fetch_add(&sInitCalls, 1);
    aTime_MSSleep(50);
    sValue = 42;
}

static void* sRacer(void* arg) {
    (void)arg;
    while (!atomic_load(&sGo))
        aThread_Yield();
    aOnce_Run(&sOnce, sSlowInit);
    if (sValue != 42) atomic_fetch_add(&sEarly, 1);
    return NULL;
}

/* Runs once per process (the aOnce is static). Then runs the aOnce once more from this thread.
 * Stores how often init ran and how many callers returned before it had ended; 0 on success,
 * -1 when the threads could not be started. */
int tf_once_race(int threads, int* initCalls, int* early) {
    aThread* racers[MAX_RACERS] = {0};
    if (threads > MAX_RACERS) threads = MAX_RACERS;
    int started = 0;
    for (; started < threads; started++) {
        racers[started] = aThread_Create(sRacer, NULL);
        if (!racers[started]) break;
    }
    atomic_store(&sGo, true);
    for (int i = 0; i < started; i++)
        aThread_Destroy(&racers[i]);
    aOnce_Run(&sOnce, sSlowInit);
    *initCalls = atomic_load(&sInitCalls);
    *early = atomic_load(&sEarly);
    return started == threads ? 0 : -1;
}
