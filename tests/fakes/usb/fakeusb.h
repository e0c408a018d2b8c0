/* Control API of the fake libusb: tests put simulated devices on a fake bus,
 * back their bulk endpoints with a simulator's TCP port, and script faults.
 * The fake implements libusb-1.0's functions itself, so this header and
 * <libusb-1.0/libusb.h> are all a test needs. Every function is thread-safe.
 * A test whose fake runs in another process (preloaded) uses fakeusb_remote.h. */
#ifndef FAKEUSB_H
#define FAKEUSB_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct fakeusb_device fakeusb_device;

typedef struct fakeusb_endpoint_config {
    unsigned char address;    /* bit 7 set for IN; 0: the endpoint is absent */
    unsigned char attributes; /* bmAttributes; transfer type in bits 0-1 (2 bulk, 3 interrupt) */
    uint16_t max_packet_size; /* wMaxPacketSize as reported, 0 allowed */
} fakeusb_endpoint_config;

typedef struct fakeusb_device_config {
    uint16_t vendor_id;
    uint16_t product_id;
    uint16_t bcd_device;
    const char* serial; /* copied; NULL: the device has no serial-number string */
    unsigned char interface_number;
    unsigned char interface_class;
    unsigned char interface_subclass;
    unsigned char interface_protocol;
    fakeusb_endpoint_config in;
    fakeusb_endpoint_config out;
    /* Interfaces of another class (0x0A, with bulk endpoints of their own) listed
     * before the vendor one and numbered after it, to exercise descriptor walks. */
    unsigned char decoy_interfaces;
    /* The byte stream behind the bulk endpoints: a TCP connection to
     * backing_host:backing_port, made when the interface is claimed and ended
     * when it is released or the device closes. Port 0: no backing; OUT bytes
     * are dropped and IN transfers time out. */
    const char* backing_host; /* copied; NULL means 127.0.0.1 */
    uint16_t backing_port;
} fakeusb_device_config;

/* Defaults: the given ids and serial, vendor interface 0 of class 0xFF,
 * subclass 0x88, protocol 0x10, bulk IN 0x81 and bulk OUT 0x01 of 64 bytes,
 * no decoys, no backing. */
void fakeusb_config_init(fakeusb_device_config* config, uint16_t vendor_id, uint16_t product_id,
                         const char* serial);

/* Puts a device on the bus (plugged in). The handle stays valid until
 * fakeusb_remove_device or fakeusb_reset. */
fakeusb_device* fakeusb_add_device(const fakeusb_device_config* config);
void fakeusb_remove_device(fakeusb_device* device);

/* Unplugging ends the device at once: it leaves later device lists, its open
 * handles fail with LIBUSB_ERROR_NO_DEVICE (blocked transfers wake), and the
 * backing connection closes. Plugging it in again makes a new device, with a
 * new address, that must be opened anew, as after a module's reboot. */
void fakeusb_unplug(fakeusb_device* device);
void fakeusb_plug(fakeusb_device* device);
/* Changes what the next plug-in presents (a loader with another product id,
 * say); the backing port may change too. */
void fakeusb_reconfigure(fakeusb_device* device, const fakeusb_device_config* config);

/* Operations whose outcome can be scripted and whose calls are counted. */
typedef enum fakeusb_op {
    FAKEUSB_OP_INIT, /* libusb_init; device-independent: pass NULL */
    FAKEUSB_OP_OPEN,
    FAKEUSB_OP_CLOSE, /* counted only */
    FAKEUSB_OP_DEVICE_DESCRIPTOR,
    FAKEUSB_OP_CONFIG_DESCRIPTOR,
    FAKEUSB_OP_STRING_DESCRIPTOR,
    FAKEUSB_OP_CLAIM,
    FAKEUSB_OP_RELEASE,
    FAKEUSB_OP_CLEAR_HALT,
    FAKEUSB_OP_BULK_IN,  /* use fakeusb_script_transfer to script */
    FAKEUSB_OP_BULK_OUT, /* use fakeusb_script_transfer to script */
    FAKEUSB_OP_COUNT
} fakeusb_op;

/* The next `times` calls of `op` fail with `error` (a LIBUSB_ERROR_ code);
 * times < 0: until changed; error 0 clears. */
void fakeusb_fail(fakeusb_device* device, fakeusb_op op, int error, int times);

/* Appends a step to the transfer script of one direction (FAKEUSB_OP_BULK_IN
 * or _OUT); each transfer takes the script's first step, and transfers run
 * normally while it is empty. A step applies to the next `times` transfers:
 *   0                     normal transfers (to place a success between faults)
 *   LIBUSB_ERROR_TIMEOUT  waits the caller's whole time-out; up to `partial`
 *                         bytes move first (OUT: reach the simulator; IN: are
 *                         taken from it), reported in actual_length
 *   LIBUSB_ERROR_PIPE     stalls the endpoint: this and every later transfer on
 *                         it fail with PIPE until libusb_clear_halt
 *   any other error       returned at once, nothing moved */
void fakeusb_script_transfer(fakeusb_device* device, fakeusb_op direction, int error, int partial,
                             unsigned times);
/* Stalls an endpoint now, as a PIPE step would. */
void fakeusb_stall(fakeusb_device* device, unsigned char endpoint);

/* One bulk transfer as the fake saw it. */
typedef struct fakeusb_transfer {
    unsigned char endpoint;
    int length;           /* requested */
    unsigned int timeout; /* ms, as passed */
    int result;           /* returned */
    int transferred;      /* actual_length reported */
} fakeusb_transfer;

/* Copies up to `capacity` of the device's recorded transfers (oldest first,
 * the last 100000 kept) and returns how many there are. */
size_t fakeusb_transfers(fakeusb_device* device, fakeusb_transfer* out, size_t capacity);
void fakeusb_clear_transfers(fakeusb_device* device);

/* Calls of `op` on the device since it was added or the counts were cleared. */
unsigned fakeusb_call_count(const fakeusb_device* device, fakeusb_op op);

/* Process-wide counts, so tests can prove a path never touched libusb, that
 * a context was released and made again, and that nothing leaked. */
unsigned fakeusb_init_count(void); /* libusb_init calls, failed ones included */
unsigned fakeusb_exit_count(void);
unsigned fakeusb_live_contexts(void);
unsigned fakeusb_open_handles(void);
unsigned fakeusb_live_device_lists(void); /* got and not yet freed */
unsigned fakeusb_live_config_descriptors(void);
/* Calls the real libusb would reject or crash on (unknown handles, transfers on
 * unclaimed interfaces, an exit with handles open, ...); each also prints a
 * line to stderr. */
unsigned fakeusb_misuse_count(void);

/* Removes every device and clears every count and scripted fault; contexts
 * and handles the code under test still holds stay usable (their devices are
 * gone). For test fixtures. */
void fakeusb_reset(void);

#ifdef __cplusplus
}
#endif

#endif
