// Encoding and plumbing of the control directory's protocol (see fakeusb_wire.h).
#include "fakeusb_wire.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <libusb-1.0/libusb.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <sstream>

namespace fakeusb::wire {
namespace {

constexpr const char* kOpNames[FAKEUSB_OP_COUNT] = {
    "init",  "open",    "close",      "device-descriptor", "config-descriptor", "string-descriptor",
    "claim", "release", "clear-halt", "bulk-in",           "bulk-out",
};

std::string hex(std::string_view text) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (char c : text) {
        const auto ch = static_cast<unsigned char>(c);
        out += digits[ch >> 4];
        out += digits[ch & 0xF];
    }
    return out;
}

std::optional<std::string> unhex(std::string_view text) {
    if (text.size() % 2) return std::nullopt;
    std::string out;
    for (size_t i = 0; i < text.size(); i += 2) {
        unsigned value = 0;
        auto [end, ec] = std::from_chars(text.data() + i, text.data() + i + 2, value, 16);
        if (ec != std::errc() || end != text.data() + i + 2) return std::nullopt;
        out += static_cast<char>(value);
    }
    return out;
}

template <typename T> bool fits(std::string_view word, T& out) {
    const std::optional<long> v = integer(word);
    if (!v || *v < 0 || static_cast<unsigned long>(*v) > static_cast<unsigned long>(T(~T{0})))
        return false;
    out = static_cast<T>(*v);
    return true;
}

// The configuration's numeric fields, in the order they are written.
using Config = fakeusb_device_config;
struct Field {
    const char* key;
    std::string (*encode)(const Config&);
    bool (*decode)(std::string_view, Config&);
};

template <auto Member> Field number(const char* key) {
    return {key, [](const Config& c) { return std::to_string(c.*Member); },
            [](std::string_view v, Config& c) { return fits(v, c.*Member); }};
}

// ADDRESS,ATTRIBUTES,MAX_PACKET_SIZE
template <auto Member> Field endpoint(const char* key) {
    return {key,
            [](const Config& c) {
                const fakeusb_endpoint_config& e = c.*Member;
                return std::to_string(e.address) + "," + std::to_string(e.attributes) + "," +
                       std::to_string(e.max_packet_size);
            },
            [](std::string_view v, Config& c) {
                fakeusb_endpoint_config& e = c.*Member;
                const size_t a = v.find(','), b = v.rfind(',');
                return a != b && a != std::string_view::npos && fits(v.substr(0, a), e.address) &&
                       fits(v.substr(a + 1, b - a - 1), e.attributes) &&
                       fits(v.substr(b + 1), e.max_packet_size);
            }};
}

const Field kFields[] = {
    number<&Config::vendor_id>("vid"),
    number<&Config::product_id>("pid"),
    number<&Config::bcd_device>("bcd"),
    number<&Config::interface_number>("interface"),
    number<&Config::interface_class>("class"),
    number<&Config::interface_subclass>("subclass"),
    number<&Config::interface_protocol>("protocol"),
    endpoint<&Config::in>("in"),
    endpoint<&Config::out>("out"),
    number<&Config::decoy_interfaces>("decoys"),
    number<&Config::backing_port>("port"),
};

int remainingMs(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

bool await(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        pollfd p{fd, events, 0};
        const int r = ::poll(&p, 1, remainingMs(deadline));
        if (r > 0) return true;
        if (r == 0 || errno != EINTR) return false;
    }
}

} // namespace

std::vector<std::string> words(std::string_view line) {
    std::vector<std::string> out;
    std::istringstream in{std::string(line)};
    for (std::string w; in >> w;)
        out.push_back(w);
    return out;
}

std::optional<long> integer(std::string_view word) {
    const bool negative = !word.empty() && word[0] == '-';
    if (negative) word.remove_prefix(1);
    int base = 10;
    if (word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X')) {
        base = 16;
        word.remove_prefix(2);
    }
    long value = 0;
    auto [end, ec] = std::from_chars(word.data(), word.data() + word.size(), value, base);
    if (word.empty() || ec != std::errc() || end != word.data() + word.size()) return std::nullopt;
    return negative ? -value : value;
}

const char* opName(fakeusb_op op) {
    const int i = static_cast<int>(op);
    return i >= 0 && i < FAKEUSB_OP_COUNT ? kOpNames[i] : "?";
}

std::optional<fakeusb_op> opByName(std::string_view name) {
    for (int i = 0; i < FAKEUSB_OP_COUNT; ++i)
        if (name == kOpNames[i]) return static_cast<fakeusb_op>(i);
    return std::nullopt;
}

fakeusb_device_config defaultConfig(uint16_t vendorId, uint16_t productId, const char* serial) {
    fakeusb_device_config c{};
    c.vendor_id = vendorId;
    c.product_id = productId;
    c.bcd_device = 0x0100;
    c.serial = serial;
    c.interface_class = 0xFF;
    c.interface_subclass = 0x88;
    c.interface_protocol = 0x10;
    c.in = {0x81, LIBUSB_TRANSFER_TYPE_BULK, 64};
    c.out = {0x01, LIBUSB_TRANSFER_TYPE_BULK, 64};
    return c;
}

std::string encodeConfig(const fakeusb_device_config& c) {
    std::string out;
    for (const Field& f : kFields)
        out += std::string(out.empty() ? "" : " ") + f.key + "=" + f.encode(c);
    // Absent: no serial string, and the default host.
    if (c.serial) out += " serial=" + hex(c.serial);
    if (c.backing_host) out += " host=" + hex(c.backing_host);
    return out;
}

bool decodeConfig(const std::vector<std::string>& words, size_t first, DecodedConfig& out) {
    fakeusb_device_config& c = out.config;
    c = {};
    out.serial.reset();
    out.host.reset();
    for (size_t i = first; i < words.size(); ++i) {
        const std::string_view w = words[i];
        const size_t eq = w.find('=');
        if (eq == std::string_view::npos) return false;
        const std::string_view key = w.substr(0, eq), value = w.substr(eq + 1);
        bool ok = false;
        if (key == "serial")
            ok = (out.serial = unhex(value)).has_value();
        else if (key == "host")
            ok = (out.host = unhex(value)).has_value();
        for (const Field& f : kFields)
            if (key == f.key) ok = f.decode(value, c);
        if (!ok) return false;
    }
    c.serial = out.serial ? out.serial->c_str() : nullptr;
    c.backing_host = out.host ? out.host->c_str() : nullptr;
    return true;
}

unsigned Snapshot::calls(int device, fakeusb_op op) const {
    auto it = devices.find(device);
    const int i = static_cast<int>(op);
    return it != devices.end() && i >= 0 && i < FAKEUSB_OP_COUNT ? it->second.calls[i] : 0;
}

std::vector<fakeusb_transfer> Snapshot::transfers(int device) const {
    auto it = devices.find(device);
    return it != devices.end() ? it->second.transfers : std::vector<fakeusb_transfer>{};
}

// counts INITS EXITS CONTEXTS HANDLES LISTS CONFIGS MISUSE
// device ID CALLS... (one per operation, in fakeusb_op order)
// transfer ID ENDPOINT LENGTH TIMEOUT RESULT TRANSFERRED
std::string encodeSnapshot(const Snapshot& s) {
    std::ostringstream out;
    out << "counts " << s.inits << ' ' << s.exits << ' ' << s.liveContexts << ' ' << s.openHandles
        << ' ' << s.liveDeviceLists << ' ' << s.liveConfigDescriptors << ' ' << s.misuse << '\n';
    for (const auto& [id, d] : s.devices) {
        out << "device " << id;
        for (unsigned n : d.calls)
            out << ' ' << n;
        out << '\n';
        for (const fakeusb_transfer& t : d.transfers)
            out << "transfer " << id << ' ' << unsigned{t.endpoint} << ' ' << t.length << ' '
                << t.timeout << ' ' << t.result << ' ' << t.transferred << '\n';
    }
    return out.str();
}

bool decodeSnapshot(std::string_view text, Snapshot& out) {
    out = {};
    std::istringstream in{std::string(text)};
    bool counted = false;
    for (std::string line; std::getline(in, line);) {
        std::istringstream l(line);
        std::string kind;
        l >> kind;
        if (kind == "counts") {
            counted = static_cast<bool>(l >> out.inits >> out.exits >> out.liveContexts >>
                                        out.openHandles >> out.liveDeviceLists >>
                                        out.liveConfigDescriptors >> out.misuse);
        } else if (kind == "device") {
            int id = 0;
            Snapshot::Device d;
            l >> id;
            for (unsigned& n : d.calls)
                l >> n;
            if (!l) return false;
            out.devices[id] = d;
        } else if (kind == "transfer") {
            int id = 0;
            unsigned ep = 0;
            fakeusb_transfer t{};
            if (!(l >> id >> ep >> t.length >> t.timeout >> t.result >> t.transferred) ||
                !out.devices.count(id))
                return false;
            t.endpoint = static_cast<unsigned char>(ep);
            out.devices[id].transfers.push_back(t);
        } else if (!kind.empty()) {
            return false;
        }
    }
    return counted;
}

DirectoryLock::DirectoryLock(const std::string& directory) {
    fd_ = ::open(path(directory, kLockFile).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ < 0) return;
    while (::flock(fd_, LOCK_EX) != 0)
        if (errno != EINTR) {
            ::close(fd_);
            fd_ = -1;
            return;
        }
}

DirectoryLock::~DirectoryLock() {
    if (fd_ >= 0) ::close(fd_);
}

std::string path(const std::string& directory, const char* file) {
    return directory + "/" + file;
}

bool exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

std::optional<std::string> readFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::string out;
    char buf[65536];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0) out.append(buf, static_cast<size_t>(n));
    ::close(fd);
    if (n < 0) return std::nullopt;
    return out;
}

bool replaceFile(const std::string& path, std::string_view content) {
    const std::string temporary = path + ".new";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    size_t done = 0;
    while (done < content.size()) {
        const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    const bool written = ::close(fd) == 0 && done == content.size();
    return written && ::rename(temporary.c_str(), path.c_str()) == 0;
}

bool sendAll(int fd, std::string_view data, Clock::time_point deadline) {
    while (!data.empty()) {
        if (!await(fd, POLLOUT, deadline)) return false;
        const ssize_t n = ::send(fd, data.data(), data.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0)
            data.remove_prefix(static_cast<size_t>(n));
        else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return false;
    }
    return true;
}

bool receiveAll(int fd, std::string& out, Clock::time_point deadline) {
    char buf[65536];
    for (;;) {
        if (!await(fd, POLLIN, deadline)) return false;
        const ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n == 0) return true;
        if (n > 0)
            out.append(buf, static_cast<size_t>(n));
        else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return false;
    }
}

} // namespace fakeusb::wire
