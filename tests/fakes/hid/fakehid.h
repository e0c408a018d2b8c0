/* Control API of the fake hidapi: tests put simulated HID devices in place and script
 * faults. A device's reports travel as messages over a Unix SOCK_SEQPACKET socket to
 * whatever listens at its path (the SDP boot-ROM simulator), so report boundaries survive.
 * A program run as a child finds its devices in FAKEHID_DEVICES instead:
 * "vvvv:pppp:/socket/path" entries in hex, separated by commas, read by hid_init.
 * Every function is thread-safe. */
#ifndef FAKEHID_H
#define FAKEHID_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Puts a device with the ids on the bus, backed by the socket at path (copied). Devices are
 * matched by hid_open in the order added. */
void fakehid_add_device(uint16_t vendor_id, uint16_t product_id, const char* socket_path);

typedef enum fakehid_op {
    FAKEHID_INIT,  /* hid_init returns -1 */
    FAKEHID_OPEN,  /* hid_open returns NULL */
    FAKEHID_WRITE, /* hid_write returns -1 and sends nothing */
    FAKEHID_READ,  /* hid_read_timeout returns -1 */
    FAKEHID_OPS
} fakehid_op;

/* The next skip calls of op behave, then times calls fail. */
void fakehid_fail(fakehid_op op, unsigned skip, unsigned times);

/* Calls made of op since the last reset, failed ones included. */
unsigned fakehid_call_count(fakehid_op op);
unsigned fakehid_exit_count(void);
/* Handles opened and not yet closed. */
unsigned fakehid_open_handles(void);
/* Calls the real library would crash on or reject: a handle that is not open, a NULL
 * buffer, hid_close twice. */
unsigned fakehid_misuse_count(void);

/* Devices, faults and counts go; open handles stay valid. */
void fakehid_reset(void);

#ifdef __cplusplus
}
#endif

#endif
