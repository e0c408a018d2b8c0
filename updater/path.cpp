// Path joining without the core's component count or buffer limits.
#include "path.h"

#include <cstdarg>

#include "aDirectory.h"

std::string BuildPath(const char* first, ...) {
    std::string path = first ? first : "";
    va_list parts;
    va_start(parts, first);
    for (const char* part = va_arg(parts, const char*); part; part = va_arg(parts, const char*)) {
        path += aDIR_PATH_SEP[0];
        path += part;
    }
    va_end(parts);
    return path;
}
