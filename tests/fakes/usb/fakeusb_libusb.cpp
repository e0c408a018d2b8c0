// The libusb-1.0 functions, with the signatures of <libusb-1.0/libusb.h>: contexts,
// device lists, descriptors and handles as libusb keeps them, each request handed to
// the simulated bus for the plug-in it was made for.
#include "fakeusb_libusb.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <set>

#include "fakeusb_channel.h"

using fakeusb::Presentation;
using fakeusb::SessionPtr;
namespace bus = fakeusb::bus;

struct libusb_context {
    bool isDefault = false;
    int defaultRefs = 0;
    // Device objects stay the same while a device stays plugged in, as libusb's do.
    std::map<std::pair<const fakeusb_device*, unsigned>, libusb_device*> devices;
};

struct libusb_device {
    libusb_context* ctx;
    Presentation presented;
    libusb_device_descriptor descriptor;
    int refs = 1;
};

struct libusb_device_handle {
    libusb_device* device;
    SessionPtr session; // set while the vendor interface is claimed
};

namespace {

// The objects handed out, so that calls with stale or foreign pointers are caught.
struct Objects {
    std::mutex mutex; // taken before the bus's, never inside it
    std::set<libusb_context*> contexts;
    std::set<libusb_device*> devices;
    std::set<libusb_device_handle*> handles;
    std::set<libusb_device**> lists;
    std::map<libusb_config_descriptor*, std::unique_ptr<fakeusb::ConfigDescriptor>> configs;
    libusb_context* defaultContext = nullptr;
    fakeusb::Fault initFault;
    unsigned inits = 0, exits = 0;
};

// Never destroyed, like the bus: a preloaded program may call in during its exit.
Objects& objects() {
    static Objects* o = new Objects;
    return *o;
}

using Lock = std::unique_lock<std::mutex>;

Lock locked() {
    return Lock(objects().mutex);
}

// The way in for every entry point that sees the bus: the first one in the process
// also takes in what a parent configured through the control channel.
Lock enter() {
    fakeusb::startChannelOnce();
    return locked();
}

libusb_context* resolve(libusb_context* ctx) {
    return ctx ? ctx : objects().defaultContext;
}

bool knownHandle(libusb_device_handle* h, const char* what) {
    if (h && objects().handles.count(h)) return true;
    fakeusb::misuse("%s on an unknown or closed handle %p", what, static_cast<void*>(h));
    return false;
}

bool knownDevice(libusb_device* d, const char* what) {
    if (d && objects().devices.count(d)) return true;
    fakeusb::misuse("%s on an unknown or freed device %p", what, static_cast<void*>(d));
    return false;
}

void unrefLocked(libusb_device* d) {
    if (--d->refs > 0) return;
    if (objects().contexts.count(d->ctx))
        d->ctx->devices.erase({d->presented.device.get(), d->presented.generation});
    objects().devices.erase(d);
    delete d;
}

libusb_device* deviceObjectLocked(libusb_context* ctx, const Presentation& p) {
    const auto key =
        std::make_pair(static_cast<const fakeusb_device*>(p.device.get()), p.generation);
    auto it = ctx->devices.find(key);
    if (it != ctx->devices.end()) {
        ++it->second->refs;
        return it->second;
    }
    auto* obj = new libusb_device{ctx, p, fakeusb::deviceDescriptor(*p.config)};
    ctx->devices[key] = obj;
    objects().devices.insert(obj);
    return obj;
}

int transfer(libusb_device_handle* h, unsigned char endpoint, unsigned char* data, int length,
             int* actual, unsigned int timeout) {
    Presentation presented;
    SessionPtr session;
    {
        Lock lock = enter();
        if (!knownHandle(h, "bulk transfer")) {
            if (actual) *actual = 0;
            return LIBUSB_ERROR_INVALID_PARAM;
        }
        // Copies: a close on another thread must not free them under the transfer.
        presented = h->device->presented;
        session = h->session;
    }
    return bus::transfer(presented, session.get(), endpoint, data, length, actual, timeout);
}

} // namespace

namespace fakeusb::abi {

Counts counts() {
    Lock lock = locked();
    const Objects& o = objects();
    return {o.inits,
            o.exits,
            static_cast<unsigned>(o.contexts.size()),
            static_cast<unsigned>(o.handles.size()),
            static_cast<unsigned>(o.lists.size()),
            static_cast<unsigned>(o.configs.size())};
}

void failInit(Fault fault) {
    Lock lock = locked();
    objects().initFault = fault;
}

void resetCounts() {
    Lock lock = locked();
    objects().initFault = {};
    objects().inits = objects().exits = 0;
}

} // namespace fakeusb::abi

extern "C" {

int libusb_init(libusb_context** ctx) {
    Lock lock = enter();
    Objects& o = objects();
    ++o.inits;
    if (int e = o.initFault.take()) return e;
    if (!ctx) {
        if (!o.defaultContext) {
            o.defaultContext = new libusb_context;
            o.defaultContext->isDefault = true;
            o.contexts.insert(o.defaultContext);
        }
        ++o.defaultContext->defaultRefs;
        return 0;
    }
    auto* c = new libusb_context;
    o.contexts.insert(c);
    *ctx = c;
    return 0;
}

void libusb_exit(libusb_context* ctx) {
    Lock lock = enter();
    Objects& o = objects();
    ++o.exits;
    libusb_context* c = resolve(ctx);
    if (!c || !o.contexts.count(c)) {
        fakeusb::misuse("libusb_exit of an unknown context %p", static_cast<void*>(ctx));
        return;
    }
    if (c->isDefault && --c->defaultRefs > 0) return;
    if (std::any_of(o.handles.begin(), o.handles.end(),
                    [c](libusb_device_handle* h) { return h->device->ctx == c; }))
        fakeusb::misuse("libusb_exit with a device handle still open");
    // Device objects still referenced outlive the context, detached from it.
    for (auto& [key, obj] : c->devices)
        obj->ctx = nullptr;
    o.contexts.erase(c);
    if (c == o.defaultContext) o.defaultContext = nullptr;
    delete c;
}

int libusb_set_option(libusb_context*, enum libusb_option, ...) {
    return 0;
}

const struct libusb_version* libusb_get_version(void) {
    static const libusb_version v{1, 0, 26, 0, "", "fakeusb"};
    return &v;
}

int libusb_has_capability(uint32_t capability) {
    return capability == LIBUSB_CAP_HAS_CAPABILITY;
}

const char* libusb_error_name(int errcode) {
    switch (errcode) {
    case LIBUSB_SUCCESS:
        return "LIBUSB_SUCCESS";
    case LIBUSB_ERROR_IO:
        return "LIBUSB_ERROR_IO";
    case LIBUSB_ERROR_INVALID_PARAM:
        return "LIBUSB_ERROR_INVALID_PARAM";
    case LIBUSB_ERROR_ACCESS:
        return "LIBUSB_ERROR_ACCESS";
    case LIBUSB_ERROR_NO_DEVICE:
        return "LIBUSB_ERROR_NO_DEVICE";
    case LIBUSB_ERROR_NOT_FOUND:
        return "LIBUSB_ERROR_NOT_FOUND";
    case LIBUSB_ERROR_BUSY:
        return "LIBUSB_ERROR_BUSY";
    case LIBUSB_ERROR_TIMEOUT:
        return "LIBUSB_ERROR_TIMEOUT";
    case LIBUSB_ERROR_OVERFLOW:
        return "LIBUSB_ERROR_OVERFLOW";
    case LIBUSB_ERROR_PIPE:
        return "LIBUSB_ERROR_PIPE";
    case LIBUSB_ERROR_INTERRUPTED:
        return "LIBUSB_ERROR_INTERRUPTED";
    case LIBUSB_ERROR_NO_MEM:
        return "LIBUSB_ERROR_NO_MEM";
    case LIBUSB_ERROR_NOT_SUPPORTED:
        return "LIBUSB_ERROR_NOT_SUPPORTED";
    case LIBUSB_ERROR_OTHER:
        return "LIBUSB_ERROR_OTHER";
    // Transfer statuses share the function in libusb.
    case LIBUSB_TRANSFER_ERROR:
        return "LIBUSB_TRANSFER_ERROR";
    case LIBUSB_TRANSFER_TIMED_OUT:
        return "LIBUSB_TRANSFER_TIMED_OUT";
    case LIBUSB_TRANSFER_CANCELLED:
        return "LIBUSB_TRANSFER_CANCELLED";
    case LIBUSB_TRANSFER_STALL:
        return "LIBUSB_TRANSFER_STALL";
    case LIBUSB_TRANSFER_NO_DEVICE:
        return "LIBUSB_TRANSFER_NO_DEVICE";
    case LIBUSB_TRANSFER_OVERFLOW:
        return "LIBUSB_TRANSFER_OVERFLOW";
    default:
        return "**UNKNOWN**";
    }
}

int libusb_setlocale(const char* locale) {
    return locale && std::strncmp(locale, "en", 2) == 0 ? 0 : LIBUSB_ERROR_NOT_FOUND;
}

const char* libusb_strerror(int errcode) {
    switch (errcode) {
    case LIBUSB_SUCCESS:
        return "Success";
    case LIBUSB_ERROR_IO:
        return "Input/Output Error";
    case LIBUSB_ERROR_INVALID_PARAM:
        return "Invalid parameter";
    case LIBUSB_ERROR_ACCESS:
        return "Access denied (insufficient permissions)";
    case LIBUSB_ERROR_NO_DEVICE:
        return "No such device (it may have been disconnected)";
    case LIBUSB_ERROR_NOT_FOUND:
        return "Entity not found";
    case LIBUSB_ERROR_BUSY:
        return "Resource busy";
    case LIBUSB_ERROR_TIMEOUT:
        return "Operation timed out";
    case LIBUSB_ERROR_OVERFLOW:
        return "Overflow";
    case LIBUSB_ERROR_PIPE:
        return "Pipe error";
    case LIBUSB_ERROR_INTERRUPTED:
        return "System call interrupted (perhaps due to signal)";
    case LIBUSB_ERROR_NO_MEM:
        return "Insufficient memory";
    case LIBUSB_ERROR_NOT_SUPPORTED:
        return "Operation not supported or unimplemented on this platform";
    default:
        return "Other error";
    }
}

ssize_t libusb_get_device_list(libusb_context* ctx, libusb_device*** list) {
    Lock lock = enter();
    libusb_context* c = resolve(ctx);
    if (!c || !objects().contexts.count(c)) {
        fakeusb::misuse("libusb_get_device_list without a live context");
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    if (!list) return LIBUSB_ERROR_INVALID_PARAM;
    std::vector<libusb_device*> found;
    for (const Presentation& p : bus::plugged())
        found.push_back(deviceObjectLocked(c, p));
    auto** out = new libusb_device*[found.size() + 1];
    std::copy(found.begin(), found.end(), out);
    out[found.size()] = nullptr;
    objects().lists.insert(out);
    *list = out;
    return static_cast<ssize_t>(found.size());
}

void libusb_free_device_list(libusb_device** list, int unref_devices) {
    if (!list) return;
    Lock lock = enter();
    if (!objects().lists.erase(list)) {
        fakeusb::misuse("libusb_free_device_list of an unknown list");
        return;
    }
    if (unref_devices)
        for (libusb_device** p = list; *p; ++p)
            unrefLocked(*p);
    delete[] list;
}

libusb_device* libusb_ref_device(libusb_device* dev) {
    Lock lock = enter();
    if (knownDevice(dev, "libusb_ref_device")) ++dev->refs;
    return dev;
}

void libusb_unref_device(libusb_device* dev) {
    if (!dev) return;
    Lock lock = enter();
    if (knownDevice(dev, "libusb_unref_device")) unrefLocked(dev);
}

int libusb_get_device_descriptor(libusb_device* dev, struct libusb_device_descriptor* desc) {
    Lock lock = enter();
    if (!knownDevice(dev, "libusb_get_device_descriptor") || !desc)
        return LIBUSB_ERROR_INVALID_PARAM;
    if (int e = bus::call(dev->presented, FAKEUSB_OP_DEVICE_DESCRIPTOR, false)) return e;
    *desc = dev->descriptor;
    return 0;
}

int libusb_get_config_descriptor(libusb_device* dev, uint8_t config_index,
                                 struct libusb_config_descriptor** config) {
    Lock lock = enter();
    if (!knownDevice(dev, "libusb_get_config_descriptor") || !config)
        return LIBUSB_ERROR_INVALID_PARAM;
    if (int e = bus::call(dev->presented, FAKEUSB_OP_CONFIG_DESCRIPTOR, false)) return e;
    if (config_index >= dev->descriptor.bNumConfigurations) return LIBUSB_ERROR_NOT_FOUND;
    auto block = fakeusb::configDescriptor(*dev->presented.config);
    *config = &block->config;
    objects().configs[*config] = std::move(block);
    return 0;
}

int libusb_get_active_config_descriptor(libusb_device* dev,
                                        struct libusb_config_descriptor** config) {
    return libusb_get_config_descriptor(dev, 0, config);
}

int libusb_get_config_descriptor_by_value(libusb_device* dev, uint8_t bConfigurationValue,
                                          struct libusb_config_descriptor** config) {
    return bConfigurationValue == 1 ? libusb_get_config_descriptor(dev, 0, config)
                                    : LIBUSB_ERROR_NOT_FOUND;
}

void libusb_free_config_descriptor(struct libusb_config_descriptor* config) {
    if (!config) return;
    Lock lock = enter();
    if (!objects().configs.erase(config))
        fakeusb::misuse("libusb_free_config_descriptor of an unknown descriptor");
}

uint8_t libusb_get_bus_number(libusb_device* dev) {
    Lock lock = enter();
    return knownDevice(dev, "libusb_get_bus_number") ? 1 : 0;
}

uint8_t libusb_get_port_number(libusb_device* dev) {
    Lock lock = enter();
    return knownDevice(dev, "libusb_get_port_number") ? dev->presented.address : 0;
}

int libusb_get_port_numbers(libusb_device* dev, uint8_t* port_numbers, int port_numbers_len) {
    Lock lock = enter();
    if (!knownDevice(dev, "libusb_get_port_numbers") || port_numbers_len <= 0)
        return LIBUSB_ERROR_INVALID_PARAM;
    port_numbers[0] = dev->presented.address;
    return 1;
}

uint8_t libusb_get_device_address(libusb_device* dev) {
    Lock lock = enter();
    return knownDevice(dev, "libusb_get_device_address") ? dev->presented.address : 0;
}

int libusb_get_device_speed(libusb_device*) {
    return LIBUSB_SPEED_HIGH;
}

int libusb_get_max_packet_size(libusb_device* dev, unsigned char endpoint) {
    Lock lock = enter();
    if (!knownDevice(dev, "libusb_get_max_packet_size")) return LIBUSB_ERROR_OTHER;
    return fakeusb::maxPacketSize(*dev->presented.config, endpoint);
}

int libusb_open(libusb_device* dev, libusb_device_handle** dev_handle) {
    Lock lock = enter();
    if (!knownDevice(dev, "libusb_open") || !dev_handle) return LIBUSB_ERROR_INVALID_PARAM;
    if (int e = bus::call(dev->presented, FAKEUSB_OP_OPEN, true)) return e;
    ++dev->refs;
    auto* h = new libusb_device_handle{dev, nullptr};
    objects().handles.insert(h);
    *dev_handle = h;
    return 0;
}

void libusb_close(libusb_device_handle* dev_handle) {
    if (!dev_handle) return;
    Lock lock = enter();
    if (!knownHandle(dev_handle, "libusb_close")) return;
    bus::close(dev_handle->device->presented, dev_handle->session);
    objects().handles.erase(dev_handle);
    unrefLocked(dev_handle->device);
    delete dev_handle;
}

libusb_device* libusb_get_device(libusb_device_handle* dev_handle) {
    Lock lock = enter();
    return knownHandle(dev_handle, "libusb_get_device") ? dev_handle->device : nullptr;
}

libusb_device_handle* libusb_open_device_with_vid_pid(libusb_context* ctx, uint16_t vendor_id,
                                                      uint16_t product_id) {
    libusb_device** list = nullptr;
    if (libusb_get_device_list(ctx, &list) < 0) return nullptr;
    libusb_device_handle* h = nullptr;
    for (libusb_device** p = list; *p && !h; ++p) {
        libusb_device_descriptor desc;
        if (libusb_get_device_descriptor(*p, &desc) == 0 && desc.idVendor == vendor_id &&
            desc.idProduct == product_id && libusb_open(*p, &h) != 0)
            h = nullptr;
    }
    libusb_free_device_list(list, 1);
    return h;
}

int libusb_get_string_descriptor_ascii(libusb_device_handle* dev_handle, uint8_t desc_index,
                                       unsigned char* data, int length) {
    Lock lock = enter();
    if (!knownHandle(dev_handle, "libusb_get_string_descriptor_ascii") || !data || length <= 0)
        return LIBUSB_ERROR_INVALID_PARAM;
    const Presentation& p = dev_handle->device->presented;
    if (int e = bus::call(p, FAKEUSB_OP_STRING_DESCRIPTOR, true)) return e;
    if (desc_index == 0) return LIBUSB_ERROR_INVALID_PARAM; // the language table
    const std::optional<std::string> text = fakeusb::stringDescriptor(*p.config, desc_index);
    if (!text) return LIBUSB_ERROR_PIPE; // a device stalls a request for a string it lacks
    const size_t n = std::min(text->size(), static_cast<size_t>(length) - 1);
    for (size_t i = 0; i < n; ++i) {
        const auto ch = static_cast<unsigned char>((*text)[i]);
        data[i] = ch < 0x80 ? ch : '?';
    }
    data[n] = 0;
    return static_cast<int>(n);
}

int libusb_claim_interface(libusb_device_handle* dev_handle, int interface_number) {
    SessionPtr fresh;
    {
        Lock lock = enter();
        if (!knownHandle(dev_handle, "libusb_claim_interface")) return LIBUSB_ERROR_INVALID_PARAM;
        const bool claimed = dev_handle->session != nullptr;
        if (int e =
                bus::claim(dev_handle->device->presented, interface_number, dev_handle->session))
            return e;
        if (!claimed) fresh = dev_handle->session;
    }
    // Connecting may take a while; a release or close meanwhile ends the session.
    if (fresh) bus::connect(fresh);
    return 0;
}

int libusb_release_interface(libusb_device_handle* dev_handle, int interface_number) {
    Lock lock = enter();
    if (!knownHandle(dev_handle, "libusb_release_interface")) return LIBUSB_ERROR_INVALID_PARAM;
    return bus::release(dev_handle->device->presented, interface_number, dev_handle->session);
}

int libusb_clear_halt(libusb_device_handle* dev_handle, unsigned char endpoint) {
    Lock lock = enter();
    if (!knownHandle(dev_handle, "libusb_clear_halt")) return LIBUSB_ERROR_INVALID_PARAM;
    return bus::clearHalt(dev_handle->device->presented, endpoint);
}

int libusb_kernel_driver_active(libusb_device_handle* dev_handle, int) {
    Lock lock = enter();
    return knownHandle(dev_handle, "libusb_kernel_driver_active") ? 0 : LIBUSB_ERROR_INVALID_PARAM;
}

int libusb_detach_kernel_driver(libusb_device_handle* dev_handle, int) {
    Lock lock = enter();
    return knownHandle(dev_handle, "libusb_detach_kernel_driver") ? LIBUSB_ERROR_NOT_FOUND
                                                                  : LIBUSB_ERROR_INVALID_PARAM;
}

int libusb_attach_kernel_driver(libusb_device_handle* dev_handle, int) {
    Lock lock = enter();
    return knownHandle(dev_handle, "libusb_attach_kernel_driver") ? LIBUSB_ERROR_NOT_FOUND
                                                                  : LIBUSB_ERROR_INVALID_PARAM;
}

int libusb_set_auto_detach_kernel_driver(libusb_device_handle* dev_handle, int) {
    Lock lock = enter();
    return knownHandle(dev_handle, "libusb_set_auto_detach_kernel_driver")
               ? 0
               : LIBUSB_ERROR_INVALID_PARAM;
}

int libusb_bulk_transfer(libusb_device_handle* dev_handle, unsigned char endpoint,
                         unsigned char* data, int length, int* actual_length,
                         unsigned int timeout) {
    return transfer(dev_handle, endpoint, data, length, actual_length, timeout);
}

// The product moves its stream over bulk_transfer only; on Linux an
// interrupt endpoint takes the same synchronous call.
int libusb_interrupt_transfer(libusb_device_handle* dev_handle, unsigned char endpoint,
                              unsigned char* data, int length, int* actual_length,
                              unsigned int timeout) {
    return transfer(dev_handle, endpoint, data, length, actual_length, timeout);
}

// Present so that, preloaded, a control request never reaches the real
// library with one of our handles.
int libusb_control_transfer(libusb_device_handle*, uint8_t, uint8_t, uint16_t, uint16_t,
                            unsigned char*, uint16_t, unsigned int) {
    fakeusb::misuse("libusb_control_transfer is not simulated");
    return LIBUSB_ERROR_NOT_SUPPORTED;
}

} // extern "C"
