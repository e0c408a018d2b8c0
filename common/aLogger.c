/* The logger thread. */
#include "aLogger.h"

#include <stdatomic.h>
#include <stdlib.h>

#include "aFile.h"
#include "aThread.h"

#define aLOGGER_CHECK 0xDEEDu

struct aLogger {
    uint32_t parameter;
    aLoggerCallback callback;
    aFile* file;
    aThread* thread;
    atomic_bool enabled;
    bool running; /* a thread exists to be joined; touched by the controlling thread only */
    uint16_t check;
};

/* The logger whose callback runs on this thread, so that calls from inside a
 * callback are recognised without reading the thread id the creator is writing. */
static _Thread_local const aLogger* sCurrentLogger;

bool aVALIDLOGGER(const aLogger* logger) {
    return logger && logger->check == aLOGGER_CHECK;
}

aLogger* aLogger_Create(uint32_t parameter, aLoggerCallback callback, const char* path) {
    if (!callback) return NULL;
    aLogger* logger = calloc(1, sizeof(aLogger));
    if (!logger) return NULL;
    atomic_init(&logger->enabled, false);
    logger->check = aLOGGER_CHECK;
    logger->callback = callback;
    logger->parameter = parameter;
    logger->file = aFile_Open(path, aFileModeAppend);
    if (!logger->file) {
        free(logger);
        return NULL;
    }
    (void)aFile_SetUnbuffered(logger->file);
    return logger;
}

static void* sRunLog(void* arg) {
    aLogger* logger = arg;
    if (!aVALIDLOGGER(logger)) return NULL;
    sCurrentLogger = logger;
    while (atomic_load(&logger->enabled))
        logger->callback(logger->file, logger->parameter);
    sCurrentLogger = NULL;
    return NULL;
}

aErr aLogger_Enable(aLogger* logger) {
    if (!aVALIDLOGGER(logger)) return aErrParam;
    if (atomic_load(&logger->enabled)) return aErrNone;
    atomic_store(&logger->enabled, true);
    logger->thread = aThread_Create(sRunLog, logger);
    if (!logger->thread) {
        atomic_store(&logger->enabled, false);
        return aErrResource;
    }
    logger->running = true;
    return aErrNone;
}

aErr aLogger_Disable(aLogger* logger) {
    if (!aVALIDLOGGER(logger)) return aErrParam;
    if (sCurrentLogger == logger) return aErrNone;
    if (!logger->running) return aErrNone;
    atomic_store(&logger->enabled, false);
    if (aThread_Destroy(&logger->thread) != 0) return aErrUnknown;
    logger->running = false;
    return aErrNone;
}

aErr aLogger_Destroy(aLogger** logger) {
    if (!logger || !aVALIDLOGGER(*logger)) return aErrNone;
    aLogger* record = *logger;
    /* Freeing the record under its own running thread would pull it from under the loop. */
    if (sCurrentLogger == record) return aErrBusy;
    aErr result = aLogger_Disable(record);
    if (result != aErrNone) return result; /* the thread may still be writing the file */
    aFile_Close(&record->file);
    free(record);
    *logger = NULL;
    return aErrNone;
}
