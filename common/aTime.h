/* Wall-clock milliseconds and sleeps. */
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

aErr aTime_MSSleep(uint64_t ms);

/* Sleeps in slices below one second each until ms have passed. */
aErr osMSSleep(uint64_t ms);

#ifdef __cplusplus
}
#endif

#endif
