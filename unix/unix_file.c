/* Files over stdio. */
#include "aFile.h"

#include <errno.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#define aFILE_CHECK 0xFEEDu

struct aFile {
    FILE* stream;
    uint32_t mode;
    uint32_t check;
};

static bool sPathUsable(const char* path) {
    return path && path[0] != '\0' && strnlen(path, aFILE_MAX_PATH + 1) <= aFILE_MAX_PATH;
}

static bool sCanRead(const aFile* file) {
    return file->mode != aFileModeWriteOnly;
}
static bool sCanWrite(const aFile* file) {
    return file->mode != aFileModeReadOnly;
}

bool aVALIDFILE(const aFile* file) {
    return file && file->check == aFILE_CHECK;
}

bool aFile_Exists(const char* path) {
    struct stat info;
    if (!sPathUsable(path) || stat(path, &info) != 0) return false;
    return !S_ISDIR(info.st_mode);
}

aFile* aFile_Open(const char* path, int mode) {
    static const char* const STDIO_MODE[] = {"rb", "wb", "ab+"};
    if (!sPathUsable(path) || (unsigned)mode > aFileModeAppend) return NULL;

    aFile* file = calloc(1, sizeof(aFile));
    if (!file) return NULL;
    file->check = aFILE_CHECK;
    file->stream = fopen(path, STDIO_MODE[mode]);
    if (!file->stream) {
        free(file);
        return NULL;
    }
    file->mode = (uint32_t)mode;
    if (mode == aFileModeAppend) (void)aFile_Seek(file, 0, aSeekEnd);
    return file;
}

aErr aFile_Close(aFile** file) {
    if (!file) return aErrParam;
    aFile* record = *file;
    *file = NULL;
    if (!aVALIDFILE(record)) return aErrParam;
    fclose(record->stream);
    record->check = 0;
    free(record);
    return aErrNone;
}

aErr aFile_Read(aFile* file, void* buffer, size_t count, size_t* read) {
    if (!aVALIDFILE(file) || !buffer) return aErrParam;
    if (!sCanRead(file)) return aErrMode;
    size_t got = fread(buffer, 1, count, file->stream);
    if (read) *read = got;
    return (count > 0 && got == 0) ? aErrEOF : aErrNone;
}

aErr aFile_Write(aFile* file, const void* data, size_t count, size_t* written) {
    if (!aVALIDFILE(file) || !data) return aErrParam;
    if (!sCanWrite(file)) return aErrMode;
    size_t put = fwrite(data, 1, count, file->stream);
    if (written) *written = put;
    return (count > 0 && put == 0) ? aErrIO : aErrNone;
}

aErr aFile_GetPosition(aFile* file, size_t* position) {
    if (!aVALIDFILE(file)) return aErrParam;
    off_t at = ftello(file->stream);
    if (at < 0) return aErrIO;
    if (position) *position = (size_t)at;
    return aErrNone;
}

aErr aFile_GetSize(aFile* file, size_t* size) {
    if (!aVALIDFILE(file) || !size) return aErrParam;
    *size = 0;
    off_t at = ftello(file->stream);
    if (at < 0 || fseeko(file->stream, 0, SEEK_END) != 0) return aErrIO;
    off_t end = ftello(file->stream);
    if (fseeko(file->stream, at, SEEK_SET) != 0 || end < 0) return aErrIO;
    *size = (size_t)end;
    return aErrNone;
}

aErr aFile_Seek(aFile* file, long offset, int origin) {
    if (!aVALIDFILE(file)) return aErrParam;
    size_t position, size;
    if (aFile_GetPosition(file, &position) != aErrNone) return aErrIO;
    if (aFile_GetSize(file, &size) != aErrNone) return aErrIO;

    long long base = 0;
    if (origin == aSeekCurrent)
        base = (long long)position;
    else if (origin == aSeekEnd)
        base = (long long)size;
    long long target = base + offset;
    if (target < 0 || target > (long long)size) return aErrRange;

    if (fseeko(file->stream, (off_t)target, SEEK_SET) != 0) return aErrIO;
    return aFile_GetPosition(file, NULL) == aErrNone ? aErrNone : aErrIO;
}

aErr aFile_ReadLine(aFile* file, char* buffer, size_t size, size_t* length) {
    if (length) *length = 0;
    if (buffer && size > 0) buffer[0] = '\0';
    /* fgets needs room for one character and the terminator. */
    if (!buffer || !length || size < 2) return aErrParam;
    if (!aVALIDFILE(file)) return aErrParam;
    if (!sCanRead(file)) return aErrMode;

    int chunk = size > (size_t)INT32_MAX ? INT32_MAX : (int)size;
    if (!fgets(buffer, chunk, file->stream)) {
        buffer[0] = '\0';
        return feof(file->stream) ? aErrEOF : aErrIO;
    }
    *length = strlen(buffer);
    if (*length == (size_t)chunk - 1 && buffer[*length - 1] != '\n') return aErrOverrun;
    return aErrNone;
}

aErr aFile_Printf(aFile* file, const char* format, ...) {
    if (!aVALIDFILE(file) || !format) return aErrParam;
    if (!sCanWrite(file)) return aErrMode;
    va_list args;
    va_start(args, format);
    int result = vfprintf(file->stream, format, args);
    va_end(args);
    return result < 0 ? aErrIO : aErrNone;
}

aErr aFile_SetUnbuffered(aFile* file) {
    if (!aVALIDFILE(file)) return aErrParam;
    if (!sCanWrite(file)) return aErrMode;
    return setvbuf(file->stream, NULL, _IONBF, 0) == 0 ? aErrNone : aErrMode;
}

aErr aFile_Delete(const char* path) {
    if (!path) return aErrParam;
    if (strnlen(path, aFILE_MAX_PATH + 1) > aFILE_MAX_PATH) return aErrFileNameLength;
    if (unlink(path) == 0) return aErrNone;
    switch (errno) {
    case ENOENT:
        return aErrNotFound;
    case EACCES:
    case EPERM:
        return aErrPermission;
    default:
        return aErrIO;
    }
}
