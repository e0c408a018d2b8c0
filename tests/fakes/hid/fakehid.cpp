// The fake hidapi: hidapi's open, read, write and close over Unix SOCK_SEQPACKET connections
// to a simulator, one message per report. Written from hidapi's public header only.
#pragma GCC visibility push(default)
#include <hidapi.h>

#include "fakehid.h"
#pragma GCC visibility pop

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <vector>

struct hid_device_ {
    int fd = -1;
};

namespace {

// How long a write waits for a simulator that has stopped reading. A real hidraw write
// gives up when its interrupt transfer times out; the fake must not hang either.
constexpr int WRITE_WAIT_MS = 1000;

struct Device {
    uint16_t vendor;
    uint16_t product;
    std::string path;
};

struct Fault {
    unsigned skip = 0;
    unsigned times = 0;
};

struct State {
    std::mutex lock;
    std::vector<Device> devices;
    bool environmentRead = false;
    std::array<Fault, FAKEHID_OPS> faults{};
    std::array<unsigned, FAKEHID_OPS> calls{};
    unsigned exits = 0;
    unsigned misuse = 0;
    std::set<hid_device*> handles;
};

State& state() {
    static State s;
    return s;
}

// Counts the call and says whether it is to fail. Lock held.
bool sCallFails(State& s, fakehid_op op) {
    ++s.calls[op];
    Fault& f = s.faults[op];
    if (f.skip > 0) {
        --f.skip;
        return false;
    }
    if (f.times == 0) return false;
    --f.times;
    return true;
}

void sReadEnvironment(State& s) {
    if (s.environmentRead) return;
    s.environmentRead = true;
    const char* text = getenv("FAKEHID_DEVICES");
    if (!text) return;
    std::string all = text;
    size_t start = 0;
    while (start < all.size()) {
        size_t end = all.find(',', start);
        if (end == std::string::npos) end = all.size();
        std::string entry = all.substr(start, end - start);
        unsigned vendor = 0, product = 0;
        int used = 0;
        if (sscanf(entry.c_str(), "%x:%x:%n", &vendor, &product, &used) == 2 && used > 0)
            s.devices.push_back({static_cast<uint16_t>(vendor), static_cast<uint16_t>(product),
                                 entry.substr(static_cast<size_t>(used))});
        start = end + 1;
    }
}

int sConnect(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) return -1;
    memcpy(address.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// The handle's socket when it is open; -1 (counted as misuse) otherwise.
int sOpenFd(hid_device* dev) {
    State& s = state();
    std::lock_guard guard(s.lock);
    if (!s.handles.count(dev)) {
        ++s.misuse;
        return -1;
    }
    return dev->fd;
}

} // namespace

extern "C" {

int hid_init(void) {
    State& s = state();
    std::lock_guard guard(s.lock);
    if (sCallFails(s, FAKEHID_INIT)) return -1;
    sReadEnvironment(s);
    return 0;
}

int hid_exit(void) {
    State& s = state();
    std::lock_guard guard(s.lock);
    ++s.exits;
    return 0;
}

hid_device* hid_open(unsigned short vendor_id, unsigned short product_id,
                     const wchar_t* /*serial_number: the simulated devices have none*/) {
    std::string path;
    {
        State& s = state();
        std::lock_guard guard(s.lock);
        sReadEnvironment(s);
        if (sCallFails(s, FAKEHID_OPEN)) return nullptr;
        auto match = std::find_if(s.devices.begin(), s.devices.end(), [&](const Device& d) {
            return d.vendor == vendor_id && d.product == product_id;
        });
        if (match == s.devices.end()) return nullptr;
        path = match->path;
    }
    int fd = sConnect(path);
    if (fd < 0) return nullptr;
    auto* dev = new hid_device_;
    dev->fd = fd;
    State& s = state();
    std::lock_guard guard(s.lock);
    s.handles.insert(dev);
    return dev;
}

void hid_close(hid_device* dev) {
    State& s = state();
    {
        std::lock_guard guard(s.lock);
        if (!s.handles.erase(dev)) {
            ++s.misuse;
            return;
        }
    }
    close(dev->fd);
    delete dev;
}

int hid_write(hid_device* dev, const unsigned char* data, size_t length) {
    int fd = sOpenFd(dev);
    if (fd < 0) return -1;
    {
        State& s = state();
        std::lock_guard guard(s.lock);
        if (!data || length == 0) {
            ++s.misuse;
            return -1;
        }
        if (sCallFails(s, FAKEHID_WRITE)) return -1;
    }
    pollfd p{fd, POLLOUT, 0};
    if (poll(&p, 1, WRITE_WAIT_MS) <= 0 || !(p.revents & POLLOUT)) return -1;
    ssize_t n = send(fd, data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
    return n < 0 ? -1 : static_cast<int>(n);
}

int hid_read_timeout(hid_device* dev, unsigned char* data, size_t length, int milliseconds) {
    int fd = sOpenFd(dev);
    if (fd < 0) return -1;
    {
        State& s = state();
        std::lock_guard guard(s.lock);
        if (!data) {
            ++s.misuse;
            return -1;
        }
        if (sCallFails(s, FAKEHID_READ)) return -1;
    }
    pollfd p{fd, POLLIN, 0};
    int ready;
    do {
        ready = poll(&p, 1, milliseconds);
    } while (ready < 0 && errno == EINTR);
    if (ready < 0) return -1;
    if (ready == 0) return 0;
    // A report longer than the buffer is cut to it, as hidraw does.
    ssize_t n = recv(fd, data, length, MSG_DONTWAIT);
    if (n == 0) return -1; // the device went away
    if (n < 0) return errno == EAGAIN ? 0 : -1;
    return static_cast<int>(n);
}

int hid_read(hid_device* dev, unsigned char* data, size_t length) {
    return hid_read_timeout(dev, data, length, -1);
}

void fakehid_add_device(uint16_t vendor_id, uint16_t product_id, const char* socket_path) {
    State& s = state();
    std::lock_guard guard(s.lock);
    s.devices.push_back({vendor_id, product_id, socket_path ? socket_path : ""});
}

void fakehid_fail(fakehid_op op, unsigned skip, unsigned times) {
    if (op >= FAKEHID_OPS) return;
    State& s = state();
    std::lock_guard guard(s.lock);
    s.faults[op] = {skip, times};
}

unsigned fakehid_call_count(fakehid_op op) {
    if (op >= FAKEHID_OPS) return 0;
    State& s = state();
    std::lock_guard guard(s.lock);
    return s.calls[op];
}

unsigned fakehid_exit_count(void) {
    State& s = state();
    std::lock_guard guard(s.lock);
    return s.exits;
}

unsigned fakehid_open_handles(void) {
    State& s = state();
    std::lock_guard guard(s.lock);
    return static_cast<unsigned>(s.handles.size());
}

unsigned fakehid_misuse_count(void) {
    State& s = state();
    std::lock_guard guard(s.lock);
    return s.misuse;
}

void fakehid_reset(void) {
    State& s = state();
    std::lock_guard guard(s.lock);
    s.devices.clear();
    s.environmentRead = true; // a reset means the test drives the fake itself
    s.faults = {};
    s.calls = {};
    s.exits = 0;
    s.misuse = 0;
}

} // extern "C"
