/* The byte stream over a module on USB (implemented by the platform layer): its kernel
 * driver node when present, else libusb. */
#ifndef TESSAFORM_ASTREAM_USB_H
#define TESSAFORM_ASTREAM_USB_H

#include <stdint.h>

#include "aStream.h"

#ifdef __cplusplus
extern "C" {
#endif

#define aUSBSTREAM_CHECK 0xDEAD

/* Opens the module with this serial number: "/dev/tessaform.%08X" when it exists (libusb is
 * then never touched), else the USB device whose serial-number string is the eight
 * upper-case digits. On failure *stream is NULL: aErrParam (NULL out, serial 0), aErrMemory,
 * aErrResource (no device record), or the open's code: aErrNotFound, aErrConfiguration,
 * aErrBusy, aErrPermission, aErrUnknown (libusb), aErrBusy, aErrIO (the node).
 *
 * A read hands out one byte, or aErrNotReady after waiting up to 1000 ms for one. Over
 * libusb the first four I/O errors in a row are tolerated (a write's bytes are dropped);
 * the fifth fails the device and every later read and write reports aErrIO. */
aErr aStream_CreateUSB(uint32_t serialNumber, aStream** stream);

#ifdef __cplusplus
}
#endif

#endif
