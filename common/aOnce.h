/* Once-only initialisation for the C files of the core (C++ files use std::call_once); a
 * static aOnce needs no set-up of its own. C only, not part of the public line. */
#ifndef TESSAFORM_AONCE_H
#define TESSAFORM_AONCE_H

#include <stdatomic.h>

typedef struct aOnce {
    atomic_int state; /* 0 not run, 1 running, 2 done */
} aOnce;

#define aONCE_INIT                                                                                 \
    { 0 }

/* Runs init on the first call for this aOnce; every call returns only after init has returned,
 * and sees what it wrote. init must not run the same aOnce. */
void aOnce_Run(aOnce* once, void (*init)(void));

#endif
