/* The packet log ring: variable-length records in a preallocated byte ring, where adding
 * a record drops the oldest ones until it fits. */
#include "aPacketDebug.h"

#include <stdlib.h>

/* 64-bit arithmetic: the indexes may lie near the top of the 32-bit range. */
static uint32_t sStep(const aPacketLog* log, uint32_t index, uint32_t by) {
    return (uint32_t)(((uint64_t)index + by) % log->size);
}

static uint32_t sFree(const aPacketLog* log) {
    uint64_t used = ((uint64_t)log->writeIndex + log->size - log->readIndex) % log->size;
    return (uint32_t)(log->size - used);
}

aPacketLog* aPacketLog_Create(uint32_t size) {
    if (size == 0) return NULL; /* every index step is modulo the size */
    aPacketLog* log = calloc(1, sizeof(aPacketLog));
    if (!log) return NULL;
    log->ring = malloc(size);
    if (!log->ring) {
        free(log);
        return NULL;
    }
    log->size = size;
    return log;
}

/* One byte always stays free, so that equal indexes can only mean an empty ring. */
aErr aPacketLog_Put(aPacketLog* log, uint8_t type, uint32_t length, const uint8_t* data) {
    if (!log || !log->ring || log->size == 0 || (length > 0 && !data)) return aErrParam;
    /* The length byte could not frame more; refused rather than cut short. */
    if (length > aPACKETLOG_MAX_DATA) return aErrOverrun;

    const uint32_t needed = length + 2;
    uint32_t available = sFree(log);
    while (needed < log->size && needed >= available) {
        log->readIndex = sStep(log, log->readIndex, 1);
        log->readIndex = sStep(log, log->readIndex, (uint32_t)log->ring[log->readIndex] + 1);
        available = sFree(log);
    }
    if (needed >= available) return aErrOverrun;

    log->ring[log->writeIndex] = type;
    log->writeIndex = sStep(log, log->writeIndex, 1);
    log->ring[log->writeIndex] = (uint8_t)length;
    log->writeIndex = sStep(log, log->writeIndex, 1);
    for (uint32_t i = 0; i < length; i++) {
        log->ring[log->writeIndex] = data[i];
        log->writeIndex = sStep(log, log->writeIndex, 1);
    }
    return aErrNone;
}

aErr aPacketLog_Get(aPacketLog* log, uint32_t* type, uint32_t* length, uint8_t* destination) {
    if (!log || !log->ring || log->size == 0 || !type || !length) return aErrParam;
    if (!destination && *length > 0) return aErrParam;
    if (log->readIndex == log->writeIndex) return aErrNotFound;

    const uint32_t capacity = *length;
    const uint32_t recordLength = log->ring[sStep(log, log->readIndex, 1)];
    *type = log->ring[log->readIndex];
    *length = recordLength;
    if (capacity < recordLength) return aErrOverrun;

    log->readIndex = sStep(log, log->readIndex, 2);
    for (uint32_t i = 0; i < recordLength; i++) {
        destination[i] = log->ring[log->readIndex];
        log->readIndex = sStep(log, log->readIndex, 1);
    }
    return aErrNone;
}

aErr aPacketLog_Destroy(aPacketLog** log) {
    if (!log || !*log) return aErrNone;
    (*log)->enabled = 0;
    free((*log)->ring);
    free(*log);
    *log = NULL;
    return aErrNone;
}
