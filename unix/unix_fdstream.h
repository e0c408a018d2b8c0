/* Descriptor I/O shared by the serial port and the USB kernel node: reading ahead into the
 * reader's own buffer, and writing with a limit on how long the far side may take nothing. */
#ifndef TESSAFORM_UNIX_FDSTREAM_H
#define TESSAFORM_UNIX_FDSTREAM_H

#include <stddef.h>
#include <stdint.h>

#include "aError.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Waits up to waitMs for input on a non-blocking descriptor and reads what is there, at
 * most size bytes: aErrNone with *got above 0; aErrNotReady when nothing came (also when
 * the descriptor claimed input and had none); aErrIO for a failure or a hang-up. */
aErr aFdStream_Fill(int fd, uint8_t* buffer, size_t size, int waitMs, size_t* got);

/* Writes the whole block to a non-blocking descriptor, waiting for room as it goes:
 * aErrNone; aErrIO for a failure or a hang-up; aErrTimeout when the descriptor took
 * nothing for stallLimitMs. */
aErr aFdStream_Write(int fd, const uint8_t* data, size_t length, uint64_t stallLimitMs);

#ifdef __cplusplus
}
#endif

#endif
