/* The shared libusb context. */
#include "Tessaform-C.h"

#include <libusb.h>

#include "aMutex.h"
#include "aOnce.h"

static libusb_context* _libusbContext = NULL;
/* Made on first use and never released: the context may be asked for until the process ends. */
static aMutex* _libusbContextLock = NULL;
static aOnce _libusbContextLockOnce = aONCE_INIT;

static void sCreateContextLock(void) {
    _libusbContextLock = aMutex_Create("libusb_context");
}

/* False when the lock could not be made (no memory): then no context exists either. */
static bool sLockContext(void) {
    aOnce_Run(&_libusbContextLockOnce, sCreateContextLock);
    return aMutex_Lock(_libusbContextLock) == aErrNone;
}

libusb_context* Tessaform_libusb_context(void) {
    if (!sLockContext()) return NULL;
    if (!_libusbContext && libusb_init(&_libusbContext) != 0) _libusbContext = NULL;
    libusb_context* context = _libusbContext;
    aMutex_Unlock(_libusbContextLock);
    return context;
}

void Tessaform_libusb_init(void) {
    (void)Tessaform_libusb_context();
}

void Tessaform_libusb_exit(void) {
    if (!sLockContext()) return;
    if (_libusbContext) libusb_exit(_libusbContext);
    _libusbContext = NULL;
    aMutex_Unlock(_libusbContextLock);
}

bool is_tessaform_device(libusb_device* device) {
    struct libusb_device_descriptor descriptor;
    if (!device || libusb_get_device_descriptor(device, &descriptor) != 0) return false;
    return descriptor.idVendor == aTESSAFORM_USB_VENDOR_ID && (descriptor.idProduct & 0x8000u) == 0;
}
