/* Byte streams: a record with four transport operations and a push-back ring, the readers
 * and writers over it, and the file and TCP socket transports. */
#ifndef TESSAFORM_ASTREAM_H
#define TESSAFORM_ASTREAM_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "aError.h"

#ifdef __cplusplus
extern "C" {
#endif

#define aSTREAMCHECK 0x4321
/* First size of the push-back ring and the step by which it grows. */
#define aSTREAMBUFCHUNK 512

/* Tries of one socket write, and the pause between them. */
#define aSOCKET_MAX_SEND_RETRY ((uint8_t)10)
#define aSOCKET_RETRY_DELAY_MS ((uint8_t)60)

/* The transport contract:
 * - get: aErrNone with exactly one byte stored, aErrNotReady when no byte is available now
 *   (nothing stored), aErrEOF at the end of the source, any other code for a failure;
 * - put and write: aErrNone when the bytes were accepted;
 * - delete: releases ref and what it holds (aStream_Destroy frees the stream record).
 * A transport that supplies write also supplies put. One thread may read while another
 * writes; the transport must allow that. */
typedef aErr (*aStreamGetProc)(uint8_t* byte, void* ref);
typedef aErr (*aStreamPutProc)(const uint8_t* byte, void* ref);
typedef aErr (*aStreamWriteProc)(const uint8_t* data, size_t length, void* ref);
typedef aErr (*aStreamDeleteProc)(void* ref);

/* The ring belongs to the reading thread alone: readers push back into it what they took
 * from the transport but could not hand out. */
typedef struct aStream {
    aStreamGetProc getProc;
    aStreamPutProc putProc;
    aStreamWriteProc writeProc;
    aStreamDeleteProc deleteProc;
    void* ref;           /* the transport's record, owned by the stream */
    uint8_t* ring;       /* NULL until the first byte is pushed back */
    uint32_t count;      /* bytes held in the ring */
    uint64_t capacity;   /* ring size in bytes */
    uint64_t readIndex;  /* oldest held byte */
    uint64_t writeIndex; /* where the next pushed-back byte goes */
    uint16_t check;      /* aSTREAMCHECK while valid, 0 once destroyed */
} aStream;

static inline bool aVALIDSTREAM(const aStream* stream) {
    return stream != NULL && stream->check == aSTREAMCHECK;
}

/* A new stream over a transport's operations (each may be NULL) and record; NULL when
 * memory runs out. The stream owns ref from here and releases it through deleteProc. */
aStream* aStream_Create(aStreamGetProc getProc, aStreamPutProc putProc, aStreamWriteProc writeProc,
                        aStreamDeleteProc deleteProc, void* ref);

/* A file opened for reading, or created / truncated for writing. aErrResource for every
 * failure, with nothing stored in *stream. */
aErr aStream_CreateFileInput(const char* path, aStream** stream);
aErr aStream_CreateFileOutput(const char* path, aStream** stream);

/* A connected TCP stream to an IPv4 address (network order) and port (host order).
 * aErrResource for every failure, *stream then NULL. A reset or a closed connection seen
 * by a read or a write reconnects once, in place; when that fails the stream answers
 * aErrConnection from then on. A read waits up to 100 ms for a byte before it reports
 * aErrNotReady. A write whose retries run out, or whose connection was replaced after part
 * of it had been sent, sends no more of it and reports aErrWrite. */
aErr aStream_CreateSocket(uint32_t address, uint16_t port, aStream** stream);

/* Reads exactly length bytes. aErrNotReady when the transport ran dry first: nothing is
 * stored and the bytes taken are pushed back for the next read. aErrEOF when the source
 * ended first: the bytes before the end are stored. */
aErr aStream_Read(aStream* stream, uint8_t* destination, size_t length);

/* One transport write for more than one byte, else put. */
aErr aStream_Write(aStream* stream, const uint8_t* data, size_t length);

/* Reads a record ended by the delimiter's bytes, which must arrive in order but may have
 * record bytes between them; matched delimiter bytes are not part of the record. The record
 * also ends when it holds capacity bytes (capacity 0: aErrParam). On aErrNotReady everything
 * taken is pushed back and destination is untouched. An end of source after at least one
 * record byte completes the record. */
aErr aStream_ReadRecord(aStream* stream, uint8_t* destination, uint64_t* length, size_t capacity,
                        const uint8_t* delimiter, size_t delimiterLength);
aErr aStream_WriteRecord(aStream* stream, const uint8_t* data, size_t length,
                         const uint8_t* delimiter, size_t delimiterLength);

/* The C-string forms read at most size - 1 characters and terminate the buffer on success
 * only; a buffer below 2 bytes is refused with aErrParam. */
aErr aStream_ReadCString(aStream* stream, char* buffer, size_t size);
aErr aStream_WriteCString(aStream* stream, const char* string);
/* Ends at the delimiter's characters; a zero byte after them stays in the stream. */
aErr aStream_ReadCStringRecord(aStream* stream, char* buffer, size_t size, const char* delimiter);
/* Writes the string, then the delimiter's characters and its terminating zero. */
aErr aStream_WriteCStringRecord(aStream* stream, const char* string, const char* delimiter);

/* Copies source into destination byte by byte until the source ends (aErrNone) or reports
 * anything else, aErrNotReady included (that code is returned). */
aErr aStream_Flush(aStream* source, aStream* destination);

/* Releases the transport and frees the stream; the handle is cleared in every case.
 * The result is the transport's delete result; aErrParam for an invalid stream. */
aErr aStream_Destroy(aStream** stream);

/* Pushes one byte back: the next read takes the ring's bytes first, oldest first. */
aErr aStreamBufferChar(aStream* stream, uint8_t byte);

#ifdef __cplusplus
}
#endif

#endif
