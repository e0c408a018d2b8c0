// The simulated bus: devices, their plug-ins, scripted faults and the byte stream a
// claimed interface carries to a module simulator's TCP port.
#include "fakeusb_bus.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <set>

using Clock = std::chrono::steady_clock;

namespace fakeusb {
namespace {

constexpr size_t kTransferLogLimit = 100000;
constexpr uint8_t kManufacturerIndex = 1, kProductIndex = 2, kSerialIndex = 3;
// A string descriptor holds at most 126 UTF-16 units (bLength is one byte).
constexpr size_t kStringDescriptorChars = 126;

struct Step {
    int error;
    int partial;
    unsigned times;
};

// The TCP connection behind a session. Shared with the transfers running on it, so
// that ending the session wakes them (shutdown) without closing a descriptor another
// thread is polling.
struct Backing {
    int fd = -1;
    explicit Backing(int f) : fd(f) {}
    ~Backing() {
        if (fd >= 0) ::close(fd);
    }
    Backing(const Backing&) = delete;
    Backing& operator=(const Backing&) = delete;
};

} // namespace

struct Session {
    std::shared_ptr<fakeusb_device> device;
    unsigned generation;
    std::shared_ptr<const DeviceConfig> config;
    std::shared_ptr<Backing> backing; // null: not connected (yet), or no simulator
    bool ended = false;
};

} // namespace fakeusb

using fakeusb::DeviceConfig;
using fakeusb::Fault;
using fakeusb::Session;

struct fakeusb_device {
    std::shared_ptr<const DeviceConfig> config;
    bool plugged = true;
    bool removed = false;
    unsigned generation = 1; // one per plug-in
    uint8_t address = 0;
    Fault faults[FAKEUSB_OP_COUNT];
    std::deque<fakeusb::Step> inScript, outScript;
    std::set<unsigned char> halted;
    Session* claim = nullptr; // the session holding the vendor interface
    unsigned calls[FAKEUSB_OP_COUNT] = {};
    std::deque<fakeusb_transfer> log;
};

namespace fakeusb {
namespace {

struct State {
    std::mutex mutex;
    std::condition_variable changed; // unplug and reset wake timed waits
    std::vector<std::shared_ptr<fakeusb_device>> devices;
    uint8_t nextAddress = 1;
};

// Never destroyed: a preloaded fake still answers its control channel while the
// program's static objects are being torn down.
State& state() {
    static State* s = new State;
    return *s;
}

std::atomic<unsigned> g_misuse{0};

using Lock = std::unique_lock<std::mutex>;
Lock locked() {
    return Lock(state().mutex);
}

uint8_t takeAddress() {
    State& s = state();
    const uint8_t a = s.nextAddress++;
    if (s.nextAddress > 127) s.nextAddress = 1;
    return a;
}

fakeusb_device* find(const fakeusb_device* device, size_t* index = nullptr) {
    auto& all = state().devices;
    for (size_t i = 0; i < all.size(); ++i)
        if (all[i].get() == device) {
            if (index) *index = i;
            return all[i].get();
        }
    return nullptr;
}

bool liveLocked(const Presentation& p) {
    const fakeusb_device& d = *p.device;
    return d.plugged && !d.removed && d.generation == p.generation;
}

int countAndFault(fakeusb_device& d, fakeusb_op op) {
    ++d.calls[op];
    return d.faults[op].take();
}

void endLocked(Session& s) {
    s.ended = true;
    if (s.backing) ::shutdown(s.backing->fd, SHUT_RDWR);
    s.backing.reset();
    if (s.device->claim == &s) s.device->claim = nullptr;
}

void unplugLocked(fakeusb_device& d) {
    if (!d.plugged) return;
    d.plugged = false;
    if (d.claim) endLocked(*d.claim);
    state().changed.notify_all();
}

libusb_endpoint_descriptor endpointDescriptor(const fakeusb_endpoint_config& e) {
    libusb_endpoint_descriptor d{};
    d.bLength = LIBUSB_DT_ENDPOINT_SIZE;
    d.bDescriptorType = LIBUSB_DT_ENDPOINT;
    d.bEndpointAddress = e.address;
    d.bmAttributes = e.attributes;
    d.wMaxPacketSize = e.max_packet_size;
    return d;
}

// Decoy interfaces carry a pair of bulk endpoints numbered down from 0x0E.
unsigned char decoyEndpoint(size_t decoy) {
    return static_cast<unsigned char>(0x0E - decoy % 8);
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

// Waits until the deadline unless the plug-in goes away first.
void sleepUntil(const Presentation& p, Clock::time_point deadline, bool forever) {
    Lock lock = locked();
    auto gone = [&] { return !liveLocked(p); };
    if (forever)
        state().changed.wait(lock, gone);
    else
        state().changed.wait_until(lock, deadline, gone);
}

// Moves bytes between the caller's buffer and the backing socket until `want` bytes
// moved (OUT), the first bytes arrived (IN, a short packet ends the transfer), or the
// deadline. Returns 0, TIMEOUT, or NO_DEVICE when the stream ended.
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

bool validOp(fakeusb_op op) {
    return static_cast<int>(op) >= 0 && static_cast<int>(op) < FAKEUSB_OP_COUNT;
}

} // namespace

int Fault::take() {
    if (error == 0 || times == 0) return 0;
    if (times > 0 && --times == 0) {
        const int e = error;
        error = 0;
        return e;
    }
    return error;
}

DeviceConfig DeviceConfig::from(const fakeusb_device_config& config) {
    DeviceConfig d;
    d.c = config;
    if (config.serial) d.serial = config.serial;
    d.host = config.backing_host ? config.backing_host : "127.0.0.1";
    d.c.serial = nullptr;
    d.c.backing_host = nullptr;
    return d;
}

void misuse(const char* format, ...) {
    ++g_misuse;
    std::va_list args;
    va_start(args, format);
    std::fputs("fakeusb: misuse: ", stderr);
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
    va_end(args);
}

unsigned misuseCount() {
    return g_misuse;
}

libusb_device_descriptor deviceDescriptor(const DeviceConfig& config) {
    const fakeusb_device_config& c = config.c;
    libusb_device_descriptor desc{};
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
    desc.iSerialNumber = config.serial ? kSerialIndex : 0;
    desc.bNumConfigurations = 1;
    return desc;
}

std::unique_ptr<ConfigDescriptor> configDescriptor(const DeviceConfig& dc) {
    const fakeusb_device_config& c = dc.c;
    auto block = std::make_unique<ConfigDescriptor>();
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
            const unsigned char ep = decoyEndpoint(i);
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
    return block;
}

std::optional<std::string> stringDescriptor(const DeviceConfig& config, uint8_t index) {
    std::optional<std::string> text;
    if (index == kManufacturerIndex)
        text = "fakeusb";
    else if (index == kProductIndex)
        text = "simulated module";
    else if (index == kSerialIndex)
        text = config.serial;
    if (text) text->resize(std::min(text->size(), kStringDescriptorChars));
    return text;
}

int maxPacketSize(const DeviceConfig& config, unsigned char endpoint) {
    const fakeusb_device_config& c = config.c;
    if (c.in.address && endpoint == c.in.address) return c.in.max_packet_size;
    if (c.out.address && endpoint == c.out.address) return c.out.max_packet_size;
    for (size_t i = 0; i < c.decoy_interfaces; ++i)
        if ((endpoint & 0x7F) == decoyEndpoint(i)) return 512;
    return LIBUSB_ERROR_NOT_FOUND;
}

namespace bus {

fakeusb_device* add(const fakeusb_device_config& config) {
    auto d = std::make_shared<fakeusb_device>();
    d->config = std::make_shared<const DeviceConfig>(DeviceConfig::from(config));
    Lock lock = locked();
    d->address = takeAddress();
    state().devices.push_back(d);
    return d.get();
}

void remove(fakeusb_device* device) {
    Lock lock = locked();
    size_t i = 0;
    if (!find(device, &i)) return;
    unplugLocked(*device);
    device->removed = true;
    state().devices.erase(state().devices.begin() + static_cast<std::ptrdiff_t>(i));
}

void unplug(fakeusb_device* device) {
    Lock lock = locked();
    if (find(device)) unplugLocked(*device);
}

void plug(fakeusb_device* device) {
    Lock lock = locked();
    if (!find(device) || device->plugged) return;
    device->plugged = true;
    ++device->generation;
    device->address = takeAddress();
    device->halted.clear();
}

void reconfigure(fakeusb_device* device, const fakeusb_device_config& config) {
    auto copy = std::make_shared<const DeviceConfig>(DeviceConfig::from(config));
    Lock lock = locked();
    if (find(device)) device->config = std::move(copy);
}

void fail(fakeusb_device* device, fakeusb_op op, Fault fault) {
    Lock lock = locked();
    if (validOp(op) && find(device)) device->faults[op] = fault;
}

void scriptTransfer(fakeusb_device* device, fakeusb_op direction, int error, int partial,
                    unsigned times) {
    Lock lock = locked();
    if (!find(device) || times == 0) return;
    if (direction == FAKEUSB_OP_BULK_IN)
        device->inScript.push_back({error, partial, times});
    else if (direction == FAKEUSB_OP_BULK_OUT)
        device->outScript.push_back({error, partial, times});
}

void stall(fakeusb_device* device, unsigned char endpoint) {
    Lock lock = locked();
    if (find(device)) device->halted.insert(endpoint);
}

size_t transfers(fakeusb_device* device, fakeusb_transfer* out, size_t capacity) {
    Lock lock = locked();
    if (!find(device)) return 0;
    const size_t n = std::min(capacity, device->log.size());
    if (out) std::copy_n(device->log.begin(), n, out);
    return device->log.size();
}

void clearTransfers(fakeusb_device* device) {
    Lock lock = locked();
    if (find(device)) device->log.clear();
}

unsigned callCount(const fakeusb_device* device, fakeusb_op op) {
    Lock lock = locked();
    if (!validOp(op)) return 0;
    const fakeusb_device* d = find(device);
    return d ? d->calls[op] : 0;
}

void reset() {
    Lock lock = locked();
    for (auto& d : state().devices) {
        unplugLocked(*d);
        d->removed = true;
    }
    state().devices.clear();
    g_misuse = 0;
    state().changed.notify_all();
}

std::vector<Presentation> plugged() {
    Lock lock = locked();
    std::vector<Presentation> found;
    for (auto& d : state().devices)
        if (d->plugged) found.push_back({d, d->generation, d->address, d->config});
    return found;
}

bool live(const Presentation& p) {
    Lock lock = locked();
    return liveLocked(p);
}

int call(const Presentation& p, fakeusb_op op, bool needsDevice) {
    Lock lock = locked();
    if (needsDevice && !liveLocked(p)) return LIBUSB_ERROR_NO_DEVICE;
    return countAndFault(*p.device, op);
}

int claim(const Presentation& p, int interfaceNumber, SessionPtr& held) {
    Lock lock = locked();
    if (!liveLocked(p)) return LIBUSB_ERROR_NO_DEVICE;
    fakeusb_device& d = *p.device;
    if (int e = countAndFault(d, FAKEUSB_OP_CLAIM)) return e;
    const fakeusb_device_config& c = p.config->c;
    const bool vendor = interfaceNumber == c.interface_number;
    const bool decoy = interfaceNumber > c.interface_number &&
                       interfaceNumber <= c.interface_number + c.decoy_interfaces;
    if (!vendor && !decoy) return LIBUSB_ERROR_NOT_FOUND;
    if (!vendor || held) return 0;         // decoys carry nothing
    if (d.claim) return LIBUSB_ERROR_BUSY; // another handle, as another program would
    held = std::make_shared<Session>(Session{p.device, p.generation, p.config, nullptr, false});
    d.claim = held.get();
    return 0;
}

void connect(const SessionPtr& session) {
    const DeviceConfig& config = *session->config;
    if (!config.c.backing_port) return;
    const int fd = connectBacking(config);
    if (fd < 0)
        std::fprintf(stderr, "fakeusb: cannot reach the simulator at %s:%u: %s\n",
                     config.host.c_str(), unsigned{config.c.backing_port}, std::strerror(errno));
    // A module that cannot be reached behaves as one that went away.
    auto backing = std::make_shared<Backing>(fd);
    Lock lock = locked();
    const Presentation p{session->device, session->generation, 0, session->config};
    if (session->ended || !liveLocked(p)) {
        if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
        return;
    }
    session->backing = std::move(backing);
}

int release(const Presentation& p, int interfaceNumber, SessionPtr& held) {
    Lock lock = locked();
    fakeusb_device& d = *p.device;
    ++d.calls[FAKEUSB_OP_RELEASE];
    if (interfaceNumber != p.config->c.interface_number || !held) return LIBUSB_ERROR_NOT_FOUND;
    endLocked(*held);
    held.reset();
    if (!liveLocked(p)) return LIBUSB_ERROR_NO_DEVICE;
    return d.faults[FAKEUSB_OP_RELEASE].take();
}

void close(const Presentation& p, SessionPtr& held) {
    Lock lock = locked();
    ++p.device->calls[FAKEUSB_OP_CLOSE];
    if (held) endLocked(*held);
    held.reset();
}

int clearHalt(const Presentation& p, unsigned char endpoint) {
    Lock lock = locked();
    if (!liveLocked(p)) return LIBUSB_ERROR_NO_DEVICE;
    fakeusb_device& d = *p.device;
    if (int e = countAndFault(d, FAKEUSB_OP_CLEAR_HALT)) return e;
    const fakeusb_device_config& c = p.config->c;
    if (endpoint == 0 || (endpoint != c.in.address && endpoint != c.out.address))
        return LIBUSB_ERROR_NOT_FOUND;
    d.halted.erase(endpoint);
    return 0;
}

int transfer(const Presentation& p, Session* session, unsigned char endpoint, unsigned char* data,
             int length, int* actual, unsigned int timeout) {
    const bool in = (endpoint & LIBUSB_ENDPOINT_IN) != 0;
    if (actual) *actual = 0;
    fakeusb_device& d = *p.device;
    std::shared_ptr<Backing> backing;
    Step step{0, 0, 1};
    fakeusb_transfer rec{endpoint, length, timeout, 0, 0};
    {
        Lock lock = locked();
        ++d.calls[in ? FAKEUSB_OP_BULK_IN : FAKEUSB_OP_BULK_OUT];
        const fakeusb_device_config& c = p.config->c;
        const unsigned char mine = in ? c.in.address : c.out.address;
        if (!liveLocked(p)) {
            rec.result = LIBUSB_ERROR_NO_DEVICE;
        } else if (!session || mine == 0 || endpoint != mine || length < 0 ||
                   (length > 0 && !data)) {
            misuse("bulk transfer on endpoint 0x%02X, length %d: not an endpoint of a claimed "
                   "interface, or a bad buffer",
                   endpoint, length);
            rec.result = LIBUSB_ERROR_INVALID_PARAM;
        } else if (d.halted.count(endpoint)) {
            rec.result = LIBUSB_ERROR_PIPE;
        } else {
            std::deque<Step>& script = in ? d.inScript : d.outScript;
            if (!script.empty()) {
                step = script.front();
                if (--script.front().times == 0) script.pop_front();
            }
            if (step.error == LIBUSB_ERROR_PIPE) {
                d.halted.insert(endpoint);
                rec.result = LIBUSB_ERROR_PIPE;
            } else if (step.error != 0 && step.error != LIBUSB_ERROR_TIMEOUT) {
                rec.result = step.error;
            } else {
                backing = session->backing;
                rec.result = 1; // to be done below, unlocked
            }
        }
        if (rec.result <= 0) {
            logTransfer(d, rec);
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
        sleepUntil(p, deadline, forever);
        result = LIBUSB_ERROR_TIMEOUT;
    } else {
        result = pump(backing.get(), in, data, length, moved, deadline, forever);
        if (!backing && in && result == LIBUSB_ERROR_TIMEOUT) sleepUntil(p, deadline, forever);
    }

    Lock lock = locked();
    // An unplug during the transfer wins over what the socket said.
    if (!liveLocked(p) && result != 0) result = LIBUSB_ERROR_NO_DEVICE;
    if (actual) *actual = moved;
    rec.result = result;
    rec.transferred = moved;
    logTransfer(d, rec);
    return result;
}

} // namespace bus
} // namespace fakeusb
