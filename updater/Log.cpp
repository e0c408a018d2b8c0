// The diagnostic log.
#include "Log.h"

#include <cstdarg>
#include <cstring>
#include <ctime>

unsigned Log::package_bitmask = 0;
FILE* Log::fh = nullptr;
bool Log::timestamped = false;

void Log::log(unsigned mask, const char* format, ...) {
    if (mask != 0 && (mask & package_bitmask) == 0) return;
    if (timestamped && strlen(format) > 10) {
        time_t now = time(nullptr);
        struct tm utc;
        char stamp[128];
        if (gmtime_r(&now, &utc) && strftime(stamp, sizeof stamp, TIMESTAMP_FORMAT, &utc))
            printf("%s%s", stamp, SEPARATOR);
    }
    char text[2048];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    FILE* out = fh;
    if (out) fwrite(text, 1, strlen(text), out);
}
