// The boot ROM's USB HID side.
#include "HidEndpoint.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

namespace sdpsim {

namespace {
constexpr uint8_t kCommandReport = 1;
constexpr uint8_t kDataReport = 2;
constexpr uint8_t kHabReport = 3;
constexpr uint8_t kStatusReport = 4;
constexpr size_t kStatusReportBytes = 64;
constexpr size_t kInputReportBytes = 65;
// Larger than any report the host sends (a data report is 1025 bytes).
constexpr size_t kReceiveBytes = 4096;
// A flooding device gives up on a host that has taken nothing for this long.
constexpr int kFloodPatienceMs = 200;
} // namespace

HidEndpoint::HidEndpoint(BootRom& rom, std::string socketPath, HidOptions options)
    : rom_(rom), path_(std::move(socketPath)), options_(options),
      loop_([this] { return watched(); }, [this](int fd) { ready(fd); }) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path_.size() >= sizeof address.sun_path)
        throw std::system_error(ENAMETOOLONG, std::generic_category(), path_);
    memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
    unlink(path_.c_str());
    listenFd_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listenFd_ < 0 || bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) ||
        listen(listenFd_, 4)) {
        int error = errno;
        if (listenFd_ >= 0) close(listenFd_);
        throw std::system_error(error, std::generic_category(), "hid endpoint " + path_);
    }
    loop_.start();
}

HidEndpoint::~HidEndpoint() {
    loop_.stop();
    if (connFd_ >= 0) close(connFd_);
    close(listenFd_);
    unlink(path_.c_str());
}

std::vector<int> HidEndpoint::watched() {
    std::vector<int> fds{listenFd_};
    if (connFd_ >= 0 && rom_.reading()) fds.push_back(connFd_);
    return fds;
}

void HidEndpoint::ready(int fd) {
    if (fd == listenFd_) {
        int accepted = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (accepted < 0) return;
        // One host at a time, as one device has one open handle: a new open replaces it.
        if (connFd_ >= 0) close(connFd_);
        connFd_ = accepted;
        std::lock_guard lock(mutex_);
        ++connections_;
        return;
    }
    receive();
}

void HidEndpoint::receive() {
    std::vector<uint8_t> report(kReceiveBytes);
    ssize_t n = recv(connFd_, report.data(), report.size(), 0);
    if (n <= 0) {
        if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            close(connFd_);
            connFd_ = -1;
        }
        return;
    }
    report.resize(static_cast<size_t>(n));
    {
        std::lock_guard lock(mutex_);
        reports_.push_back(report);
    }
    std::span<const uint8_t> body(report.data() + 1, report.size() - 1);
    // A report padded past what it carries is taken for what it carries.
    if (report[0] == kCommandReport)
        send(rom_.onCommand(body.first(std::min(body.size(), kCommandBytes))));
    else if (report[0] == kDataReport)
        send(rom_.onData(body));
}

std::vector<uint8_t> HidEndpoint::inputReport(const Reply& r) const {
    std::vector<uint8_t> report(1 + r.bytes.size());
    report[0] = r.kind == Reply::Kind::HabMode ? kHabReport : kStatusReport;
    std::copy(r.bytes.begin(), r.bytes.end(), report.begin() + 1);
    if (r.kind == Reply::Kind::HabMode && options_.padHabReport)
        report.resize(kInputReportBytes, 0);
    // A status cut short by a fault goes out short; a whole one fills its report.
    if (r.kind == Reply::Kind::Status && r.bytes.size() >= 4)
        report.resize(1 + kStatusReportBytes, 0);
    return report;
}

void HidEndpoint::send(const std::vector<Reply>& replies) {
    for (const Reply& r : replies) {
        std::vector<uint8_t> report = inputReport(r);
        // A host that does not read loses reports, as a device's interrupt endpoint would.
        if (::send(connFd_, report.data(), report.size(), MSG_DONTWAIT | MSG_NOSIGNAL) < 0) return;
    }
    if (replies.empty()) return;
    // A flood goes on for as long as the host takes it in.
    while (auto r = rom_.floodReply()) {
        std::vector<uint8_t> report = inputReport(*r);
        pollfd p{connFd_, POLLOUT, 0};
        if (poll(&p, 1, kFloodPatienceMs) <= 0 ||
            ::send(connFd_, report.data(), report.size(), MSG_DONTWAIT | MSG_NOSIGNAL) < 0)
            return;
    }
}

std::vector<std::vector<uint8_t>> HidEndpoint::reports() const {
    std::lock_guard lock(mutex_);
    return reports_;
}

unsigned HidEndpoint::connections() const {
    std::lock_guard lock(mutex_);
    return connections_;
}

} // namespace sdpsim
