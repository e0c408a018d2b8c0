// The control API of fakeusb.h: the test's hands on the bus and its view of the
// counts the libusb side keeps.
#include "fakeusb_libusb.h"
#include "fakeusb_wire.h"

namespace bus = fakeusb::bus;

extern "C" {

void fakeusb_config_init(fakeusb_device_config* config, uint16_t vendor_id, uint16_t product_id,
                         const char* serial) {
    *config = fakeusb::wire::defaultConfig(vendor_id, product_id, serial);
}

fakeusb_device* fakeusb_add_device(const fakeusb_device_config* config) {
    return bus::add(*config);
}

void fakeusb_remove_device(fakeusb_device* device) {
    bus::remove(device);
}

void fakeusb_unplug(fakeusb_device* device) {
    bus::unplug(device);
}

void fakeusb_plug(fakeusb_device* device) {
    bus::plug(device);
}

void fakeusb_reconfigure(fakeusb_device* device, const fakeusb_device_config* config) {
    bus::reconfigure(device, *config);
}

void fakeusb_fail(fakeusb_device* device, fakeusb_op op, int error, int times) {
    const fakeusb::Fault fault{error, error ? times : 0};
    if (op == FAKEUSB_OP_INIT)
        fakeusb::abi::failInit(fault);
    else
        bus::fail(device, op, fault);
}

void fakeusb_script_transfer(fakeusb_device* device, fakeusb_op direction, int error, int partial,
                             unsigned times) {
    bus::scriptTransfer(device, direction, error, partial, times);
}

void fakeusb_stall(fakeusb_device* device, unsigned char endpoint) {
    bus::stall(device, endpoint);
}

size_t fakeusb_transfers(fakeusb_device* device, fakeusb_transfer* out, size_t capacity) {
    return bus::transfers(device, out, capacity);
}

void fakeusb_clear_transfers(fakeusb_device* device) {
    bus::clearTransfers(device);
}

unsigned fakeusb_call_count(const fakeusb_device* device, fakeusb_op op) {
    if (op == FAKEUSB_OP_INIT) return fakeusb::abi::counts().inits;
    return bus::callCount(device, op);
}

unsigned fakeusb_init_count(void) {
    return fakeusb::abi::counts().inits;
}

unsigned fakeusb_exit_count(void) {
    return fakeusb::abi::counts().exits;
}

unsigned fakeusb_live_contexts(void) {
    return fakeusb::abi::counts().contexts;
}

unsigned fakeusb_open_handles(void) {
    return fakeusb::abi::counts().handles;
}

unsigned fakeusb_live_device_lists(void) {
    return fakeusb::abi::counts().deviceLists;
}

unsigned fakeusb_live_config_descriptors(void) {
    return fakeusb::abi::counts().configDescriptors;
}

unsigned fakeusb_misuse_count(void) {
    return fakeusb::misuseCount();
}

void fakeusb_reset(void) {
    bus::reset();
    fakeusb::abi::resetCounts();
}

} // extern "C"
