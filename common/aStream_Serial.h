/* Byte streams over a serial port (implemented by the platform layer): plain, or packetized
 * with COBS frames for links. */
#ifndef TESSAFORM_ASTREAM_SERIAL_H
#define TESSAFORM_ASTREAM_SERIAL_H

#include <stdint.h>

#include "aStream.h"

#ifdef __cplusplus
extern "C" {
#endif

#define aSERIALSTREAM_CHECK 0xBEEF
/* Port names must be shorter than this (the terminating zero must fit too). */
#define aSERIAL_PORT_NAME_SIZE 4096
/* Baud indices 0..7: 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400. */
#define aSERIAL_BAUD_INDEX_MAX 7u

/* Opens and configures portName raw: the baud index's speed in both directions, parity
 * 0 none or non-zero even, dataBits 0 for 8 bits or 1 for 7, stopBits 0 for one or 1 for
 * two; no flow control. On any failure *stream is NULL and nothing stays open:
 * aErrResource for a NULL name or out pointer, a selector above 1, or no memory;
 * aErrParam for a baud index above 7; aErrFileNameLength for a name that does not fit;
 * aErrNotFound, aErrPermission, or aErrIO (not a terminal, refused settings) from the open.
 *
 * Reads never wait: aErrNotReady when no byte is there, aErrIO for a failed or hung-up
 * port. A write returns when the whole block has been taken and drained, or with aErrIO
 * when the port fails or takes nothing for longer than the line needs to send the
 * kernel's buffer twice. Destroying the stream restores the port's earlier settings and
 * closes it. */
aErr aStream_CreateSerial(const char* portName, uint32_t baudIndex, uint8_t parity,
                          uint32_t dataBits, uint32_t stopBits, aStream** stream);

/* The same port under a COBS stream (aStream_CreateCobsEncoding), the form serial links
 * run on. The same refusals, except that a failure of the COBS stream's construction
 * gives its code. Its reads wait up to 100 ms for input before they report aErrNotReady. */
aErr aStream_CreateSerial_Packetized(const char* portName, uint32_t baudIndex, uint8_t parity,
                                     uint32_t dataBits, uint32_t stopBits, aStream** stream);

#ifdef __cplusplus
}
#endif

#endif
