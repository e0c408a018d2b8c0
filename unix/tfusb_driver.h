/* One opened module on USB behind a single handle: the modules' kernel driver node when it
 * exists, libusb on the vendor interface's two bulk endpoints otherwise. */
#ifndef TESSAFORM_TFUSB_DRIVER_H
#define TESSAFORM_TFUSB_DRIVER_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "aError.h"

#ifdef __cplusplus
extern "C" {
#endif

struct libusb_device_handle;

#define TFUSB_BACKEND_KERNEL 0u
#define TFUSB_BACKEND_LIBUSB 1u

#define TFUSB_STATE_CREATED 1u
#define TFUSB_STATE_CLOSED 2u
#define TFUSB_STATE_FOUND 3u
#define TFUSB_STATE_READY 4u
#define TFUSB_STATE_FAILED 5u

#define TFUSB_SERIAL_SIZE 256
#define TFUSB_READ_BUFFER_SIZE 1024
/* Consecutive I/O errors the libusb back end shrugs off before it fails the device. */
#define TFUSB_TOLERATED_ERRORS 4u

/* The driver's C code shares state and errorCount between the reading and the writing
 * thread as C11 atomics. C++ (the tests) cannot spell _Atomic; it sees plain integers of the
 * same size and alignment, which is what the atomic types are on the platforms we build for.
 */
#ifdef __cplusplus
typedef uint32_t tfusb_atomic_u32;
typedef uint8_t tfusb_atomic_u8;
#else
typedef _Atomic uint32_t tfusb_atomic_u32;
typedef _Atomic uint8_t tfusb_atomic_u8;
#endif

/* The reading and the writing thread share a handle: state and errorCount are atomics; readBuffer,
 * avail and readPtr belong to the reader, which reads ahead into them on both back ends. */
typedef struct tfusb_device {
    uint32_t backend;
    char serial[TFUSB_SERIAL_SIZE];
    int fd; /* -1 while no node is open */
    struct libusb_device_handle* handle;
    tfusb_atomic_u32 state;
    uint8_t interfaceNumber;
    uint8_t outEndpoint;
    uint8_t inEndpoint;
    uint8_t readBuffer[TFUSB_READ_BUFFER_SIZE];
    uint32_t avail;
    uint8_t* readPtr;
    tfusb_atomic_u8 errorCount;
    uint16_t inMaxPacket;
    uint16_t outMaxPacket;
} tfusb_device;

/* A zeroed handle in state 1 (no descriptor, no libusb handle); NULL when memory runs out
 * or the back end is unknown. */
tfusb_device* tfusb_create_usb(uint32_t backend);
/* Closes whatever is still open (a libusb handle without releasing its interface), frees
 * the record and clears *device; aErrParam for a NULL handle. */
aErr tfusb_destroy(tfusb_device** device);

/* True when "/dev/tessaform.%08X" of the serial number exists and is not a directory. */
bool tfusb_is_kernel_driver_installed(uint32_t serialNumber);

/* Open by serial text ("%08X"). Kernel: aErrBusy, aErrIO. libusb: aErrNotFound (no such
 * module, or no libusb), aErrConfiguration (no vendor interface with an IN and an OUT
 * endpoint), aErrBusy, aErrPermission, aErrUnknown (the claim). aErrMode for a handle of
 * the other back end. */
aErr tfusb_open_tessaform_device(tfusb_device* device, const char* serial);

/* libusb: chunks of at most the OUT maximum packet size, never exactly 512 bytes, 50 ms
 * each, ten failed transfers allowed (then aErrWrite). The first four consecutive I/O
 * errors are dropped with aErrNone; the fifth fails the device for good (aErrIO), and a
 * failed device fails every read and write. Kernel: the whole block, aErrWrite when the
 * node takes nothing for a second, aErrIO when it fails. */
aErr tfusb_write_to_device(tfusb_device* device, const uint8_t* data, size_t count);
/* One byte (aErrNone) or aErrNotReady after waiting up to 1000 ms for one; aErrIO for a
 * failed device, aErrConnection for a closed one. */
aErr tfusb_get_from_device(tfusb_device* device, uint8_t* byte);
/* Kernel: aErrCancel when close fails (the descriptor is gone all the same); closing a
 * closed node is aErrNone. libusb: aErrMode without an open handle. */
aErr tfusb_close_tessaform_device(tfusb_device* device);

/* 0 with the vendor interface's number, endpoints and maximum packet sizes filled in; a
 * libusb error code, or LIBUSB_ERROR_NO_DEVICE when the interface or an endpoint is missing. */
int find_usb_endpoints(tfusb_device* device);

/* The I/O-error tolerance of the libusb back end: an aErrIO among the first four in a row
 * comes back as aErrNotReady (the write reports it as aErrNone), the fifth fails the device;
 * any other result resets the count and is returned unchanged. A failed device gives aErrIO
 * whatever the result. */
aErr _handleErrorTolerance(tfusb_device* device, aErr result);

#ifdef __cplusplus
}
#endif

#endif
