/* A logger: a thread that calls one callback over and over with an open log file,
 * for as long as the logger is enabled. It knows nothing of what is written. */
#ifndef TESSAFORM_ALOGGER_H
#define TESSAFORM_ALOGGER_H

#include <stdbool.h>
#include <stdint.h>

#include "aError.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Runs on the logger thread; file is the logger's aFile*. It is called again as
 * soon as it returns, so it must wait itself when it has nothing to do. */
typedef void (*aLoggerCallback)(void* file, uint32_t parameter);

typedef struct aLogger aLogger;

bool aVALIDLOGGER(const aLogger* logger);

/* A new, disabled logger with path open for appending, unbuffered; NULL when memory
 * runs out or the file cannot be opened. */
aLogger* aLogger_Create(uint32_t parameter, aLoggerCallback callback, const char* path);

/* Starts the thread; aErrResource when it cannot be started. */
aErr aLogger_Enable(aLogger* logger);

/* Stops and joins the thread. From the callback itself it does nothing (aErrNone). */
aErr aLogger_Disable(aLogger* logger);

/* Disables, closes the file, frees the logger and clears the handle. Refused with
 * aErrBusy on the logger's own thread; when the thread cannot be joined the logger
 * is left whole (file open) and the join's error returned. */
aErr aLogger_Destroy(aLogger** logger);

#ifdef __cplusplus
}
#endif

#endif
