/* Trace switches and the trace printer. */
#include "aDebugging.h"

#include <stdarg.h>
#include <stdio.h>

int aTessaformDebuggingEnable = 0;
uint32_t aTessaformDebuggingLevel = 0;

void aDebug_Trace(uint32_t level, const char* format, ...) {
    if (!aTessaformDebuggingEnable || (aTessaformDebuggingLevel & level) == 0) return;
    /* One buffer, one write: lines of concurrent threads do not interleave. */
    char line[512];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof(line), format, args);
    va_end(args);
    fputs(line, stdout);
    fflush(stdout);
}
