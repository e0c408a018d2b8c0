// A stand-in for libusb-1.0: the same functions, over simulated devices whose
// bulk endpoints carry a byte stream to a module simulator's TCP port.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

// Only the libusb and fakeusb entry points leave the library.
#pragma GCC visibility push(default)
#include <libusb-1.0/libusb.h>

#include "fakeusb.h"
#pragma GCC visibility pop

using Clock = std::chrono::steady_clock;

namespace {

constexpr size_t kTransferLogLimit = 100000;
constexpr uint8_t kManufacturerIndex = 1, kProductIndex = 2, kSerialIndex = 3;
// A string descriptor holds at most 126 UTF-16 units (bLength is one byte).
constexpr size_t kStringDescriptorChars = 126;

struct Fault {
    int error = 0;
    int times = 0; // < 0: until changed
};

struct Step {
    int error;
    int partial;
    unsigned times;
};

// The TCP connection behind a claimed interface. Shared with the transfers
// running on it, so a release or unplug can wake them (shutdown) without
// closing a descriptor another thread is polling.
struct Backing {
    int fd = -1;
    explicit Backing(int f) : fd(f) {}
    ~Backing() {
        if (fd >= 0) ::close(fd);
    }
    Backing(const Backing&) = delete;
    Backing& operator=(const Backing&) = delete;
};

struct DeviceConfig {
    fakeusb_device_config c{};
    std::string serial;
    bool hasSerial = false;
    std::string host;
};

} // namespace

struct fakeusb_device {
    DeviceConfig config;
    bool plugged = true;
    bool removed = false;
    unsigned generation = 1; // one per plug-in
    uint8_t address = 0;
    Fault faults[FAKEUSB_OP_COUNT];
    std::deque<Step> inScript, outScript;
    std::set<unsigned char> halted;
    libusb_device_handle* claimedBy = nullptr;
    unsigned calls[FAKEUSB_OP_COUNT] = {};
    std::deque<fakeusb_transfer> log;
};

struct libusb_context {
    bool isDefault = false;
    int defaultRefs = 0;
    // Device objects stay the same while a device stays plugged in, as libusb's do.
    std::map<std::pair<fakeusb_device*, unsigned>, libusb_device*> devices;
};

struct libusb_device {
    libusb_context* ctx;
    std::shared_ptr<fakeusb_device> dev;
    unsigned generation;
    uint8_t address;
    int refs = 1;
    libusb_device_descriptor descriptor;
    DeviceConfig config; // as presented at this plug-in
};

struct libusb_device_handle {
    libusb_device* device;
    bool claimed = false;
    std::shared_ptr<Backing> backing;
};

namespace {

std::mutex g_mutex;
std::condition_variable g_changed; // unplug and reset wake timed waits
std::vector<std::shared_ptr<fakeusb_device>> g_devices;
std::set<libusb_context*> g_contexts;
std::set<libusb_device*> g_deviceObjects;
std::set<libusb_device_handle*> g_handles;
std::set<libusb_device**> g_lists;
std::set<libusb_config_descriptor*> g_configs;
libusb_context* g_default = nullptr;
Fault g_initFault;
unsigned g_inits = 0, g_exits = 0, g_misuse = 0;
uint8_t g_nextAddress = 1;

void misuse(const char* format, ...) __attribute__((format(printf, 1, 2)));
void misuse(const char* format, ...) {
    ++g_misuse;
    std::va_list args;
    va_start(args, format);
    std::fputs("fakeusb: misuse: ", stderr);
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
    va_end(args);
}

bool validOp(fakeusb_op op) {
    return static_cast<int>(op) >= 0 && static_cast<int>(op) < FAKEUSB_OP_COUNT;
}

int takeFault(Fault& f) {
    if (f.error == 0 || f.times == 0) return 0;
    if (f.times > 0 && --f.times == 0) {
        int e = f.error;
        f.error = 0;
        return e;
    }
    return f.error;
}

int countAndFault(fakeusb_device& d, fakeusb_op op) {
    ++d.calls[op];
    return takeFault(d.faults[op]);
}

DeviceConfig copyConfig(const fakeusb_device_config& c) {
    DeviceConfig d;
    d.c = c;
    d.hasSerial = c.serial != nullptr;
    if (c.serial) d.serial = c.serial;
    d.host = c.backing_host ? c.backing_host : "127.0.0.1";
    d.c.serial = nullptr;
    d.c.backing_host = nullptr;
    return d;
}

bool live(const libusb_device* dev) {
    return dev->dev->plugged && !dev->dev->removed && dev->dev->generation == dev->generation;
}

libusb_context* resolve(libusb_context* ctx) {
    return ctx ? ctx : g_default;
}

bool knownHandle(libusb_device_handle* h, const char* what) {
    if (h && g_handles.count(h)) return true;
    misuse("%s on an unknown or closed handle %p", what, static_cast<void*>(h));
    return false;
}

bool knownDevice(libusb_device* d, const char* what) {
    if (d && g_deviceObjects.count(d)) return true;
    misuse("%s on an unknown or freed device %p", what, static_cast<void*>(d));
    return false;
}

void unrefLocked(libusb_device* d) {
    if (--d->refs > 0) return;
    if (g_contexts.count(d->ctx)) d->ctx->devices.erase({d->dev.get(), d->generation});
    g_deviceObjects.erase(d);
    delete d;
}

void dropBacking(libusb_device_handle* h) {
    if (h->backing) ::shutdown(h->backing->fd, SHUT_RDWR);
    h->backing.reset();
}

void unplugLocked(fakeusb_device& d) {
    if (!d.plugged) return;
    d.plugged = false;
    d.claimedBy = nullptr;
    for (libusb_device_handle* h : g_handles)
        if (h->device->dev.get() == &d) dropBacking(h);
    g_changed.notify_all();
}

libusb_device* deviceObjectLocked(libusb_context* ctx, const std::shared_ptr<fakeusb_device>& d) {
    auto key = std::make_pair(d.get(), d->generation);
    auto it = ctx->devices.find(key);
    if (it != ctx->devices.end()) {
        ++it->second->refs;
        return it->second;
    }
    auto* obj = new libusb_device{ctx, d, d->generation, d->address, 1, {}, d->config};
    const fakeusb_device_config& c = d->config.c;
    libusb_device_descriptor& desc = obj->descriptor;
    desc.bLength = LIBUSB_DT_DEVICE_SIZE;
    desc.bDescriptorType = LIBUSB_DT_DEVICE;
    desc.bcdUSB = 0x0200;
    desc.bDeviceClass = 0; // per interface
    desc.bMaxPacketSize0 = 64;
    desc.idVendor = c.vendor_id;
    desc.idProduct = c.product_id;
    desc.bcdDevice = c.bcd_device;
    desc.iManufacturer = kManufacturerIndex;
    desc.iProduct = kProductIndex;
    desc.iSerialNumber = d->config.hasSerial ? kSerialIndex : 0;
    desc.bNumConfigurations = 1;
    ctx->devices[key] = obj;
    g_deviceObjects.insert(obj);
    return obj;
}

// The configuration descriptor with the arrays it points into.
struct ConfigBlock {
    libusb_config_descriptor config{};
    std::vector<libusb_interface> interfaces;
    std::vector<libusb_interface_descriptor> settings;
    std::vector<std::vector<libusb_endpoint_descriptor>> endpoints;
};
std::map<libusb_config_descriptor*, std::unique_ptr<ConfigBlock>> g_configBlocks;

libusb_endpoint_descriptor endpointDescriptor(const fakeusb_endpoint_config& e) {
    libusb_endpoint_descriptor d{};
    d.bLength = LIBUSB_DT_ENDPOINT_SIZE;
    d.bDescriptorType = LIBUSB_DT_ENDPOINT;
    d.bEndpointAddress = e.address;
    d.bmAttributes = e.attributes;
    d.wMaxPacketSize = e.max_packet_size;
    return d;
}

libusb_config_descriptor* buildConfig(const DeviceConfig& dc) {
    const fakeusb_device_config& c = dc.c;
    auto block = std::make_unique<ConfigBlock>();
    const size_t count = size_t{c.decoy_interfaces} + 1;
    block->settings.resize(count);
    block->endpoints.resize(count);
    block->interfaces.resize(count);
    for (size_t i = 0; i < count; ++i) {
        const bool vendor = i + 1 == count;
        libusb_interface_descriptor& s = block->settings[i];
        std::vector<libusb_endpoint_descriptor>& eps = block->endpoints[i];
        s.bLength = LIBUSB_DT_INTERFACE_SIZE;
        s.bDescriptorType = LIBUSB_DT_INTERFACE;
        if (vendor) {
            s.bInterfaceNumber = c.interface_number;
            s.bInterfaceClass = c.interface_class;
            s.bInterfaceSubClass = c.interface_subclass;
            s.bInterfaceProtocol = c.interface_protocol;
            if (c.in.address) eps.push_back(endpointDescriptor(c.in));
            if (c.out.address) eps.push_back(endpointDescriptor(c.out));
        } else {
            s.bInterfaceNumber = static_cast<uint8_t>(c.interface_number + 1 + i);
            s.bInterfaceClass = LIBUSB_CLASS_DATA;
            const auto ep = static_cast<unsigned char>(0x0E - i % 8);
            eps.push_back(endpointDescriptor(
                {static_cast<unsigned char>(0x80 | ep), LIBUSB_TRANSFER_TYPE_BULK, 512}));
            eps.push_back(endpointDescriptor({ep, LIBUSB_TRANSFER_TYPE_BULK, 512}));
        }
        s.bNumEndpoints = static_cast<uint8_t>(eps.size());
        s.endpoint = eps.empty() ? nullptr : eps.data();
        block->interfaces[i].altsetting = &s;
        block->interfaces[i].num_altsetting = 1;
    }
    libusb_config_descriptor& cfg = block->config;
    cfg.bLength = LIBUSB_DT_CONFIG_SIZE;
    cfg.bDescriptorType = LIBUSB_DT_CONFIG;
    cfg.bNumInterfaces = static_cast<uint8_t>(count);
    cfg.bConfigurationValue = 1;
    cfg.bmAttributes = 0x80;
    cfg.MaxPower = 50;
    cfg.interface = block->interfaces.data();
    libusb_config_descriptor* result = &block->config;
    g_configBlocks[result] = std::move(block);
    g_configs.insert(result);
    return result;
}

void logTransfer(fakeusb_device& d, const fakeusb_transfer& t) {
    d.log.push_back(t);
    if (d.log.size() > kTransferLogLimit) d.log.pop_front();
}

int connectBacking(const DeviceConfig& dc) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(dc.c.backing_port);
    if (::inet_pton(AF_INET, dc.host.c_str(), &addr.sin_addr) != 1 ||
        ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) {
        ::close(fd);
        return -1;
    }
    int one = 1;
    // Each OUT transfer is to reach the simulator as sent.
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

int remainingMs(Clock::time_point deadline, bool forever) {
    if (forever) return -1;
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::max<decltype(left)>(left, 0));
}

// Waits until the deadline unless the device goes away first.
void sleepUntil(libusb_device* dev, Clock::time_point deadline, bool forever) {
    std::unique_lock lock(g_mutex);
    auto gone = [&] { return !live(dev); };
    if (forever)
        g_changed.wait(lock, gone);
    else
        g_changed.wait_until(lock, deadline, gone);
}

// Moves bytes between the caller's buffer and the backing socket until `want`
// bytes moved (OUT), the first bytes arrived (IN, a short packet ends the
// transfer), or the deadline. Returns 0, TIMEOUT, or NO_DEVICE when the
// stream ended.
int pump(Backing* b, bool in, unsigned char* data, int want, int& moved, Clock::time_point deadline,
         bool forever) {
    moved = 0;
    if (want <= 0) return 0;
    if (b && b->fd < 0) return LIBUSB_ERROR_NO_DEVICE; // the simulator was not reachable
    if (!b) { // no simulator: OUT bytes vanish, IN never has any
        if (!in) {
            moved = want;
            return 0;
        }
        return LIBUSB_ERROR_TIMEOUT;
    }
    while (moved < want) {
        pollfd p{b->fd, static_cast<short>(in ? POLLIN : POLLOUT), 0};
        int r = ::poll(&p, 1, remainingMs(deadline, forever));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return LIBUSB_ERROR_IO;
        if (r == 0) return LIBUSB_ERROR_TIMEOUT;
        const size_t room = static_cast<size_t>(want - moved);
        ssize_t n = in ? ::recv(b->fd, data + moved, room, MSG_DONTWAIT)
                       : ::send(b->fd, data + moved, room, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            moved += static_cast<int>(n);
            if (in) return 0;
        } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            return LIBUSB_ERROR_NO_DEVICE;
        }
    }
    return 0;
}

int transfer(libusb_device_handle* h, unsigned char endpoint, unsigned char* data, int length,
             int* actual, unsigned int timeout) {
    const bool in = (endpoint & LIBUSB_ENDPOINT_IN) != 0;
    if (actual) *actual = 0;
    std::shared_ptr<Backing> backing;
    std::shared_ptr<fakeusb_device> d;
    libusb_device* dev;
    Step step{0, 0, 1};
    fakeusb_transfer rec{endpoint, length, timeout, 0, 0};
    {
        std::lock_guard lock(g_mutex);
        if (!knownHandle(h, "bulk transfer")) return LIBUSB_ERROR_INVALID_PARAM;
        dev = h->device;
        d = dev->dev;
        ++d->calls[in ? FAKEUSB_OP_BULK_IN : FAKEUSB_OP_BULK_OUT];
        const fakeusb_device_config& c = dev->config.c;
        const unsigned char mine = in ? c.in.address : c.out.address;
        if (!live(dev)) {
            rec.result = LIBUSB_ERROR_NO_DEVICE;
        } else if (!h->claimed || mine == 0 || endpoint != mine || length < 0 ||
                   (length > 0 && !data)) {
            misuse("bulk transfer on endpoint 0x%02X, length %d: not an endpoint of a claimed "
                   "interface, or a bad buffer",
                   endpoint, length);
            rec.result = LIBUSB_ERROR_INVALID_PARAM;
        } else if (d->halted.count(endpoint)) {
            rec.result = LIBUSB_ERROR_PIPE;
        } else {
            std::deque<Step>& script = in ? d->inScript : d->outScript;
            if (!script.empty()) {
                step = script.front();
                if (--script.front().times == 0) script.pop_front();
            }
            if (step.error == LIBUSB_ERROR_PIPE) {
                d->halted.insert(endpoint);
                rec.result = LIBUSB_ERROR_PIPE;
            } else if (step.error != 0 && step.error != LIBUSB_ERROR_TIMEOUT) {
                rec.result = step.error;
            } else {
                backing = h->backing;
                ++dev->refs;    // a close on another thread must not free it under us
                rec.result = 1; // to be done below, unlocked
            }
        }
        if (rec.result <= 0) {
            logTransfer(*d, rec);
            return rec.result;
        }
    }

    const bool forever = timeout == 0;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout);
    int moved = 0;
    int result;
    if (step.error == LIBUSB_ERROR_TIMEOUT) {
        const int part = std::clamp(step.partial, 0, length);
        int r = pump(backing.get(), in, data, part, moved, deadline, forever);
        // IN: a short read is not the end here; keep collecting the partial count.
        while (in && r == 0 && moved < part) {
            int more = 0;
            r = pump(backing.get(), in, data + moved, part - moved, more, deadline, forever);
            moved += more;
        }
        sleepUntil(dev, deadline, forever);
        result = LIBUSB_ERROR_TIMEOUT;
    } else {
        result = pump(backing.get(), in, data, length, moved, deadline, forever);
        if (!backing && in && result == LIBUSB_ERROR_TIMEOUT) sleepUntil(dev, deadline, forever);
    }

    std::lock_guard lock(g_mutex);
    // An unplug during the transfer wins over what the socket said.
    if (!live(dev) && result != 0) result = LIBUSB_ERROR_NO_DEVICE;
    if (actual) *actual = moved;
    rec.result = result;
    rec.transferred = moved;
    logTransfer(*d, rec);
    unrefLocked(dev);
    return result;
}

} // namespace

// ---- control API ----------------------------------------------------------

extern "C" {

void fakeusb_config_init(fakeusb_device_config* config, uint16_t vendor_id, uint16_t product_id,
                         const char* serial) {
    *config = {};
    config->vendor_id = vendor_id;
    config->product_id = product_id;
    config->bcd_device = 0x0100;
    config->serial = serial;
    config->interface_class = 0xFF;
    config->interface_subclass = 0x88;
    config->interface_protocol = 0x10;
    config->in = {0x81, LIBUSB_TRANSFER_TYPE_BULK, 64};
    config->out = {0x01, LIBUSB_TRANSFER_TYPE_BULK, 64};
}

fakeusb_device* fakeusb_add_device(const fakeusb_device_config* config) {
    auto d = std::make_shared<fakeusb_device>();
    d->config = copyConfig(*config);
    std::lock_guard lock(g_mutex);
    d->address = g_nextAddress++;
    if (g_nextAddress > 127) g_nextAddress = 1;
    g_devices.push_back(d);
    return d.get();
}

static std::shared_ptr<fakeusb_device>* findDevice(fakeusb_device* device) {
    for (auto& d : g_devices)
        if (d.get() == device) return &d;
    return nullptr;
}

void fakeusb_remove_device(fakeusb_device* device) {
    std::lock_guard lock(g_mutex);
    auto* p = findDevice(device);
    if (!p) return;
    unplugLocked(**p);
    (*p)->removed = true;
    g_devices.erase(g_devices.begin() + (p - g_devices.data()));
}

void fakeusb_unplug(fakeusb_device* device) {
    std::lock_guard lock(g_mutex);
    if (findDevice(device)) unplugLocked(*device);
}

void fakeusb_plug(fakeusb_device* device) {
    std::lock_guard lock(g_mutex);
    if (!findDevice(device) || device->plugged) return;
    device->plugged = true;
    ++device->generation;
    device->address = g_nextAddress++;
    if (g_nextAddress > 127) g_nextAddress = 1;
    device->halted.clear();
}

void fakeusb_reconfigure(fakeusb_device* device, const fakeusb_device_config* config) {
    DeviceConfig copy = copyConfig(*config);
    std::lock_guard lock(g_mutex);
    if (findDevice(device)) device->config = std::move(copy);
}

void fakeusb_fail(fakeusb_device* device, fakeusb_op op, int error, int times) {
    std::lock_guard lock(g_mutex);
    if (!validOp(op)) return;
    Fault f{error, error ? times : 0};
    if (op == FAKEUSB_OP_INIT) {
        g_initFault = f;
    } else if (findDevice(device)) {
        device->faults[op] = f;
    }
}

void fakeusb_script_transfer(fakeusb_device* device, fakeusb_op direction, int error, int partial,
                             unsigned times) {
    std::lock_guard lock(g_mutex);
    if (!findDevice(device) || times == 0) return;
    if (direction == FAKEUSB_OP_BULK_IN)
        device->inScript.push_back({error, partial, times});
    else if (direction == FAKEUSB_OP_BULK_OUT)
        device->outScript.push_back({error, partial, times});
}

void fakeusb_stall(fakeusb_device* device, unsigned char endpoint) {
    std::lock_guard lock(g_mutex);
    if (findDevice(device)) device->halted.insert(endpoint);
}

size_t fakeusb_transfers(fakeusb_device* device, fakeusb_transfer* out, size_t capacity) {
    std::lock_guard lock(g_mutex);
    if (!findDevice(device)) return 0;
    const size_t n = std::min(capacity, device->log.size());
    if (out) std::copy_n(device->log.begin(), n, out);
    return device->log.size();
}

void fakeusb_clear_transfers(fakeusb_device* device) {
    std::lock_guard lock(g_mutex);
    if (findDevice(device)) device->log.clear();
}

unsigned fakeusb_call_count(const fakeusb_device* device, fakeusb_op op) {
    std::lock_guard lock(g_mutex);
    if (!validOp(op)) return 0;
    if (op == FAKEUSB_OP_INIT) return g_inits;
    return findDevice(const_cast<fakeusb_device*>(device)) ? device->calls[op] : 0;
}

#define FAKEUSB_COUNTER(name, expr)                                                                \
    unsigned name(void) {                                                                          \
        std::lock_guard lock(g_mutex);                                                             \
        return static_cast<unsigned>(expr);                                                        \
    }
FAKEUSB_COUNTER(fakeusb_init_count, g_inits)
FAKEUSB_COUNTER(fakeusb_exit_count, g_exits)
FAKEUSB_COUNTER(fakeusb_live_contexts, g_contexts.size())
FAKEUSB_COUNTER(fakeusb_open_handles, g_handles.size())
FAKEUSB_COUNTER(fakeusb_live_device_lists, g_lists.size())
FAKEUSB_COUNTER(fakeusb_live_config_descriptors, g_configs.size())
FAKEUSB_COUNTER(fakeusb_misuse_count, g_misuse)
#undef FAKEUSB_COUNTER

void fakeusb_reset(void) {
    std::lock_guard lock(g_mutex);
    for (auto& d : g_devices) {
        unplugLocked(*d);
        d->removed = true;
    }
    g_devices.clear();
    g_initFault = {};
    g_inits = g_exits = g_misuse = 0;
    g_changed.notify_all();
}

// ---- libusb ---------------------------------------------------------------

int libusb_init(libusb_context** ctx) {
    std::lock_guard lock(g_mutex);
    ++g_inits;
    if (int e = takeFault(g_initFault)) return e;
    if (!ctx) {
        if (!g_default) {
            g_default = new libusb_context;
            g_default->isDefault = true;
            g_contexts.insert(g_default);
        }
        ++g_default->defaultRefs;
        return 0;
    }
    auto* c = new libusb_context;
    g_contexts.insert(c);
    *ctx = c;
    return 0;
}

void libusb_exit(libusb_context* ctx) {
    std::lock_guard lock(g_mutex);
    ++g_exits;
    libusb_context* c = resolve(ctx);
    if (!c || !g_contexts.count(c)) {
        misuse("libusb_exit of an unknown context %p", static_cast<void*>(ctx));
        return;
    }
    if (c->isDefault && --c->defaultRefs > 0) return;
    for (libusb_device_handle* h : g_handles)
        if (h->device->ctx == c) {
            misuse("libusb_exit with a device handle still open");
            break;
        }
    // Device objects still referenced outlive the context, detached from it.
    for (auto& [key, obj] : c->devices)
        obj->ctx = nullptr;
    g_contexts.erase(c);
    if (c == g_default) g_default = nullptr;
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
    std::lock_guard lock(g_mutex);
    libusb_context* c = resolve(ctx);
    if (!c || !g_contexts.count(c)) {
        misuse("libusb_get_device_list without a live context");
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    if (!list) return LIBUSB_ERROR_INVALID_PARAM;
    std::vector<libusb_device*> found;
    for (auto& d : g_devices)
        if (d->plugged) found.push_back(deviceObjectLocked(c, d));
    auto** out = new libusb_device*[found.size() + 1];
    std::copy(found.begin(), found.end(), out);
    out[found.size()] = nullptr;
    g_lists.insert(out);
    *list = out;
    return static_cast<ssize_t>(found.size());
}

void libusb_free_device_list(libusb_device** list, int unref_devices) {
    if (!list) return;
    std::lock_guard lock(g_mutex);
    if (!g_lists.erase(list)) {
        misuse("libusb_free_device_list of an unknown list");
        return;
    }
    if (unref_devices)
        for (libusb_device** p = list; *p; ++p)
            unrefLocked(*p);
    delete[] list;
}

libusb_device* libusb_ref_device(libusb_device* dev) {
    std::lock_guard lock(g_mutex);
    if (knownDevice(dev, "libusb_ref_device")) ++dev->refs;
    return dev;
}

void libusb_unref_device(libusb_device* dev) {
    if (!dev) return;
    std::lock_guard lock(g_mutex);
    if (knownDevice(dev, "libusb_unref_device")) unrefLocked(dev);
}

int libusb_get_device_descriptor(libusb_device* dev, struct libusb_device_descriptor* desc) {
    std::lock_guard lock(g_mutex);
    if (!knownDevice(dev, "libusb_get_device_descriptor") || !desc)
        return LIBUSB_ERROR_INVALID_PARAM;
    if (int e = countAndFault(*dev->dev, FAKEUSB_OP_DEVICE_DESCRIPTOR)) return e;
    *desc = dev->descriptor;
    return 0;
}

int libusb_get_config_descriptor(libusb_device* dev, uint8_t config_index,
                                 struct libusb_config_descriptor** config) {
    std::lock_guard lock(g_mutex);
    if (!knownDevice(dev, "libusb_get_config_descriptor") || !config)
        return LIBUSB_ERROR_INVALID_PARAM;
    if (int e = countAndFault(*dev->dev, FAKEUSB_OP_CONFIG_DESCRIPTOR)) return e;
    if (config_index >= dev->descriptor.bNumConfigurations) return LIBUSB_ERROR_NOT_FOUND;
    *config = buildConfig(dev->config);
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
    std::lock_guard lock(g_mutex);
    if (!g_configs.erase(config)) {
        misuse("libusb_free_config_descriptor of an unknown descriptor");
        return;
    }
    g_configBlocks.erase(config);
}

uint8_t libusb_get_bus_number(libusb_device* dev) {
    std::lock_guard lock(g_mutex);
    return knownDevice(dev, "libusb_get_bus_number") ? 1 : 0;
}

uint8_t libusb_get_port_number(libusb_device* dev) {
    std::lock_guard lock(g_mutex);
    return knownDevice(dev, "libusb_get_port_number") ? dev->address : 0;
}

int libusb_get_port_numbers(libusb_device* dev, uint8_t* port_numbers, int port_numbers_len) {
    std::lock_guard lock(g_mutex);
    if (!knownDevice(dev, "libusb_get_port_numbers") || port_numbers_len <= 0)
        return LIBUSB_ERROR_INVALID_PARAM;
    port_numbers[0] = dev->address;
    return 1;
}

uint8_t libusb_get_device_address(libusb_device* dev) {
    std::lock_guard lock(g_mutex);
    return knownDevice(dev, "libusb_get_device_address") ? dev->address : 0;
}

int libusb_get_device_speed(libusb_device*) {
    return LIBUSB_SPEED_HIGH;
}

int libusb_get_max_packet_size(libusb_device* dev, unsigned char endpoint) {
    std::lock_guard lock(g_mutex);
    if (!knownDevice(dev, "libusb_get_max_packet_size")) return LIBUSB_ERROR_OTHER;
    const fakeusb_device_config& c = dev->config.c;
    if (c.in.address && endpoint == c.in.address) return c.in.max_packet_size;
    if (c.out.address && endpoint == c.out.address) return c.out.max_packet_size;
    for (unsigned i = 0; i < c.decoy_interfaces; ++i) {
        const auto ep = static_cast<unsigned char>(0x0E - i % 8);
        if ((endpoint & 0x7F) == ep) return 512;
    }
    return LIBUSB_ERROR_NOT_FOUND;
}

int libusb_open(libusb_device* dev, libusb_device_handle** dev_handle) {
    std::lock_guard lock(g_mutex);
    if (!knownDevice(dev, "libusb_open") || !dev_handle) return LIBUSB_ERROR_INVALID_PARAM;
    if (!live(dev)) return LIBUSB_ERROR_NO_DEVICE;
    if (int e = countAndFault(*dev->dev, FAKEUSB_OP_OPEN)) return e;
    ++dev->refs;
    auto* h = new libusb_device_handle{dev};
    g_handles.insert(h);
    *dev_handle = h;
    return 0;
}

void libusb_close(libusb_device_handle* dev_handle) {
    if (!dev_handle) return;
    std::lock_guard lock(g_mutex);
    if (!knownHandle(dev_handle, "libusb_close")) return;
    fakeusb_device& d = *dev_handle->device->dev;
    ++d.calls[FAKEUSB_OP_CLOSE];
    if (d.claimedBy == dev_handle) d.claimedBy = nullptr;
    dropBacking(dev_handle);
    g_handles.erase(dev_handle);
    unrefLocked(dev_handle->device);
    delete dev_handle;
}

libusb_device* libusb_get_device(libusb_device_handle* dev_handle) {
    std::lock_guard lock(g_mutex);
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
    std::lock_guard lock(g_mutex);
    if (!knownHandle(dev_handle, "libusb_get_string_descriptor_ascii") || !data || length <= 0)
        return LIBUSB_ERROR_INVALID_PARAM;
    libusb_device* dev = dev_handle->device;
    if (!live(dev)) return LIBUSB_ERROR_NO_DEVICE;
    if (int e = countAndFault(*dev->dev, FAKEUSB_OP_STRING_DESCRIPTOR)) return e;
    if (desc_index == 0) return LIBUSB_ERROR_INVALID_PARAM;
    std::string text;
    if (desc_index == kManufacturerIndex)
        text = "fakeusb";
    else if (desc_index == kProductIndex)
        text = "simulated module";
    else if (desc_index == kSerialIndex && dev->config.hasSerial)
        text = dev->config.serial;
    else
        return LIBUSB_ERROR_PIPE; // a device stalls a request for a string it lacks
    text.resize(std::min(text.size(), kStringDescriptorChars));
    const size_t n = std::min(text.size(), static_cast<size_t>(length) - 1);
    for (size_t i = 0; i < n; ++i) {
        const auto ch = static_cast<unsigned char>(text[i]);
        data[i] = ch < 0x80 ? ch : '?';
    }
    data[n] = 0;
    return static_cast<int>(n);
}

int libusb_claim_interface(libusb_device_handle* dev_handle, int interface_number) {
    std::unique_lock lock(g_mutex);
    if (!knownHandle(dev_handle, "libusb_claim_interface")) return LIBUSB_ERROR_INVALID_PARAM;
    libusb_device* dev = dev_handle->device;
    if (!live(dev)) return LIBUSB_ERROR_NO_DEVICE;
    fakeusb_device& d = *dev->dev;
    if (int e = countAndFault(d, FAKEUSB_OP_CLAIM)) return e;
    const fakeusb_device_config& c = dev->config.c;
    const bool vendor = interface_number == c.interface_number;
    const bool decoy = interface_number > c.interface_number &&
                       interface_number <= c.interface_number + c.decoy_interfaces;
    if (!vendor && !decoy) return LIBUSB_ERROR_NOT_FOUND;
    if (!vendor) return 0; // decoys carry nothing
    if (dev_handle->claimed) return 0;
    if (d.claimedBy) return LIBUSB_ERROR_BUSY; // another handle, as another program would
    d.claimedBy = dev_handle;
    dev_handle->claimed = true;
    const DeviceConfig config = dev->config;
    lock.unlock();
    int fd = config.c.backing_port ? connectBacking(config) : -1;
    if (config.c.backing_port && fd < 0)
        std::fprintf(stderr, "fakeusb: cannot reach the simulator at %s:%u: %s\n",
                     config.host.c_str(), unsigned{config.c.backing_port}, std::strerror(errno));
    lock.lock();
    if (fd >= 0) {
        auto b = std::make_shared<Backing>(fd);
        // Unplugged or released meanwhile: the connection ends at once.
        if (!g_handles.count(dev_handle) || !dev_handle->claimed || !live(dev))
            ::shutdown(fd, SHUT_RDWR);
        else
            dev_handle->backing = b;
    } else if (config.c.backing_port) {
        // A module that cannot be reached behaves as one that went away.
        dev_handle->backing = std::make_shared<Backing>(-1);
    }
    return 0;
}

int libusb_release_interface(libusb_device_handle* dev_handle, int interface_number) {
    std::lock_guard lock(g_mutex);
    if (!knownHandle(dev_handle, "libusb_release_interface")) return LIBUSB_ERROR_INVALID_PARAM;
    libusb_device* dev = dev_handle->device;
    fakeusb_device& d = *dev->dev;
    ++d.calls[FAKEUSB_OP_RELEASE];
    if (interface_number != dev->config.c.interface_number || !dev_handle->claimed)
        return LIBUSB_ERROR_NOT_FOUND;
    dev_handle->claimed = false;
    if (d.claimedBy == dev_handle) d.claimedBy = nullptr;
    dropBacking(dev_handle);
    if (!live(dev)) return LIBUSB_ERROR_NO_DEVICE;
    return takeFault(d.faults[FAKEUSB_OP_RELEASE]);
}

int libusb_clear_halt(libusb_device_handle* dev_handle, unsigned char endpoint) {
    std::lock_guard lock(g_mutex);
    if (!knownHandle(dev_handle, "libusb_clear_halt")) return LIBUSB_ERROR_INVALID_PARAM;
    libusb_device* dev = dev_handle->device;
    if (!live(dev)) return LIBUSB_ERROR_NO_DEVICE;
    fakeusb_device& d = *dev->dev;
    if (int e = countAndFault(d, FAKEUSB_OP_CLEAR_HALT)) return e;
    const fakeusb_device_config& c = dev->config.c;
    if (endpoint == 0 || (endpoint != c.in.address && endpoint != c.out.address))
        return LIBUSB_ERROR_NOT_FOUND;
    d.halted.erase(endpoint);
    return 0;
}

int libusb_kernel_driver_active(libusb_device_handle* dev_handle, int) {
    std::lock_guard lock(g_mutex);
    return knownHandle(dev_handle, "libusb_kernel_driver_active") ? 0 : LIBUSB_ERROR_INVALID_PARAM;
}

int libusb_detach_kernel_driver(libusb_device_handle* dev_handle, int) {
    std::lock_guard lock(g_mutex);
    return knownHandle(dev_handle, "libusb_detach_kernel_driver") ? LIBUSB_ERROR_NOT_FOUND
                                                                  : LIBUSB_ERROR_INVALID_PARAM;
}

int libusb_attach_kernel_driver(libusb_device_handle* dev_handle, int) {
    std::lock_guard lock(g_mutex);
    return knownHandle(dev_handle, "libusb_attach_kernel_driver") ? LIBUSB_ERROR_NOT_FOUND
                                                                  : LIBUSB_ERROR_INVALID_PARAM;
}

int libusb_set_auto_detach_kernel_driver(libusb_device_handle* dev_handle, int) {
    std::lock_guard lock(g_mutex);
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
    std::lock_guard lock(g_mutex);
    misuse("libusb_control_transfer is not simulated");
    return LIBUSB_ERROR_NOT_SUPPORTED;
}

} // extern "C"
