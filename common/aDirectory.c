/* Directories and paths over POSIX. */
#include "aDirectory.h"

#include <dirent.h>
#include <limits.h>
#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

const char* const aDIR_PATH_SEP = "/";

#define SEP (aDIR_PATH_SEP[0])

/* The rightmost place in text where pattern begins, or NULL. */
static char* backwards_memcmp(char* text, const char* pattern) {
    size_t textLength = strlen(text);
    size_t patternLength = strlen(pattern);
    if (patternLength == 0) return text;
    if (patternLength > textLength) return NULL;
    for (size_t at = textLength - patternLength + 1; at-- > 0;)
        if (memcmp(text + at, pattern, patternLength) == 0) return text + at;
    return NULL;
}

bool aDirectory_Exists(const char* path) {
    struct stat info;
    return path && stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

static bool sMake(const char* path, uint16_t mode) {
    return mkdir(path, (mode_t)mode) == 0 || errno == EEXIST;
}

aErr aDirectory_Ensure(const char* path, uint16_t mode) {
    if (!path || !*path) return aErrParam;
    if (aDirectory_Exists(path)) return aErrNone;

    char* copy = strdup(path);
    if (!copy) return aErrMemory;

    /* Creation starts below the deepest ancestor that exists. */
    char* start = copy;
    char* cut = backwards_memcmp(copy, aDIR_PATH_SEP);
    while (cut) {
        *cut = '\0';
        bool exists = cut > copy && aDirectory_Exists(copy);
        char* previous = backwards_memcmp(copy, aDIR_PATH_SEP);
        *cut = SEP;
        if (exists) {
            start = cut + 1;
            break;
        }
        cut = previous;
    }

    aErr result = aErrNone;
    for (char* sep = strchr(start, SEP); sep; sep = strchr(sep + 1, SEP)) {
        if (sep == copy || sep[-1] == SEP) continue; /* empty component */
        *sep = '\0';
        if (!aDirectory_Exists(copy) && !sMake(copy, mode)) result = aErrPermission;
        *sep = SEP;
        if (result != aErrNone) break;
    }
    free(copy);

    if (result == aErrNone && !aDirectory_Exists(path)) (void)sMake(path, mode);
    /* "Already exists" is success only when what exists is a directory. */
    return aDirectory_Exists(path) ? aErrNone : aErrPermission;
}

aErr aDirectory_List(const char* path, aDirectoryListCallback callback, void* ref) {
    if (!path || !callback) return aErrParam;
    DIR* dir = opendir(path);
    if (!dir) return aErrNotFound;

    char entryPath[aDIRECTORY_ENTRY_PATH];
    struct dirent* entry;
    while ((entry = readdir(dir)) != NULL) {
        if (aDirectory_JoinPath(entryPath, sizeof(entryPath), path, entry->d_name) != aErrNone)
            continue;
        struct stat info;
        if (stat(entryPath, &info) != 0) continue;
        aDirectoryListData data = {
            .path = entryPath,
            .size = (int32_t)(uint32_t)((uint64_t)info.st_size & 0xFFFFFFFFu),
            .directory = S_ISDIR(info.st_mode) ? 1 : 0,
        };
        if (!callback(&data, ref)) break;
    }
    closedir(dir);
    return aErrNone;
}

aErr aDirectory_Delete(const char* path) {
    return (path && rmdir(path) == 0) ? aErrNone : aErrUnknown;
}

/* A link named as a tree is removed itself, as rm -r does: following it would empty a
 * directory the caller never named. One that leads to no directory is no tree, and stays. */
static aErr sDeleteLink(const char* path) {
    if (!aDirectory_Exists(path)) return aErrNotFound;
    return unlink(path) == 0 ? aErrNone : aErrUnknown;
}

static aErr sDeleteTree(const char* path) {
    /* Refuses a link, also one put in place of a directory while the walk runs. */
    int fd = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        struct stat info;
        if (lstat(path, &info) == 0 && S_ISLNK(info.st_mode)) return sDeleteLink(path);
        return aErrNotFound;
    }
    DIR* dir = fdopendir(fd);
    if (!dir) {
        close(fd);
        return aErrNotFound;
    }

    aErr result = aErrNone;
    char entryPath[aDIRECTORY_ENTRY_PATH];
    struct dirent* entry;
    while (result == aErrNone && (entry = readdir(dir)) != NULL) {
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
        /* A path that does not fit must not be deleted under its cut form. */
        if (aDirectory_JoinPath(entryPath, sizeof(entryPath), path, entry->d_name) != aErrNone) {
            result = aErrUnknown;
            break;
        }
        struct stat info;
        if (lstat(entryPath, &info) != 0) continue;
        if (S_ISDIR(info.st_mode)) {
            result = sDeleteTree(entryPath);
        } else if (unlink(entryPath) != 0) {
            perror("aDirectory_DeleteTree");
            printf("---error unlink-ing file [%s]\n", entryPath);
            result = aErrUnknown;
        }
    }
    closedir(dir);
    return aDirectory_Delete(path);
}

aErr aDirectory_DeleteTree(const char* path) {
    if (!path) return aErrParam;
    /* Without its trailing separators, so that a link named "link/" is not followed. */
    char* own = strdup(path);
    if (!own) return aErrMemory;
    for (size_t length = strlen(own); length > 1 && own[length - 1] == SEP; length--)
        own[length - 1] = '\0';
    aErr result = sDeleteTree(own);
    free(own);
    return result;
}

aErr aDirectory_CWD(char* buffer, size_t size) {
    if (!buffer || size == 0) return aErrParam;
    return getcwd(buffer, size) ? aErrNone : aErrParam;
}

aErr aDirectory_ExecutableFilePath(char* buffer, size_t size) {
    if (!buffer || size == 0) return aErrParam;
    char target[PATH_MAX + 1];
    ssize_t length = readlink("/proc/self/exe", target, sizeof(target) - 1);
    if (length < 0) return aErrRead;
    size_t kept = (size_t)length < size - 1 ? (size_t)length : size - 1;
    memcpy(buffer, target, kept);
    buffer[kept] = '\0';
    return aErrNone;
}

aErr aDirectory_GetHomeDirectory(char* buffer, size_t size) {
    if (!buffer || size == 0) return aErrParam;
    memset(buffer, 0, size);
    const char* home = NULL;
    struct passwd* entry = getpwuid(getuid());
    if (entry && entry->pw_dir && entry->pw_dir[0])
        home = entry->pw_dir;
    else
        home = getenv("HOME");
    if (!home || !home[0]) return aErrNotFound;
    if (strlen(home) >= size) return aErrOverrun;
    strcpy(buffer, home);
    return aErrNone;
}

aErr aDirectory_BuildPath(char* buffer, size_t size, const char* first, ...) {
    if (!buffer || size == 0) return aErrParam;
    if (buffer == first) return aErrParam;
    buffer[0] = '\0';
    if (!first) return aErrParam;

    const char* parts[aDIRECTORY_MAX_COMPONENTS];
    size_t count = 0;
    parts[count++] = first;
    va_list args;
    va_start(args, first);
    for (const char* part = va_arg(args, const char*); part; part = va_arg(args, const char*)) {
        if (part == buffer || count == aDIRECTORY_MAX_COMPONENTS) {
            va_end(args);
            return aErrParam;
        }
        parts[count++] = part;
    }
    va_end(args);

    size_t length = strlen(first);
    if (length >= size - 1) return aErrOverrun;
    memcpy(buffer, first, length + 1);

    for (size_t i = 1; i < count; i++) {
        const char* part = parts[i];
        size_t partLength = strlen(part);
        size_t room = size - length - 1;
        /* No separator in front of a path that is still empty: "" and "b" join to "b". */
        if (room > 1 && length > 0 && buffer[length - 1] != SEP && part[0] != SEP) {
            buffer[length++] = SEP;
            buffer[length] = '\0';
            room--;
        }
        if (partLength >= room) return aErrOverrun;
        memcpy(buffer + length, part, partLength + 1);
        length += partLength;
    }
    return aErrNone;
}

aErr aDirectory_JoinPath(char* buffer, size_t size, const char* first, const char* second) {
    return aDirectory_BuildPath(buffer, size, first, second, (const char*)NULL);
}
