/* The USB transport of the byte streams, over the device handle of tfusb_driver. */
#include "aStream_USB.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "tfusb_driver.h"

typedef struct aUSBStream {
    uint32_t serialNumber;
    tfusb_device* device; /* owned */
    uint16_t check;
} aUSBStream;

static bool aVALIDUSBS(const aUSBStream* usbs) {
    return usbs != NULL && usbs->check == aUSBSTREAM_CHECK && usbs->device != NULL;
}

static aErr sUSBStreamGet(uint8_t* byte, void* ref) {
    aUSBStream* usbs = ref;
    if (!aVALIDUSBS(usbs)) return aErrParam;
    return tfusb_get_from_device(usbs->device, byte);
}

static aErr sUSBStreamWrite(const uint8_t* data, size_t length, void* ref) {
    aUSBStream* usbs = ref;
    if (!aVALIDUSBS(usbs)) return aErrParam;
    return tfusb_write_to_device(usbs->device, data, length);
}

static aErr sUSBStreamPut(const uint8_t* byte, void* ref) {
    return sUSBStreamWrite(byte, 1, ref);
}

/* The device and the record go even when the close fails: the stream is being
 * destroyed and nobody could release them later. */
static aErr sUSBStreamDelete(void* ref) {
    aUSBStream* usbs = ref;
    if (!aVALIDUSBS(usbs)) return aErrParam;
    aErr result = tfusb_close_tessaform_device(usbs->device);
    tfusb_destroy(&usbs->device);
    memset(usbs, 0, sizeof(*usbs));
    free(usbs);
    return result;
}

aErr aStream_CreateUSB(uint32_t serialNumber, aStream** stream) {
    if (!stream) return aErrParam;
    *stream = NULL;
    if (serialNumber == 0) return aErrParam;

    uint32_t backend = tfusb_is_kernel_driver_installed(serialNumber) ? TFUSB_BACKEND_KERNEL
                                                                      : TFUSB_BACKEND_LIBUSB;
    aUSBStream* usbs = calloc(1, sizeof(*usbs));
    if (!usbs) return aErrMemory;
    usbs->serialNumber = serialNumber;
    usbs->check = aUSBSTREAM_CHECK;
    char serial[16];
    snprintf(serial, sizeof(serial), "%08X", serialNumber);

    usbs->device = tfusb_create_usb(backend);
    if (!usbs->device) {
        free(usbs);
        return aErrResource;
    }
    aErr err = tfusb_open_tessaform_device(usbs->device, serial);
    if (err != aErrNone) {
        tfusb_destroy(&usbs->device);
        free(usbs);
        return err;
    }
    aStream* created =
        aStream_Create(sUSBStreamGet, sUSBStreamPut, sUSBStreamWrite, sUSBStreamDelete, usbs);
    if (!created) {
        tfusb_close_tessaform_device(usbs->device);
        tfusb_destroy(&usbs->device);
        free(usbs);
        return aErrMemory;
    }
    *stream = created;
    return aErrNone;
}
