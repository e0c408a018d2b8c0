/* Wall-clock and monotonic milliseconds, and sleeps. */
#include "aTime.h"

#include <errno.h>
#include <sys/time.h>
#include <time.h>

#define MAX_SLICE_US 999999u

uint64_t aTime_GetMSTicks(void) {
    struct timeval now;
    if (gettimeofday(&now, NULL) != 0) return 0;
    return (uint64_t)now.tv_sec * 1000u + (uint64_t)now.tv_usec / 1000u;
}

uint64_t aTime_GetMonotonicMSTicks(void) {
    struct timespec now;
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) return 0;
    return (uint64_t)now.tv_sec * 1000u + (uint64_t)now.tv_nsec / 1000000u;
}

/* One slice; a signal does not cut it short. */
static void sSleepMicroseconds(uint64_t us) {
    struct timespec want = {.tv_sec = (time_t)(us / 1000000u),
                            .tv_nsec = (long)(us % 1000000u) * 1000};
    struct timespec left;
    while (nanosleep(&want, &left) != 0 && errno == EINTR)
        want = left;
}

aErr osMSSleep(uint64_t ms) {
    uint64_t remaining = ms > UINT64_MAX / 1000u ? UINT64_MAX : ms * 1000u;
    while (remaining > 0) {
        uint64_t slice = remaining < MAX_SLICE_US ? remaining : MAX_SLICE_US;
        sSleepMicroseconds(slice);
        remaining -= slice;
    }
    return aErrNone;
}

aErr aTime_MSSleep(uint64_t ms) {
    return osMSSleep(ms);
}
