/* Files: a thin layer over stdio that reports every failure as an aErr.
 * Implemented per platform (unix/unix_file.c). */
#ifndef TESSAFORM_AFILE_H
#define TESSAFORM_AFILE_H

#include <stdbool.h>
#include <stddef.h>

#include "aError.h"

#ifdef __cplusplus
extern "C" {
#endif

#define aFILE_MAX_PATH 4096

typedef enum {
    aFileModeReadOnly = 0,  /* "rb" */
    aFileModeWriteOnly = 1, /* "wb": creates or truncates */
    aFileModeAppend = 2     /* "ab+": creates, reads anywhere, writes at the end */
} aFileMode;

typedef enum { aSeekStart = 0, aSeekCurrent = 1, aSeekEnd = 2 } aFileSeekOrigin;

typedef struct aFile aFile;

bool aVALIDFILE(const aFile* file);

/* True for an existing object that is not a directory. */
bool aFile_Exists(const char* path);

/* NULL for a NULL, empty or over-long path, an unknown mode, or a failed open. */
aFile* aFile_Open(const char* path, int mode);

/* Closes and frees the file; the handle is cleared whenever its address is given. */
aErr aFile_Close(aFile** file);

/* A short read is success; aErrEOF when nothing was read of a non-zero request. */
aErr aFile_Read(aFile* file, void* buffer, size_t count, size_t* read);

/* aErrIO when nothing was written of a non-zero request. */
aErr aFile_Write(aFile* file, const void* data, size_t count, size_t* written);

/* Positions at origin + offset; aErrRange (position kept) outside 0..size. */
aErr aFile_Seek(aFile* file, long offset, int origin);

/* The size in bytes, position kept; aErrIO and size 0 when it cannot be had. */
aErr aFile_GetSize(aFile* file, size_t* size);

aErr aFile_GetPosition(aFile* file, size_t* position);

/* Reads one line, newline kept, into a buffer of at least 2 bytes.
 * aErrOverrun: the line did not fit; its rest comes with the next call.
 * aErrEOF at the end of the file. */
aErr aFile_ReadLine(aFile* file, char* buffer, size_t size, size_t* length);

aErr aFile_Printf(aFile* file, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

/* Makes writes go straight through; call before the first write. */
aErr aFile_SetUnbuffered(aFile* file);

/* aErrNotFound, aErrPermission or aErrIO when the file cannot be removed. */
aErr aFile_Delete(const char* path);

#ifdef __cplusplus
}
#endif

#endif
