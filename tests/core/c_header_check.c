/* Compiled as C: a few calls through the C view of the public interface. */
#include "aDirectory.h"
#include "aError.h"
#include "aMutex.h"
#include "aPacket.h"
#include "aVersion.h"

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
