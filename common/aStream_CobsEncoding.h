/* The COBS stream: packets written become COBS frames with a CRC-8 on an inner transport,
 * and frames received from it become packet bytes again. */
#ifndef TESSAFORM_ASTREAM_COBSENCODING_H
#define TESSAFORM_ASTREAM_COBSENCODING_H

#include "aStream.h"

#ifdef __cplusplus
extern "C" {
#endif

#define aCOBSSTREAM_CHECK 0xC0B5

/* Frame: [address][length][data...][CRC-8], COBS encoded, then 0x00. */
#define aCOBS_FRAME_CONTENT_MAX 31 /* a packet of 28 data bytes and its CRC */
#define aCOBS_FRAME_ENCODED_MAX 32
#define aCOBS_FRAME_MAX 33 /* with the delimiter */

typedef struct aCobsStream aCobsStream;

/* A COBS stream over an inner transport's operations and record; the new stream owns ref
 * and releases it through deleteProc. aErrParam for a NULL out pointer; aErrMemory or
 * aErrResource when memory runs out (*stream NULL, ref not released).
 *
 * Writes: each complete packet in the bytes written goes out as one frame through the
 * inner writeProc; a packet may span writes and a write may hold several. A one-byte
 * aStream_Write goes through the inner putProc unframed. A failed frame is not retried;
 * the write reports the last failure after the whole block.
 *
 * Reads hand out a good frame's packet bytes one per call and report aErrNotReady for
 * every byte of a frame still being collected, aErrPacket at the delimiter of a broken,
 * overlong or mis-checked frame, and pass any other inner failure through. A read that
 * has taken the line's bytes for half a second without completing a frame (a flood)
 * reports aErrPacket too. The inner get should wait a little for input before it reports
 * aErrNotReady: the link engine reads again at once. */
aErr aStream_CreateCobsEncoding(aStreamGetProc getProc, aStreamPutProc putProc,
                                aStreamWriteProc writeProc, aStreamDeleteProc deleteProc, void* ref,
                                aStream** stream);

#ifdef __cplusplus
}
#endif

#endif
