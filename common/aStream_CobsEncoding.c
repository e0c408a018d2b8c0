/* The COBS stream: frames each packet written to the inner transport and turns received
 * frames back into packet bytes, without allocating per packet. */
#include "aStream_CobsEncoding.h"

#include <stdlib.h>

#include "aPacket.h"
#include "aTime.h"
#include "cobs.h"
#include "crc8.h"

/* The longest a read takes the line's bytes without completing a frame: a whole frame
 * takes 140 ms at 2400 baud. */
#define aCOBS_READ_LIMIT_MS 500u

/* The receive fields belong to the reading thread and the transmit fields to the writing
 * thread, so that a link may read and write at once without a lock. */
struct aCobsStream {
    aStreamGetProc getProc;
    aStreamPutProc putProc;
    aStreamWriteProc writeProc;
    aStreamDeleteProc deleteProc;
    void* ref;
    uint16_t check;

    uint8_t rxBuffer[aCOBS_FRAME_ENCODED_MAX];
    uint64_t rxCount; /* encoded bytes held, or packet bytes to hand out */
    bool rxOverflow;  /* the frame being collected did not fit */
    bool packetReady;
    uint64_t readPosition;

    aPacket* assembler;
    uint8_t txBuffer[aCOBS_FRAME_MAX];
    uint64_t txLength;
};

static bool aVALIDSS(const aCobsStream* cs) {
    return cs != NULL && cs->check == aCOBSSTREAM_CHECK;
}

/* Checks a collected frame, decoded in place; aErrNotReady once its packet is ready. */
static aErr sAcceptFrame(aCobsStream* cs, uint64_t encoded) {
    uint64_t decoded = cobs_decode_inplace(cs->rxBuffer, encoded);
    if (decoded <= 2) return aErrPacket;
    if (decoded != (uint64_t)cs->rxBuffer[1] + 3) return aErrPacket;
    if (!crc8_check(cs->rxBuffer, decoded - 1, cs->rxBuffer[decoded - 1])) return aErrPacket;
    cs->rxCount = decoded - 1;
    cs->readPosition = 0;
    cs->packetReady = true;
    return aErrNone;
}

static aErr sCobsStreamGet(uint8_t* byte, void* ref) {
    aCobsStream* cs = ref;
    if (!aVALIDSS(cs) || !byte) return aErrParam;

    if (cs->packetReady) {
        *byte = cs->rxBuffer[cs->readPosition++];
        if (cs->readPosition >= cs->rxCount) {
            cs->packetReady = false;
            cs->readPosition = 0;
            cs->rxCount = 0;
        }
        return aErrNone;
    }

    if (!cs->getProc) return aErrMode;
    /* Takes the line's bytes until a frame is complete, not one byte per call: a
     * not-ready answer in the middle of a frame would make the link engine restart its
     * sync at every byte, flooding the line and never completing a sync. */
    const uint64_t deadline = aTime_GetMonotonicMSTicks() + aCOBS_READ_LIMIT_MS;
    for (;;) {
        uint8_t in = 0;
        /* Silence is not-ready; anything else (a hung-up port) must reach the link
         * engine, or a dead line would look idle for ever. */
        aErr err = cs->getProc(&in, cs->ref);
        if (err != aErrNone) return err;

        if (in != 0) {
            if (cs->rxCount < sizeof(cs->rxBuffer))
                cs->rxBuffer[cs->rxCount++] = in;
            else
                cs->rxOverflow = true;
        } else if (cs->rxCount > 0 || cs->rxOverflow) {
            uint64_t encoded = cs->rxCount;
            bool overflow = cs->rxOverflow;
            cs->rxCount = 0;
            cs->rxOverflow = false;
            /* Its first 32 bytes could pass every check and deliver a packet never sent. */
            if (overflow) return aErrPacket;
            err = sAcceptFrame(cs, encoded);
            if (err != aErrNone) return err;
            return sCobsStreamGet(byte, ref);
        }
        /* Else two delimiters in a row, or noise before the first frame. */

        /* A line that floods (bytes without a frame end, or delimiters only, as a wrong
         * baud rate gives) would keep the reader, and with it a link's teardown, for
         * ever. What was collected stays for the next read. */
        if (aTime_GetMonotonicMSTicks() >= deadline) return aErrPacket;
    }
}

static aErr sSendFrame(aCobsStream* cs) {
    size_t count = 0;
    aErr err = aPacket_GetBytes(cs->assembler, cs->txBuffer, aCOBS_FRAME_CONTENT_MAX - 1, &count);
    aPacket_Reset(cs->assembler);
    if (err != aErrNone) return err;

    cs->txBuffer[count] = crc8_create(cs->txBuffer, count);
    uint64_t encoded = cobs_encode_inplace(cs->txBuffer, count + 1);
    if (encoded == 0) return aErrPacket; /* only runs of 254 bytes; a frame holds 31 */
    cs->txBuffer[encoded++] = 0;
    cs->txLength = encoded;

    if (cs->writeProc) return cs->writeProc(cs->txBuffer, (size_t)cs->txLength, cs->ref);
    if (!cs->putProc) return aErrMode;
    for (uint64_t i = 0; i < cs->txLength; i++) {
        err = cs->putProc(&cs->txBuffer[i], cs->ref);
        if (err != aErrNone) return err;
    }
    return aErrNone;
}

static aErr sCobsStreamWrite(const uint8_t* data, size_t length, void* ref) {
    aCobsStream* cs = ref;
    if (!aVALIDSS(cs) || (!data && length > 0)) return aErrParam;

    aErr result = aErrNone;
    for (size_t i = 0; i < length; i++) {
        /* A refused byte is dropped; the packet already begun stays. */
        if (aPacket_AddByte(cs->assembler, data[i]) != aErrNone) continue;
        if (!aPacket_IsComplete(cs->assembler)) continue;
        aErr err = sSendFrame(cs);
        if (err != aErrNone) result = err;
    }
    return result;
}

static aErr sCobsStreamPut(const uint8_t* byte, void* ref) {
    aCobsStream* cs = ref;
    if (!aVALIDSS(cs) || !byte) return aErrParam;
    if (!cs->putProc) return aErrMode;
    return cs->putProc(byte, cs->ref);
}

static aErr sCobsStreamDelete(void* ref) {
    aCobsStream* cs = ref;
    if (!aVALIDSS(cs)) return aErrParam;
    aErr err = cs->deleteProc ? cs->deleteProc(cs->ref) : aErrNone;
    aPacket_Destroy(&cs->assembler);
    cs->check = 0;
    free(cs);
    return err;
}

aErr aStream_CreateCobsEncoding(aStreamGetProc getProc, aStreamPutProc putProc,
                                aStreamWriteProc writeProc, aStreamDeleteProc deleteProc, void* ref,
                                aStream** stream) {
    if (!stream) return aErrParam;
    *stream = NULL;

    aCobsStream* cs = calloc(1, sizeof(aCobsStream));
    if (!cs) return aErrMemory;
    cs->getProc = getProc;
    cs->putProc = putProc;
    cs->writeProc = writeProc;
    cs->deleteProc = deleteProc;
    cs->ref = ref;
    cs->check = aCOBSSTREAM_CHECK;
    cs->assembler = aPacket_Create();
    if (!cs->assembler) {
        cs->check = 0;
        free(cs);
        return aErrMemory;
    }

    aStream* outer =
        aStream_Create(sCobsStreamGet, sCobsStreamPut, sCobsStreamWrite, sCobsStreamDelete, cs);
    if (!outer) {
        aPacket_Destroy(&cs->assembler);
        cs->check = 0;
        free(cs);
        return aErrResource;
    }
    *stream = outer;
    return aErrNone;
}
