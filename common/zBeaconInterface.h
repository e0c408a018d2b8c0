/* A process-wide lock around czmq's beacon interface setting, so that a caller can start a
 * beacon on the interface it chose while no other thread changes the setting. */
#ifndef TESSAFORM_ZBEACONINTERFACE_H
#define TESSAFORM_ZBEACONINTERFACE_H

#include <stdbool.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The lock is not recursive: between a successful ...AndLock call and its unlock, the holder
 * calls no other ...AndLock operation. A holder that does gets false or NULL instead of
 * hanging; an unlock from a thread that does not hold the lock is ignored.
 *
 * The texts returned are copies that stay valid until the calling thread's next call here.
 *
 * A valid text is a dotted IPv4 address, the empty text or "*". */

/* Takes the lock and sets czmq's interface; false (nothing locked or set) for an invalid text. */
bool zBeaconInterface_setAndLock(const char* text);
void zBeaconInterface_unlock(void);

/* As setAndLock, saving czmq's interface first for restoreAndUnlock. */
bool zBeaconInterface_backupSetAndLock(const char* text);
/* Puts the saved interface back, then releases the lock. */
void zBeaconInterface_restoreAndUnlock(void);

const char* zBeaconInterface_get(void);
/* czmq's interface; the lock stays held. */
const char* zBeaconInterface_getAndLock(void);
/* The interface saved by the last backupSetAndLock; empty before the first. */
const char* zBeaconInterface_getBackup(void);
/* The saved interface; the lock stays held. */
const char* zBeaconInterface_getBackupAndLock(void);

#ifdef __cplusplus
}
#endif

#endif
