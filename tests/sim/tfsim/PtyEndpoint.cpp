// Pty master and COBS line of the simulated module, driven by one poll loop.
#include "tfsim/PtyEndpoint.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <termios.h>
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

constexpr size_t kReadChunk = 64 * 1024;
constexpr size_t kDrainLimit = 1024 * 1024;

} // namespace

PtyEndpoint::PtyEndpoint(Options options) : options_(options), readBuffer_(kReadChunk) {
    wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd_ < 0) fail("eventfd");
    try {
        openLine();
    } catch (...) {
        ::close(wakeFd_);
        throw;
    }
}

PtyEndpoint::~PtyEndpoint() {
    stop();
    closeLine();
    ::close(wakeFd_);
}

std::string PtyEndpoint::slavePath() const {
    std::lock_guard lock(mutex_);
    return slavePath_;
}

void PtyEndpoint::openLine() {
    int fd = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) fail("posix_openpt");
    char name[128];
    termios t{};
    int in = -1;
    auto bail = [&](const char* what) {
        int e = errno;
        if (in >= 0) ::close(in);
        ::close(fd);
        errno = e;
        fail(what);
    };
    if (grantpt(fd) < 0 || unlockpt(fd) < 0) bail("grantpt/unlockpt");
    if (ptsname_r(fd, name, sizeof name) != 0) bail("ptsname_r");
    // Termios calls on the master act on the slave: the host finds it raw
    // even before it configures the port itself.
    if (tcgetattr(fd, &t) < 0) bail("tcgetattr");
    cfmakeraw(&t);
    if (options_.framing == Framing::Raw) {
        t.c_cc[VMIN] = 0;
        t.c_cc[VTIME] = options_.readTimeout;
    }
    if (tcsetattr(fd, TCSANOW, &t) < 0) bail("tcsetattr");
    // Opens of the slave give the master no sign, so they are watched; a
    // fresh inotify per pty keeps events of an old one out.
    in = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (in < 0) bail("inotify_init1");
    if (inotify_add_watch(in, name, IN_OPEN) < 0) bail("inotify_add_watch");
    masterFd_ = fd;
    notifyFd_ = in;
    std::lock_guard lock(mutex_);
    slavePath_ = name;
}

void PtyEndpoint::closeLine() {
    if (masterFd_ >= 0) ::close(masterFd_);
    if (notifyFd_ >= 0) ::close(notifyFd_);
    masterFd_ = notifyFd_ = -1;
    std::lock_guard lock(mutex_);
    slavePath_.clear();
}

void PtyEndpoint::start(Listener& listener) {
    std::lock_guard lock(mutex_);
    if (started_) return;
    started_ = true;
    listener_ = &listener;
    thread_ = std::thread([this] { run(); });
}

void PtyEndpoint::stop() {
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

void PtyEndpoint::wake() {
    uint64_t one = 1;
    [[maybe_unused]] ssize_t r = ::write(wakeFd_, &one, sizeof one);
}

bool PtyEndpoint::onIoThread() {
    return ioThread_ == std::this_thread::get_id();
}

bool PtyEndpoint::queue(ConnectionId connection, Write write) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_ || live_ == 0 || (connection != 0 && connection != live_)) return false;
        if (!write.bytes.empty() || !write.pauses.empty())
            queue_.push_back(Item{std::move(write), nullptr});
    }
    wake();
    return true;
}

bool PtyEndpoint::send(ConnectionId connection, Write write) {
    if (options_.framing == Framing::Raw) return queue(connection, std::move(write));
    std::lock_guard lock(mutex_);
    if (stopping_ || live_ == 0 || (connection != 0 && connection != live_)) return false;
    Write framed = encoder_.encode(write);
    if (!framed.bytes.empty() || !framed.pauses.empty())
        queue_.push_back(Item{std::move(framed), nullptr});
    wake();
    return true;
}

bool PtyEndpoint::sendLine(ConnectionId connection, Write write) {
    return queue(connection, std::move(write));
}

void PtyEndpoint::setReading(bool reading) {
    bool self;
    {
        std::lock_guard lock(mutex_);
        reading_ = reading;
        self = onIoThread();
    }
    wake();
    if (!reading && !self) std::lock_guard gate(readGate_);
}

void PtyEndpoint::setAccepting(bool accepting) {
    std::unique_lock lock(mutex_);
    accepting_ = accepting;
    const uint64_t asked = ++acceptAsked_;
    if (!started_) {
        lock.unlock();
        if (!accepting && masterFd_ >= 0)
            closeLine();
        else if (accepting && masterFd_ < 0)
            openLine();
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

bool PtyEndpoint::disconnect(Disconnect how, std::chrono::milliseconds wait) {
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

void PtyEndpoint::finish(const std::shared_ptr<Ticket>& ticket, bool ok) {
    std::lock_guard lock(mutex_);
    ticket->done = true;
    ticket->ok = ok;
    changed_.notify_all();
}

void PtyEndpoint::connect() {
    attached_ = true;
    decoder_.reset();
    ConnectionId id;
    {
        std::lock_guard lock(mutex_);
        encoder_.reset();
        id = ++lastId_;
        live_ = id;
    }
    listener_->onConnected(id);
}

void PtyEndpoint::drop(LinkEventKind why) {
    if (!attached_) return;
    attached_ = false;
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

void PtyEndpoint::hangUp(LinkEventKind why) {
    // The host's next read sees the end and its writes fail with EIO.
    closeLine();
    // The new path is known by the time the hang-up is reported.
    reopenIfAccepting();
    drop(why);
}

void PtyEndpoint::reopenIfAccepting() {
    {
        std::lock_guard lock(mutex_);
        if (!accepting_ || masterFd_ >= 0) return;
    }
    try {
        openLine();
    } catch (const std::system_error& e) {
        std::fprintf(stderr, "tfsim: cannot open a new pty: %s\n", e.what());
        std::lock_guard lock(mutex_);
        accepting_ = false;
    }
}

void PtyEndpoint::deliver(ConnectionId id, std::span<const uint8_t> bytes) {
    if (options_.framing == Framing::Raw) {
        listener_->onBytes(id, bytes);
        return;
    }
    FrameDecoder::Sink sink{
        [&](std::span<const uint8_t> wire) { listener_->onBytes(id, wire); },
        [&](FramingFault f, uint8_t b) { listener_->onFramingFault(id, f, b); },
    };
    decoder_.feed(bytes, sink);
}

void PtyEndpoint::readSome() {
    // Bytes the host wrote before closing are read first; only then EIO.
    ssize_t n = ::read(masterFd_, readBuffer_.data(), readBuffer_.size());
    if (n > 0) {
        ConnectionId id;
        {
            std::lock_guard lock(mutex_);
            id = live_;
        }
        deliver(id, std::span(readBuffer_.data(), static_cast<size_t>(n)));
    } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        drop(LinkEventKind::PeerClosed);
    }
}

void PtyEndpoint::waitUntilHostHasRead() {
    // The hang-up discards what the host has not read, and the master cannot
    // tell how much that is; a slave descriptor of our own can.
    std::string path;
    {
        std::lock_guard lock(mutex_);
        path = slavePath_;
    }
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 0) <= 0 || !(p.revents & POLLIN)) break;
        if (std::chrono::steady_clock::now() >= deadline) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ::close(fd);
}

void PtyEndpoint::closeOrderly(const std::shared_ptr<Ticket>& ticket) {
    waitUntilHostHasRead();
    std::unique_lock gate(readGate_);
    bool reading;
    ConnectionId id;
    {
        std::lock_guard lock(mutex_);
        reading = reading_;
        id = live_;
    }
    for (size_t drained = 0; reading && drained < kDrainLimit;) {
        ssize_t n = ::read(masterFd_, readBuffer_.data(), readBuffer_.size());
        if (n <= 0) break;
        drained += static_cast<size_t>(n);
        deliver(id, std::span(readBuffer_.data(), static_cast<size_t>(n)));
    }
    gate.unlock();
    hangUp(LinkEventKind::ClosedHere);
    finish(ticket, true);
}

std::optional<std::chrono::milliseconds> PtyEndpoint::pumpOutput(bool& wantWritable) {
    using namespace std::chrono;
    for (;;) {
        if (!attached_) return std::nullopt;
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
        ssize_t n = ::write(masterFd_, a.write.bytes.data() + a.offset, end - a.offset);
        if (n > 0) {
            a.offset += static_cast<size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            wantWritable = true;
            return std::nullopt;
        } else if (n == 0 || errno != EINTR) {
            drop(LinkEventKind::PeerClosed);
            return std::nullopt;
        }
    }
}

void PtyEndpoint::run() {
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
            const bool had = attached_;
            if (had) hangUp(LinkEventKind::ResetHere);
            for (auto& t : aborts)
                finish(t, had);
        }
        if (accepting && masterFd_ < 0) {
            reopenIfAccepting();
        } else if (!accepting && masterFd_ >= 0 && !attached_) {
            closeLine();
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
        int notifySlot = -1, masterSlot = -1;
        if (notifyFd_ >= 0) {
            notifySlot = static_cast<int>(count);
            fds[count++] = {notifyFd_, POLLIN, 0};
        }
        // Without a host the master reports POLLHUP without end: it is left
        // out until the watch sees the slave opened.
        if (attached_) {
            short events =
                static_cast<short>((reading ? POLLIN : 0) | (wantWritable ? POLLOUT : 0));
            masterSlot = static_cast<int>(count);
            fds[count++] = {masterFd_, events, 0};
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
        if (masterSlot >= 0 && attached_) {
            short ev = fds[masterSlot].revents;
            std::unique_lock gate(readGate_);
            {
                std::lock_guard lock(mutex_);
                reading = reading_;
            }
            if (reading && (ev & (POLLIN | POLLERR | POLLHUP)))
                readSome();
            else if (ev & (POLLERR | POLLHUP))
                drop(LinkEventKind::PeerClosed);
        }
        if (notifySlot >= 0 && (fds[notifySlot].revents & POLLIN)) {
            alignas(inotify_event) char buf[4096];
            bool opened = false;
            for (ssize_t n; (n = ::read(notifyFd_, buf, sizeof buf)) > 0;)
                opened = true; // only IN_OPEN is watched
            // Opens while a host is attached are that host's (or ours).
            if (opened && !attached_) connect();
        }
    }
}

} // namespace tfsim
