/* The process's one libusb context, shared by the USB transport and USB discovery, and
 * the modules' USB identity. */
#ifndef TESSAFORM_TESSAFORM_C_H
#define TESSAFORM_TESSAFORM_C_H

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

struct libusb_context;
struct libusb_device;

/* The modules' USB vendor id; their product ids are below 0x8000. */
#define aTESSAFORM_USB_VENDOR_ID 0x3A7Fu

/* The shared context, created on first use; NULL when libusb cannot be initialised.
 * Callers never pass NULL on to libusb, which would mean its default context. */
struct libusb_context* Tessaform_libusb_context(void);
void Tessaform_libusb_init(void);
/* Releases the context; the next use creates a new one. Only while no device of it is
 * open and no enumeration runs. */
void Tessaform_libusb_exit(void);

/* True for a device with the modules' vendor id and a product id with bit 15 clear. */
bool is_tessaform_device(struct libusb_device* device);

#ifdef __cplusplus
}
#endif

#endif
