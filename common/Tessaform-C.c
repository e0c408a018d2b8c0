/* The shared libusb context. */
#include "Tessaform-C.h"

#include <libusb.h>
#include <pthread.h>

static libusb_context* _libusbContext = NULL;
static pthread_mutex_t _libusbContextLock = PTHREAD_MUTEX_INITIALIZER;

libusb_context* Tessaform_libusb_context(void) {
    pthread_mutex_lock(&_libusbContextLock);
    if (!_libusbContext && libusb_init(&_libusbContext) != 0) _libusbContext = NULL;
    libusb_context* context = _libusbContext;
    pthread_mutex_unlock(&_libusbContextLock);
    return context;
}

void Tessaform_libusb_init(void) {
    (void)Tessaform_libusb_context();
}

void Tessaform_libusb_exit(void) {
    pthread_mutex_lock(&_libusbContextLock);
    if (_libusbContext) libusb_exit(_libusbContext);
    _libusbContext = NULL;
    pthread_mutex_unlock(&_libusbContextLock);
}

bool is_tessaform_device(libusb_device* device) {
    struct libusb_device_descriptor descriptor;
    if (!device || libusb_get_device_descriptor(device, &descriptor) != 0) return false;
    return descriptor.idVendor == aTESSAFORM_USB_VENDOR_ID && (descriptor.idProduct & 0x8000u) == 0;
}
