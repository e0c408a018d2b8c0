// The diagnostic log's traces: formatted into a buffer of their own, written in one call.
#include "Log.h"

#include <cstdarg>
#include <cstring>

unsigned Log::package_bitmask = 0;
FILE* Log::fh = nullptr;

void Log::log(unsigned mask, const char* format, ...) {
    if (mask != 0 && (mask & package_bitmask) == 0) return;
    char text[2048];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (fh) fwrite(text, 1, strlen(text), fh);
}

void Log::SetOutput(FILE* stream) {
    fh = stream;
}
void Log::ActivatePackage(unsigned bits) {
    package_bitmask |= bits;
}
void Log::DeactivatePackage(unsigned bits) {
    package_bitmask &= ~bits;
}
