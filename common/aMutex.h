/* Process-local, non-recursive mutexes with a name for identification. */
#ifndef TESSAFORM_AMUTEX_H
#define TESSAFORM_AMUTEX_H

#include "aError.h"

#ifdef __cplusplus
extern "C" {
#endif

#define aMUTEX_MAX_NAME 255

typedef struct aMutex aMutex;

/* NULL when memory runs out, the name has more than 255 characters, or the
 * system cannot make the mutex. A NULL name gives an empty one. */
aMutex* aMutex_Create(const char* name);
const char* aMutex_Identifier(const aMutex* mutex);

aErr aMutex_Lock(aMutex* mutex);
/* aErrBusy when another thread holds it. */
aErr aMutex_TryLock(aMutex* mutex);
/* aErrPermission when the caller is not the owner. */
aErr aMutex_Unlock(aMutex* mutex);

/* aErrBusy while any thread, the caller included, holds the mutex: the record stays alive and the
 * handle as it was. Otherwise frees the record and clears the handle whatever the system answers.
 */
aErr aMutex_Destroy(aMutex** mutex);

#ifdef __cplusplus
}
#endif

#endif
