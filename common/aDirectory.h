/* Directories and paths: existence, creation with parents, listing, deletion,
 * the current, executable and home directories, and joining path components. */
#ifndef TESSAFORM_ADIRECTORY_H
#define TESSAFORM_ADIRECTORY_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "aError.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The path separator; operations use its first character. */
extern const char* const aDIR_PATH_SEP;

/* Entry paths of listings and tree deletion are built in buffers of this size. */
#define aDIRECTORY_ENTRY_PATH 2048

/* BuildPath joins at most this many components. */
#define aDIRECTORY_MAX_COMPONENTS 10

typedef struct {
    const char* path;  /* directory, separator, entry name; valid during the callback */
    int32_t size;      /* low 32 bits of the entry's size */
    int32_t directory; /* 1 for a directory */
} aDirectoryListData;

/* Returns true to go on with the next entry, false to end the walk. */
typedef bool (*aDirectoryListCallback)(const aDirectoryListData* data, void* ref);

bool aDirectory_Exists(const char* path);

/* Creates the directory and its missing parents with mode; aErrNone when the
 * directory exists afterwards, aErrPermission otherwise. */
aErr aDirectory_Ensure(const char* path, uint16_t mode);

/* Calls back once per entry ("." and ".." included, unsorted); aErrNotFound when the
 * directory cannot be opened. Entries that cannot be stat'ed or whose path does not
 * fit are skipped. */
aErr aDirectory_List(const char* path, aDirectoryListCallback callback, void* ref);

/* Removes one empty directory; aErrUnknown on failure. */
aErr aDirectory_Delete(const char* path);

/* Removes the directory and everything below it. Symbolic links are removed
 * themselves, never followed, also one given as the path when it leads to a directory.
 * aErrNotFound when it cannot be opened. */
aErr aDirectory_DeleteTree(const char* path);

aErr aDirectory_CWD(char* buffer, size_t size);

/* The running program's path, cut to size - 1 characters; aErrRead when unreadable. */
aErr aDirectory_ExecutableFilePath(char* buffer, size_t size);

/* From the password database, else HOME; aErrNotFound when neither gives one,
 * aErrOverrun when it does not fit. */
aErr aDirectory_GetHomeDirectory(char* buffer, size_t size);

aErr aDirectory_JoinPath(char* buffer, size_t size, const char* first, const char* second);

/* Joins first and the further components up to a NULL (at most 10 in all) with the
 * separator, never doubling it at a join. aErrParam for bad arguments, aErrOverrun
 * when the result does not fit (size - 2 characters at most). */
aErr aDirectory_BuildPath(char* buffer, size_t size, const char* first, ...);

#ifdef __cplusplus
}
#endif

#endif
