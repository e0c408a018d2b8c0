/* Compiled as C: every public core header must be usable from plain C. */
#include "aDebugging.h"
#include "aDefs.h"
#include "aDirectory.h"
#include "aError.h"
#include "aFile.h"
#include "aLink.h"
#include "aLogger.h"
#include "aMulticast.h"
#include "aMutex.h"
#include "aPacket.h"
#include "aPacketDebug.h"
#include "aStream.h"
#include "aStream_CobsEncoding.h"
#include "aThread.h"
#include "aTime.h"
#include "aUEI.h"
#include "cobs.h"
#include "crc8.h"
#include "discover.h"
#include "aVersion.h"
#include "packetfifo.h"
#include "Tessaform-C.h"
#include "zBeaconInterface.h"
#include "zSysInterruptHandler.h"
#include "unix_streamserial.h"
#include "unix_streamusb.h"
#include "tfusb_driver.h"

#include <string.h>

int tf_c_header_check(void);

/* A few calls through the C view of the interface; 0 when all agree. */
int tf_c_header_check(void) {
    int failures = 0;
    uint8_t data[3] = {1, 2, 3};
    aPacket* packet = aPacket_CreateWithData(0x06, 3, data);
    if (!aPacket_IsComplete(packet)) failures++;
    if (aPacket_Destroy(&packet) != aErrNone || packet != NULL) failures++;
    if (strcmp(aError_GetErrorText(aErrTimeout), "aErrTimeout") != 0) failures++;
    if (aVersion_Pack(2, 15, 0) != 0x2F020F00u) failures++;
    aMutex* mutex = aMutex_Create("c");
    if (aMutex_Lock(mutex) != aErrNone || aMutex_Unlock(mutex) != aErrNone) failures++;
    aMutex_Destroy(&mutex);
    char path[32];
    if (aDirectory_JoinPath(path, sizeof(path), "a", "b") != aErrNone || strcmp(path, "a/b") != 0)
        failures++;
    return failures;
}
