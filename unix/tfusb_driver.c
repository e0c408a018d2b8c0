/* The two USB back ends behind tfusb_device: the kernel driver's device node and libusb
 * on the module's vendor interface. */
#include "tfusb_driver.h"

#include <errno.h>
#include <fcntl.h>
#include <libusb.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "Tessaform-C.h"
#include "aFile.h"
#include "aTime.h"
#include "unix_fdstream.h"

#define TFUSB_NODE_FORMAT "/dev/tessaform.%s"
#define TFUSB_NODE_PATH_SIZE 300

#define TFUSB_VENDOR_CLASS 0xFF
#define TFUSB_VENDOR_SUBCLASS 0x88
#define TFUSB_VENDOR_PROTOCOL 0x10

/* An idle read waits this long: the link engine's input loop retries a not-ready read
 * at once, so this is its pace on an idle link and the longest a stop waits for it. */
#define TFUSB_READ_TIMEOUT_MS 1000
#define TFUSB_WRITE_TIMEOUT_MS 50u
#define TFUSB_WRITE_MAX_FAILURES 10
/* As long as a serial line may take nothing before its write gives up. */
#define TFUSB_NODE_STALL_MS 1000u
#define TFUSB_NODE_EMPTY_PAUSE_MS 10

static uint32_t sState(const tfusb_device* device) {
    return atomic_load(&device->state);
}

static void sSetState(tfusb_device* device, uint32_t state) {
    atomic_store(&device->state, state);
}

static void sCopySerial(tfusb_device* device, const char* serial) {
    snprintf(device->serial, sizeof(device->serial), "%s", serial);
}

/* The result of a transfer attempted in a state other than ready. */
static aErr sStateError(uint32_t state) {
    switch (state) {
    case TFUSB_STATE_CLOSED:
        return aErrConnection;
    case TFUSB_STATE_CREATED:
    case TFUSB_STATE_FOUND:
        return aErrNotReady;
    default:
        return aErrIO;
    }
}

tfusb_device* tfusb_create_usb(uint32_t backend) {
    if (backend != TFUSB_BACKEND_KERNEL && backend != TFUSB_BACKEND_LIBUSB) return NULL;
    tfusb_device* device = calloc(1, sizeof(*device));
    if (!device) return NULL;
    device->backend = backend;
    device->fd = -1;
    device->state = TFUSB_STATE_CREATED;
    device->readPtr = device->readBuffer;
    /* The open reports no device when this fails; libusb must never see a NULL context,
     * which would mean its default one. */
    if (backend == TFUSB_BACKEND_LIBUSB) Tessaform_libusb_init();
    return device;
}

aErr tfusb_destroy(tfusb_device** device) {
    if (!device || !*device) return aErrParam;
    tfusb_device* d = *device;
    if (d->handle) libusb_close(d->handle);
    if (d->fd >= 0) close(d->fd);
    free(d);
    *device = NULL;
    return aErrNone;
}

bool tfusb_is_kernel_driver_installed(uint32_t serialNumber) {
    char path[TFUSB_NODE_PATH_SIZE];
    snprintf(path, sizeof(path), "/dev/tessaform.%08X", serialNumber);
    return aFile_Exists(path);
}

/* ---- kernel driver node ---------------------------------------------------------------- */

static aErr sNodeOpen(tfusb_device* device, const char* serial) {
    if (device->backend != TFUSB_BACKEND_KERNEL) return aErrMode;
    sCopySerial(device, serial);
    char path[TFUSB_NODE_PATH_SIZE];
    snprintf(path, sizeof(path), TFUSB_NODE_FORMAT, device->serial);
    int fd;
    do {
        /* Non-blocking, so that a module that stops reading cannot hold a write. */
        fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return errno == EBUSY ? aErrBusy : aErrIO;
    device->fd = fd;
    return aErrNone;
}

static aErr sNodeWrite(tfusb_device* device, const uint8_t* data, size_t count) {
    if (device->backend != TFUSB_BACKEND_KERNEL || device->fd < 0) return aErrMode;
    aErr err = aFdStream_Write(device->fd, data, count, TFUSB_NODE_STALL_MS);
    /* A module that takes nothing is what the libusb back end reports after its OUT
     * transfers time out. */
    return err == aErrTimeout ? aErrWrite : err;
}

/* Reads what the node has into the read buffer, waiting as the libusb read waits in its
 * transfer, so that an idle link sleeps here instead of spinning on empty reads. */
static aErr sNodeRefill(tfusb_device* device) {
    const int64_t deadline = (int64_t)aTime_GetMonotonicMSTicks() + TFUSB_READ_TIMEOUT_MS;
    for (;;) {
        int64_t left = deadline - (int64_t)aTime_GetMonotonicMSTicks();
        if (left < 0) left = 0;
        size_t got = 0;
        aErr err = aFdStream_Fill(device->fd, device->readBuffer, sizeof(device->readBuffer),
                                  (int)left, &got);
        if (err == aErrNone) {
            device->readPtr = device->readBuffer;
            device->avail = (uint32_t)got;
            return aErrNone;
        }
        if (err != aErrNotReady) return err;
        /* A node that claims readiness and then has nothing (a driver without poll
         * support) is asked again after a pause until the wait is over. */
        if (deadline - (int64_t)aTime_GetMonotonicMSTicks() <= 0) return aErrNotReady;
        aTime_MSSleep(TFUSB_NODE_EMPTY_PAUSE_MS);
    }
}

static aErr sNodeGet(tfusb_device* device, uint8_t* byte) {
    if (device->backend != TFUSB_BACKEND_KERNEL || device->fd < 0) return aErrMode;
    if (device->avail == 0) {
        aErr err = sNodeRefill(device);
        if (err != aErrNone) return err;
    }
    *byte = *device->readPtr++;
    device->avail--;
    return aErrNone;
}

static aErr sNodeClose(tfusb_device* device) {
    if (device->backend != TFUSB_BACKEND_KERNEL) return aErrMode;
    if (device->fd < 0) return aErrNone;
    int rc = close(device->fd);
    /* Linux releases the descriptor even when close fails; closing it again could close
     * a descriptor another thread has been given meanwhile. */
    device->fd = -1;
    sSetState(device, TFUSB_STATE_CLOSED);
    return rc != 0 ? aErrCancel : aErrNone;
}

/* ---- libusb ------------------------------------------------------------------------------ */

static uint16_t sMaxPacket(int size) {
    return size > 0 ? (uint16_t)(size > 0xFFFF ? 0xFFFF : size) : 0;
}

int find_usb_endpoints(tfusb_device* device) {
    if (!device || !device->handle) return LIBUSB_ERROR_INVALID_PARAM;
    libusb_device* usb = libusb_get_device(device->handle);
    struct libusb_device_descriptor descriptor;
    int rc = libusb_get_device_descriptor(usb, &descriptor);
    if (rc != 0) return rc;
    struct libusb_config_descriptor* config = NULL;
    rc = libusb_get_config_descriptor(usb, 0, &config);
    if (rc != 0) return rc;

    /* The endpoints come from one setting, the last complete one: a pair put together
     * from two interfaces would send to one and read from another. */
    bool found = false;
    uint8_t number = 0, in = 0, out = 0;
    for (int i = 0; i < config->bNumInterfaces; ++i) {
        const struct libusb_interface* interface = &config->interface[i];
        for (int a = 0; a < interface->num_altsetting; ++a) {
            const struct libusb_interface_descriptor* setting = &interface->altsetting[a];
            if (setting->bInterfaceClass != TFUSB_VENDOR_CLASS ||
                setting->bInterfaceSubClass != TFUSB_VENDOR_SUBCLASS ||
                setting->bInterfaceProtocol != TFUSB_VENDOR_PROTOCOL)
                continue;
            uint8_t settingIn = 0, settingOut = 0;
            for (int e = 0; e < setting->bNumEndpoints; ++e) {
                const struct libusb_endpoint_descriptor* endpoint = &setting->endpoint[e];
                if ((endpoint->bmAttributes & 0x02u) == 0) continue; /* bulk or interrupt */
                if (endpoint->bEndpointAddress & LIBUSB_ENDPOINT_IN)
                    settingIn = endpoint->bEndpointAddress;
                else
                    settingOut = endpoint->bEndpointAddress;
            }
            if (settingIn && settingOut) {
                found = true;
                number = setting->bInterfaceNumber;
                in = settingIn;
                out = settingOut;
            }
        }
    }
    libusb_free_config_descriptor(config);
    if (!found) return LIBUSB_ERROR_NO_DEVICE;

    int inSize = libusb_get_max_packet_size(usb, in);
    if (inSize < 0) return inSize;
    int outSize = libusb_get_max_packet_size(usb, out);
    if (outSize < 0) return outSize;
    device->interfaceNumber = number;
    device->inEndpoint = in;
    device->outEndpoint = out;
    device->inMaxPacket = sMaxPacket(inSize);
    device->outMaxPacket = sMaxPacket(outSize);
    return 0;
}

/* True when the opened device's serial-number string is exactly the text. */
static bool sSerialMatches(libusb_device* usb, libusb_device_handle* handle, const char* serial) {
    struct libusb_device_descriptor descriptor;
    if (libusb_get_device_descriptor(usb, &descriptor) != 0) return false;
    unsigned char text[TFUSB_SERIAL_SIZE];
    memset(text, 0, sizeof(text));
    if (descriptor.iSerialNumber == 0 ||
        libusb_get_string_descriptor_ascii(handle, descriptor.iSerialNumber, text,
                                           (int)sizeof(text) - 1) < 0)
        return false;
    return strcmp((const char*)text, serial) == 0;
}

static aErr sClaimError(int rc) {
    switch (rc) {
    case LIBUSB_ERROR_BUSY:
    case LIBUSB_ERROR_NO_DEVICE:
        return aErrBusy;
    case LIBUSB_ERROR_ACCESS:
        return aErrPermission;
    default:
        return aErrUnknown;
    }
}

static void sUsbCloseHandle(tfusb_device* device) {
    libusb_close(device->handle);
    device->handle = NULL;
    sSetState(device, TFUSB_STATE_CLOSED);
}

/* The matched device: endpoints, then the claim. */
static aErr sUsbTake(tfusb_device* device, libusb_device_handle* handle, const char* serial) {
    sCopySerial(device, serial);
    device->handle = handle;
    sSetState(device, TFUSB_STATE_FOUND);
    if (find_usb_endpoints(device) != 0) {
        sUsbCloseHandle(device);
        return aErrConfiguration;
    }
    int rc = libusb_claim_interface(device->handle, device->interfaceNumber);
    if (rc != 0) {
        sUsbCloseHandle(device);
        return sClaimError(rc);
    }
    atomic_store(&device->errorCount, (uint8_t)0);
    sSetState(device, TFUSB_STATE_READY);
    return aErrNone;
}

static aErr sUsbOpen(tfusb_device* device, const char* serial) {
    if (device->backend != TFUSB_BACKEND_LIBUSB) return aErrMode;
    libusb_context* context = Tessaform_libusb_context();
    if (!context) return aErrNotFound;
    libusb_device** list = NULL;
    ssize_t count = libusb_get_device_list(context, &list);
    if (count < 0) return aErrNotFound;
    aErr result = aErrNotFound;
    for (ssize_t i = 0; i < count; ++i) {
        if (!is_tessaform_device(list[i])) continue;
        libusb_device_handle* handle = NULL;
        if (libusb_open(list[i], &handle) != 0 || !handle) continue;
        if (!sSerialMatches(list[i], handle, serial)) {
            libusb_close(handle);
            continue;
        }
        result = sUsbTake(device, handle, serial);
        break;
    }
    libusb_free_device_list(list, 1);
    return result;
}

aErr _handleErrorTolerance(tfusb_device* device, aErr result) {
    /* Failed stays failed: a success after the failure (a byte still buffered, a write
     * that raced it) must not count the device back to "tolerated". */
    if (sState(device) == TFUSB_STATE_FAILED) return aErrIO;
    if (result != aErrIO) {
        atomic_store(&device->errorCount, (uint8_t)0);
        return result;
    }
    /* Saturates: a failed device must not count its way round to "tolerated" again. */
    uint8_t before = atomic_load(&device->errorCount);
    uint8_t after;
    do {
        after = before == UINT8_MAX ? UINT8_MAX : (uint8_t)(before + 1u);
    } while (!atomic_compare_exchange_weak(&device->errorCount, &before, after));
    if (before < TFUSB_TOLERATED_ERRORS) return aErrNotReady;
    sSetState(device, TFUSB_STATE_FAILED);
    return aErrIO;
}

static aErr sUsbWriteChunks(tfusb_device* device, const uint8_t* data, size_t count) {
    aErr result = aErrNone;
    size_t sent = 0;
    int failures = 0;
    while (sent < count && failures < TFUSB_WRITE_MAX_FAILURES) {
        size_t chunk = count - sent;
        if (chunk > device->outMaxPacket) chunk = device->outMaxPacket;
        /* A chunk of exactly 512 bytes is cut short by one. */
        if (chunk == 512) chunk = 511;
        int moved = 0;
        int rc = libusb_bulk_transfer(device->handle, device->outEndpoint, (uint8_t*)data + sent,
                                      (int)chunk, &moved, TFUSB_WRITE_TIMEOUT_MS);
        /* Bytes that reached the module stay sent even when the transfer failed:
         * sending them again would duplicate them in the stream. */
        size_t done = moved > 0 ? (size_t)moved : 0;
        if (done > chunk) done = chunk;
        sent += done;
        if (rc == 0 && done > 0) continue;
        /* A success that moved nothing (a maximum packet size of 0) is no progress. */
        ++failures;
        if (rc == LIBUSB_ERROR_PIPE && libusb_clear_halt(device->handle, device->outEndpoint) != 0)
            result = aErrIO;
    }
    if (sent < count && result == aErrNone) result = aErrWrite;
    if (sent == count) result = aErrNone;
    return result;
}

static aErr sUsbWrite(tfusb_device* device, const uint8_t* data, size_t count) {
    if (device->backend != TFUSB_BACKEND_LIBUSB) return aErrMode;
    uint32_t state = sState(device);
    aErr result =
        state == TFUSB_STATE_READY ? sUsbWriteChunks(device, data, count) : sStateError(state);
    aErr reported = _handleErrorTolerance(device, result);
    return (result == aErrIO && reported == aErrNotReady) ? aErrNone : reported;
}

static aErr sUsbRefill(tfusb_device* device) {
    uint32_t state = sState(device);
    if (state != TFUSB_STATE_READY) return sStateError(state);
    int moved = 0;
    int rc = libusb_bulk_transfer(device->handle, device->inEndpoint, device->readBuffer,
                                  TFUSB_READ_BUFFER_SIZE, &moved, TFUSB_READ_TIMEOUT_MS);
    if (rc == 0 || (rc == LIBUSB_ERROR_TIMEOUT && moved > 0)) {
        if (moved < 0) moved = 0;
        if (moved > TFUSB_READ_BUFFER_SIZE) moved = TFUSB_READ_BUFFER_SIZE;
        device->readPtr = device->readBuffer;
        device->avail = (uint32_t)moved;
        return device->avail > 0 ? aErrNone : aErrNotReady;
    }
    if (rc == LIBUSB_ERROR_PIPE)
        /* An endpoint that cannot be unstalled fails every transfer at once; counted as
         * I/O errors, it fails the device instead of spinning the reader. */
        return libusb_clear_halt(device->handle, device->inEndpoint) == 0 ? aErrNotReady : aErrIO;
    if (rc == LIBUSB_ERROR_TIMEOUT) return aErrNotReady;
    return aErrIO;
}

static aErr sUsbGet(tfusb_device* device, uint8_t* byte) {
    if (device->backend != TFUSB_BACKEND_LIBUSB) return aErrMode;
    aErr result = device->avail == 0 ? sUsbRefill(device) : aErrNone;
    result = _handleErrorTolerance(device, result);
    if (result == aErrNone) {
        *byte = *device->readPtr++;
        device->avail--;
    }
    return result;
}

static aErr sUsbClose(tfusb_device* device) {
    if (device->backend != TFUSB_BACKEND_LIBUSB || !device->handle) return aErrMode;
    libusb_release_interface(device->handle, device->interfaceNumber);
    sUsbCloseHandle(device);
    device->interfaceNumber = 0;
    device->inEndpoint = 0;
    device->outEndpoint = 0;
    return aErrNone;
}

/* ---- dispatch ---------------------------------------------------------------------------- */

aErr tfusb_open_tessaform_device(tfusb_device* device, const char* serial) {
    if (!device || !serial) return aErrParam;
    return device->backend == TFUSB_BACKEND_KERNEL ? sNodeOpen(device, serial)
                                                   : sUsbOpen(device, serial);
}

aErr tfusb_write_to_device(tfusb_device* device, const uint8_t* data, size_t count) {
    if (!device || (!data && count > 0)) return aErrParam;
    return device->backend == TFUSB_BACKEND_KERNEL ? sNodeWrite(device, data, count)
                                                   : sUsbWrite(device, data, count);
}

aErr tfusb_get_from_device(tfusb_device* device, uint8_t* byte) {
    if (!device || !byte) return aErrParam;
    return device->backend == TFUSB_BACKEND_KERNEL ? sNodeGet(device, byte) : sUsbGet(device, byte);
}

aErr tfusb_close_tessaform_device(tfusb_device* device) {
    if (!device) return aErrParam;
    return device->backend == TFUSB_BACKEND_KERNEL ? sNodeClose(device) : sUsbClose(device);
}
