/* Milliseconds of the wall clock and of a monotonic clock, and sleeps. */
#ifndef TESSAFORM_ATIME_H
#define TESSAFORM_ATIME_H

#include <stdint.h>

#include "aError.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Milliseconds since the Unix epoch (wall clock: moves when the clock is set);
 * 0 when the clock cannot be read. */
uint64_t aTime_GetMSTicks(void);

/* Milliseconds of a clock that never jumps (CLOCK_MONOTONIC, from an arbitrary start): the
 * clock for deadlines and time-outs, which must not move when the wall clock is set. */
uint64_t aTime_GetMonotonicMSTicks(void);

aErr aTime_MSSleep(uint64_t ms);

/* Sleeps in slices below one second each until ms have passed. */
aErr osMSSleep(uint64_t ms);

#ifdef __cplusplus
}
#endif

#endif
