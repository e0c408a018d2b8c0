/* The stream record, its generic readers and writers, and the file transports. */
#include "aStream.h"

#include <stdlib.h>
#include <string.h>

#include "aFile.h"

/* Reads of up to this many bytes (the link engine reads one at a time) need no heap. */
#define sSCRATCH_ON_STACK 64

aStream* aStream_Create(aStreamGetProc getProc, aStreamPutProc putProc, aStreamWriteProc writeProc,
                        aStreamDeleteProc deleteProc, void* ref) {
    aStream* stream = calloc(1, sizeof(aStream));
    if (!stream) return NULL;
    stream->getProc = getProc;
    stream->putProc = putProc;
    stream->writeProc = writeProc;
    stream->deleteProc = deleteProc;
    stream->ref = ref;
    stream->check = aSTREAMCHECK;
    return stream;
}

/* The ring keeps one slot free, so a full ring never looks empty by its indices. */
aErr aStreamBufferChar(aStream* stream, uint8_t byte) {
    if (!aVALIDSTREAM(stream)) return aErrParam;

    if (!stream->ring) {
        stream->ring = malloc(aSTREAMBUFCHUNK);
        if (!stream->ring) return aErrMemory;
        stream->capacity = aSTREAMBUFCHUNK;
        stream->count = 0;
        stream->readIndex = 0;
        stream->writeIndex = 0;
    }

    if ((uint64_t)stream->count >= stream->capacity - 1) {
        if (stream->count == UINT32_MAX || stream->capacity > SIZE_MAX - aSTREAMBUFCHUNK)
            return aErrMemory;
        size_t grown = (size_t)stream->capacity + aSTREAMBUFCHUNK;
        uint8_t* ring = malloc(grown);
        if (!ring) return aErrMemory;
        size_t held = stream->count;
        size_t first = (size_t)(stream->capacity - stream->readIndex);
        if (first > held) first = held;
        memcpy(ring, stream->ring + stream->readIndex, first);
        memcpy(ring + first, stream->ring, held - first);
        free(stream->ring);
        stream->ring = ring;
        stream->readIndex = 0;
        stream->writeIndex = held;
        stream->capacity = grown;
    }

    stream->ring[stream->writeIndex] = byte;
    stream->writeIndex = (stream->writeIndex + 1) % stream->capacity;
    stream->count++;
    return aErrNone;
}

static bool sStreamGetBufferedChar(aStream* stream, uint8_t* byte) {
    if (!stream->ring || stream->count == 0) return false;
    *byte = stream->ring[stream->readIndex];
    stream->readIndex = (stream->readIndex + 1) % stream->capacity;
    stream->count--;
    return true;
}

aErr aStream_Read(aStream* stream, uint8_t* destination, size_t length) {
    if (!aVALIDSTREAM(stream) || !destination) return aErrParam;
    if (!stream->getProc) return aErrMode;
    if (length == 0) return aErrNone;

    uint8_t local[sSCRATCH_ON_STACK];
    uint8_t* scratch = length <= sizeof(local) ? local : malloc(length);
    if (!scratch) return aErrResource;

    aErr err = aErrNone;
    size_t obtained = 0;
    while (obtained < length && err == aErrNone) {
        if (sStreamGetBufferedChar(stream, &scratch[obtained])) {
            obtained++;
            continue;
        }
        err = stream->getProc(&scratch[obtained], stream->ref);
        if (err == aErrNone) obtained++;
    }

    if (err == aErrNotReady) {
        /* The transport is only asked once the ring is empty, so appending keeps the order. */
        for (size_t i = 0; i < obtained; i++)
            if (aStreamBufferChar(stream, scratch[i]) != aErrNone) break;
    } else if (err == aErrNone || err == aErrEOF) {
        memcpy(destination, scratch, obtained);
    }

    if (scratch != local) free(scratch);
    return err;
}

aErr aStream_Write(aStream* stream, const uint8_t* data, size_t length) {
    if (!aVALIDSTREAM(stream) || !data) return aErrParam;
    if (!stream->writeProc && !stream->putProc) return aErrMode;

    /* A transport with write but no put breaks the contract; serve it rather than crash. */
    if (stream->writeProc && (length > 1 || !stream->putProc))
        return length == 0 ? aErrNone : stream->writeProc(data, length, stream->ref);

    for (size_t i = 0; i < length; i++) {
        aErr err = stream->putProc(&data[i], stream->ref);
        if (err != aErrNone) return err;
    }
    return aErrNone;
}

aErr aStream_ReadRecord(aStream* stream, uint8_t* destination, uint64_t* length, size_t capacity,
                        const uint8_t* delimiter, size_t delimiterLength) {
    if (!aVALIDSTREAM(stream) || !destination || !delimiter || delimiterLength == 0 ||
        capacity == 0)
        return aErrParam;
    /* Everything taken is kept in arrival order too, so that a not-ready transport can get
     * back the delimiter bytes in their places among the record bytes. */
    if (capacity > (SIZE_MAX - delimiterLength) / 2) return aErrResource;
    uint8_t* record = malloc(2 * capacity + delimiterLength);
    if (!record) return aErrResource;
    uint8_t* taken = record + capacity;

    size_t recordLength = 0;
    size_t takenLength = 0;
    size_t matched = 0;
    aErr err = aErrNone;
    for (;;) {
        uint8_t byte;
        err = aStream_Read(stream, &byte, 1);
        if (err != aErrNone) break;
        taken[takenLength++] = byte;
        if (byte == delimiter[matched]) {
            if (++matched == delimiterLength) break;
        } else {
            record[recordLength++] = byte;
            if (recordLength == capacity) break;
        }
    }

    if (err == aErrNotReady) {
        for (size_t i = 0; i < takenLength; i++)
            if (aStreamBufferChar(stream, taken[i]) != aErrNone) break;
    } else if (err == aErrEOF || err == aErrNone) {
        if (err == aErrEOF && recordLength > 0) err = aErrNone;
        if (err == aErrEOF) recordLength = 0;
        memcpy(destination, record, recordLength);
        if (length) *length = recordLength;
    }
    free(record);
    return err;
}

aErr aStream_WriteRecord(aStream* stream, const uint8_t* data, size_t length,
                         const uint8_t* delimiter, size_t delimiterLength) {
    if (!aVALIDSTREAM(stream) || !data || !delimiter || delimiterLength == 0) return aErrParam;
    aErr err = aStream_Write(stream, data, length);
    if (err == aErrNone) err = aStream_Write(stream, delimiter, delimiterLength);
    return err;
}

static aErr sReadTerminated(aStream* stream, char* buffer, size_t size, const uint8_t* delimiter,
                            size_t delimiterLength) {
    if (!buffer || size < 2) return aErrParam;
    uint64_t length = 0;
    aErr err =
        aStream_ReadRecord(stream, (uint8_t*)buffer, &length, size - 1, delimiter, delimiterLength);
    if (err == aErrNone) buffer[length] = '\0';
    return err;
}

aErr aStream_ReadCString(aStream* stream, char* buffer, size_t size) {
    static const uint8_t zero = 0;
    return sReadTerminated(stream, buffer, size, &zero, 1);
}

aErr aStream_ReadCStringRecord(aStream* stream, char* buffer, size_t size, const char* delimiter) {
    if (!delimiter) return aErrParam;
    return sReadTerminated(stream, buffer, size, (const uint8_t*)delimiter, strlen(delimiter));
}

aErr aStream_WriteCString(aStream* stream, const char* string) {
    static const uint8_t zero = 0;
    if (!string) return aErrParam;
    aErr err = aStream_Write(stream, (const uint8_t*)string, strlen(string));
    if (err == aErrNone) err = aStream_Write(stream, &zero, 1);
    return err;
}

aErr aStream_WriteCStringRecord(aStream* stream, const char* string, const char* delimiter) {
    if (!string || !delimiter) return aErrParam;
    return aStream_WriteRecord(stream, (const uint8_t*)string, strlen(string),
                               (const uint8_t*)delimiter, strlen(delimiter) + 1);
}

aErr aStream_Flush(aStream* source, aStream* destination) {
    if (!aVALIDSTREAM(source) || !aVALIDSTREAM(destination)) return aErrParam;
    if (!source->getProc || !destination->putProc) return aErrMode;
    for (;;) {
        uint8_t byte;
        /* Bytes pushed back into the source come before the transport's, or they would be
         * left out of the copy and surface later out of order. */
        aErr err =
            sStreamGetBufferedChar(source, &byte) ? aErrNone : source->getProc(&byte, source->ref);
        if (err == aErrEOF) return aErrNone;
        if (err != aErrNone) return err;
        err = destination->putProc(&byte, destination->ref);
        if (err != aErrNone) return err;
    }
}

aErr aStream_Destroy(aStream** handle) {
    if (!handle) return aErrParam;
    aStream* stream = *handle;
    *handle = NULL;
    if (!aVALIDSTREAM(stream)) return aErrParam;
    aErr err = stream->deleteProc ? stream->deleteProc(stream->ref) : aErrNone;
    free(stream->ring);
    stream->ring = NULL;
    stream->check = 0;
    free(stream);
    return err;
}

/* File transport: ref is the aFile. */

static aErr sFileStreamGet(uint8_t* byte, void* ref) {
    if (!ref) return aErrIO;
    return aFile_Read((aFile*)ref, byte, 1, NULL);
}

static aErr sFileStreamWrite(const uint8_t* data, size_t length, void* ref) {
    if (!ref) return aErrIO;
    size_t written = 0;
    aErr err = aFile_Write((aFile*)ref, data, length, &written);
    /* A short write (a full disk) lost bytes: not a success. */
    if (err == aErrNone && written != length) err = aErrIO;
    return err;
}

static aErr sFileStreamPut(const uint8_t* byte, void* ref) {
    return sFileStreamWrite(byte, 1, ref);
}

static aErr sFileStreamDelete(void* ref) {
    if (!ref) return aErrIO;
    aFile* file = ref;
    return aFile_Close(&file);
}

static aErr sCreateFileStream(const char* path, aStream** out, aFileMode mode) {
    if (!path || !out) return aErrResource;
    aFile* file = aFile_Open(path, (int)mode);
    if (!file) return aErrResource;
    aStream* stream =
        mode == aFileModeReadOnly
            ? aStream_Create(sFileStreamGet, NULL, NULL, sFileStreamDelete, file)
            : aStream_Create(NULL, sFileStreamPut, sFileStreamWrite, sFileStreamDelete, file);
    if (!stream) {
        aFile_Close(&file);
        return aErrResource;
    }
    *out = stream;
    return aErrNone;
}

aErr aStream_CreateFileInput(const char* path, aStream** stream) {
    return sCreateFileStream(path, stream, aFileModeReadOnly);
}

aErr aStream_CreateFileOutput(const char* path, aStream** stream) {
    return sCreateFileStream(path, stream, aFileModeWriteOnly);
}
