/* The library's trace switches: trace lines go to standard output only while
 * aTessaformDebuggingEnable is set and the line's level bit is in aTessaformDebuggingLevel.
 * Set them before links start; they are read without a lock. */
#ifndef TESSAFORM_ADEBUGGING_H
#define TESSAFORM_ADEBUGGING_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Level bits. */
#define aDEBUG_LINK 0x1u      /* link life cycle, sync, stream errors */
#define aDEBUG_PACKETS 0x2u   /* every packet and heartbeat */
#define aDEBUG_SERVER 0x4u    /* the packet server */
#define aDEBUG_MULTICAST 0x8u /* multicast sockets */
#define aDEBUG_DISCOVERY 0x10u
#define aDEBUG_CLIENT 0x20u
#define aDEBUG_BEACON_LOCK 0x200u /* the beacon-interface lock */
#define aDEBUG_USB 0x400u

extern int aTessaformDebuggingEnable;
extern uint32_t aTessaformDebuggingLevel;

/* Prints one trace line when the switches allow level. */
void aDebug_Trace(uint32_t level, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

#ifdef __cplusplus
}
#endif

#endif
