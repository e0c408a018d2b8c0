// TCP listener and connection of the simulated module, driven by one poll loop.
#include "tfsim/TcpEndpoint.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>

namespace tfsim {

namespace {

[[noreturn]] void fail(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

// Bytes taken per read; also bounds the drain before an orderly close.
constexpr size_t kReadChunk = 64 * 1024;
constexpr size_t kDrainLimit = 1024 * 1024;

} // namespace

const char* toString(LinkEventKind kind) {
    switch (kind) {
    case LinkEventKind::Connected:
        return "connected";
    case LinkEventKind::PeerClosed:
        return "peer closed";
    case LinkEventKind::PeerReset:
        return "peer reset";
    case LinkEventKind::ClosedHere:
        return "closed here";
    case LinkEventKind::ResetHere:
        return "reset here";
    case LinkEventKind::Replaced:
        return "replaced";
    }
    return "?";
}

TcpEndpoint::TcpEndpoint(Options options) : options_(options), readBuffer_(kReadChunk) {
    wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd_ < 0) fail("eventfd");
    try {
        openListener();
    } catch (...) {
        ::close(wakeFd_);
        throw;
    }
}

TcpEndpoint::~TcpEndpoint() {
    stop();
    if (connFd_ >= 0) ::close(connFd_);
    if (listenFd_ >= 0) ::close(listenFd_);
    ::close(wakeFd_);
}

void TcpEndpoint::openListener() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) fail("socket");
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    // Accepted sockets inherit the buffer; set before listen so the window
    // offered in the handshake is already the small one.
    if (options_.receiveBuffer > 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &options_.receiveBuffer,
                   sizeof options_.receiveBuffer);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // Re-listening keeps the port the host was told about.
    addr.sin_port = htons(port_ != 0 ? port_.load() : options_.port);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0 || ::listen(fd, 8) < 0) {
        int e = errno;
        ::close(fd);
        errno = e;
        fail("bind/listen");
    }
    socklen_t len = sizeof addr;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) < 0) {
        ::close(fd);
        fail("getsockname");
    }
    port_ = ntohs(addr.sin_port);
    listenFd_ = fd;
}

void TcpEndpoint::start(Listener& listener) {
    std::lock_guard lock(mutex_);
    if (started_) return;
    started_ = true;
    listener_ = &listener;
    thread_ = std::thread([this] { run(); });
}

void TcpEndpoint::stop() {
    {
        std::lock_guard lock(mutex_);
        if (!started_ || stopping_) return;
        stopping_ = true;
    }
    wake();
    if (thread_.joinable()) thread_.join();
    std::lock_guard lock(mutex_);
    for (Item& item : queue_)
        if (item.close) item.close->done = true;
    queue_.clear();
    for (auto& t : aborts_)
        t->done = true;
    aborts_.clear();
    live_ = 0;
    changed_.notify_all();
}

void TcpEndpoint::wake() {
    uint64_t one = 1;
    [[maybe_unused]] ssize_t r = ::write(wakeFd_, &one, sizeof one);
}

bool TcpEndpoint::onIoThread() {
    return ioThread_ == std::this_thread::get_id();
}

bool TcpEndpoint::send(ConnectionId connection, Write write) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_ || live_ == 0 || (connection != 0 && connection != live_)) return false;
        queue_.push_back(Item{std::move(write), nullptr});
    }
    wake();
    return true;
}

void TcpEndpoint::setReading(bool reading) {
    bool self;
    {
        std::lock_guard lock(mutex_);
        reading_ = reading;
        self = onIoThread();
    }
    wake();
    // Once stopped, nothing more is read: a test may write right after.
    if (!reading && !self) std::lock_guard gate(readGate_);
}

void TcpEndpoint::setAccepting(bool accepting) {
    std::unique_lock lock(mutex_);
    accepting_ = accepting;
    const uint64_t asked = ++acceptAsked_;
    if (!started_) {
        // No I/O thread yet to hand this to.
        if (!accepting && listenFd_ >= 0) {
            ::close(listenFd_);
            listenFd_ = -1;
        } else if (accepting && listenFd_ < 0) {
            openListener();
        }
        return;
    }
    const bool self = onIoThread();
    lock.unlock();
    wake();
    if (self) return;
    lock.lock();
    changed_.wait_for(lock, std::chrono::seconds(5),
                      [&] { return acceptApplied_ >= asked || stopping_; });
}

bool TcpEndpoint::disconnect(Disconnect how, std::chrono::milliseconds wait) {
    auto ticket = std::make_shared<Ticket>();
    std::unique_lock lock(mutex_);
    if (!started_ || stopping_ || live_ == 0) return false;
    if (how == Disconnect::Abort)
        aborts_.push_back(ticket);
    else
        queue_.push_back(Item{{}, ticket});
    bool self = onIoThread();
    lock.unlock();
    wake();
    if (self) return true;
    lock.lock();
    changed_.wait_for(lock, wait, [&] { return ticket->done; });
    return ticket->done && ticket->ok;
}

void TcpEndpoint::finish(const std::shared_ptr<Ticket>& ticket, bool ok) {
    std::lock_guard lock(mutex_);
    ticket->done = true;
    ticket->ok = ok;
    changed_.notify_all();
}

void TcpEndpoint::drop(LinkEventKind why, bool linger0) {
    if (connFd_ < 0) return;
    if (linger0) {
        linger lg{1, 0};
        setsockopt(connFd_, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    }
    ::close(connFd_);
    connFd_ = -1;
    active_.reset();
    ConnectionId id;
    std::vector<std::shared_ptr<Ticket>> orphans;
    {
        std::lock_guard lock(mutex_);
        id = live_;
        live_ = 0;
        for (Item& item : queue_)
            if (item.close) orphans.push_back(item.close);
        queue_.clear();
    }
    for (auto& t : orphans)
        finish(t, false);
    listener_->onDisconnected(id, why);
}

void TcpEndpoint::acceptOne() {
    int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return; // EAGAIN, or the client gave up in between
    int one = 1;
    // Each write is to leave as written, so split packets really arrive split.
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (connFd_ >= 0) drop(LinkEventKind::Replaced, true);
    connFd_ = fd;
    ConnectionId id;
    {
        std::lock_guard lock(mutex_);
        id = ++lastId_;
        live_ = id;
    }
    listener_->onConnected(id);
}

void TcpEndpoint::readSome() {
    ssize_t n = ::recv(connFd_, readBuffer_.data(), readBuffer_.size(), 0);
    if (n > 0) {
        ConnectionId id;
        {
            std::lock_guard lock(mutex_);
            id = live_;
        }
        listener_->onBytes(id, std::span(readBuffer_.data(), static_cast<size_t>(n)));
    } else if (n == 0) {
        drop(LinkEventKind::PeerClosed, false);
    } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        drop(LinkEventKind::PeerReset, false);
    }
}

void TcpEndpoint::closeOrderly(const std::shared_ptr<Ticket>& ticket) {
    ::shutdown(connFd_, SHUT_WR);
    // What the host sent before the close still counts as received.
    std::unique_lock gate(readGate_);
    bool reading;
    ConnectionId id;
    {
        std::lock_guard lock(mutex_);
        reading = reading_;
        id = live_;
    }
    for (size_t drained = 0; reading && connFd_ >= 0 && drained < kDrainLimit;) {
        ssize_t n = ::recv(connFd_, readBuffer_.data(), readBuffer_.size(), 0);
        if (n <= 0) break;
        drained += static_cast<size_t>(n);
        listener_->onBytes(id, std::span(readBuffer_.data(), static_cast<size_t>(n)));
    }
    gate.unlock();
    drop(LinkEventKind::ClosedHere, false);
    finish(ticket, true);
}

std::optional<std::chrono::milliseconds> TcpEndpoint::pumpOutput(bool& wantWritable) {
    using namespace std::chrono;
    for (;;) {
        if (connFd_ < 0) return std::nullopt;
        if (!active_) {
            Item item;
            {
                std::lock_guard lock(mutex_);
                if (queue_.empty()) return std::nullopt;
                item = std::move(queue_.front());
                queue_.pop_front();
            }
            if (item.close) {
                closeOrderly(item.close);
                return std::nullopt;
            }
            active_ = Active{std::move(item.write)};
        }
        Active& a = *active_;
        const auto& pauses = a.write.pauses;
        const auto now = steady_clock::now();
        if (now < a.resumeAt) return ceil<milliseconds>(a.resumeAt - now);
        if (a.nextPause < pauses.size() && pauses[a.nextPause].offset <= a.offset) {
            a.resumeAt = now + pauses[a.nextPause].duration;
            ++a.nextPause;
            continue;
        }
        const size_t size = a.write.bytes.size();
        if (a.offset >= size) {
            active_.reset();
            continue;
        }
        size_t end = size;
        if (a.nextPause < pauses.size()) end = std::min(end, pauses[a.nextPause].offset);
        ssize_t n = ::send(connFd_, a.write.bytes.data() + a.offset, end - a.offset, MSG_NOSIGNAL);
        if (n > 0) {
            a.offset += static_cast<size_t>(n);
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            wantWritable = true;
            return std::nullopt;
        } else if (errno != EINTR) {
            drop(LinkEventKind::PeerReset, false);
            return std::nullopt;
        }
    }
}

void TcpEndpoint::run() {
    {
        std::lock_guard lock(mutex_);
        ioThread_ = std::this_thread::get_id();
    }
    for (;;) {
        std::vector<std::shared_ptr<Ticket>> aborts;
        bool reading, accepting;
        uint64_t acceptAsked;
        {
            std::lock_guard lock(mutex_);
            if (stopping_) break;
            aborts.swap(aborts_);
            reading = reading_;
            accepting = accepting_;
            acceptAsked = acceptAsked_;
        }
        if (!aborts.empty()) {
            bool had = connFd_ >= 0;
            drop(LinkEventKind::ResetHere, true);
            for (auto& t : aborts)
                finish(t, had);
        }
        if (accepting && listenFd_ < 0) {
            try {
                openListener();
            } catch (const std::system_error& e) {
                std::fprintf(stderr, "tfsim: cannot listen again on port %u: %s\n", unsigned{port_},
                             e.what());
                std::lock_guard lock(mutex_);
                accepting_ = false;
            }
        } else if (!accepting && listenFd_ >= 0) {
            ::close(listenFd_);
            listenFd_ = -1;
        }
        {
            std::lock_guard lock(mutex_);
            acceptApplied_ = acceptAsked;
            changed_.notify_all();
        }

        bool wantWritable = false;
        auto timeout = pumpOutput(wantWritable);

        pollfd fds[3];
        nfds_t count = 0;
        fds[count++] = {wakeFd_, POLLIN, 0};
        int connSlot = -1, listenSlot = -1;
        if (connFd_ >= 0) {
            short events =
                static_cast<short>((reading ? POLLIN : 0) | (wantWritable ? POLLOUT : 0));
            connSlot = static_cast<int>(count);
            fds[count++] = {connFd_, events, 0};
        }
        if (listenFd_ >= 0) {
            listenSlot = static_cast<int>(count);
            fds[count++] = {listenFd_, POLLIN, 0};
        }
        int ms = timeout ? static_cast<int>(
                               std::min<std::chrono::milliseconds::rep>(timeout->count(), 60'000))
                         : -1;
        int r = ::poll(fds, count, ms);
        if (r < 0) {
            if (errno == EINTR) continue;
            std::fprintf(stderr, "tfsim: poll: %s\n", std::strerror(errno));
            break;
        }
        if (fds[0].revents & POLLIN) {
            uint64_t value;
            [[maybe_unused]] ssize_t n = ::read(wakeFd_, &value, sizeof value);
        }
        if (connSlot >= 0) {
            short ev = fds[connSlot].revents;
            std::unique_lock gate(readGate_);
            {
                std::lock_guard lock(mutex_);
                reading = reading_;
            }
            if (reading && (ev & (POLLIN | POLLERR | POLLHUP))) {
                readSome();
            } else if (ev & (POLLERR | POLLHUP)) {
                int err = 0;
                socklen_t len = sizeof err;
                getsockopt(connFd_, SOL_SOCKET, SO_ERROR, &err, &len);
                drop(err ? LinkEventKind::PeerReset : LinkEventKind::PeerClosed, false);
            }
        }
        if (listenSlot >= 0 && (fds[listenSlot].revents & POLLIN)) acceptOne();
    }
}

} // namespace tfsim
