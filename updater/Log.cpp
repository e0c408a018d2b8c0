// The diagnostic log: formats each trace on the stack and hands it to the stream in one write.
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
    int length = vsnprintf(text, sizeof text, format, args);
    va_end(args);
    FILE* stream = fh;
    if (length <= 0 || !stream) return;
    fwrite(text, 1, strlen(text), stream);
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
