// The poll loop and output queue shared by the simulator's endpoints.
#include "tfsim/PollingEndpoint.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>

namespace tfsim {

namespace {

// Bytes taken per read; also bounds the drain before an orderly close.
constexpr size_t kReadChunk = 64 * 1024;
constexpr size_t kDrainLimit = 1024 * 1024;

} // namespace

PollingEndpoint::PollingEndpoint() : readBuffer_(kReadChunk) {
    wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
}

PollingEndpoint::~PollingEndpoint() {
    ::close(wakeFd_);
}

void PollingEndpoint::start(Listener& listener) {
    std::lock_guard lock(mutex_);
    if (started_) return;
    started_ = true;
    listener_ = &listener;
    thread_ = std::thread([this] { run(); });
}

void PollingEndpoint::stop() {
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

void PollingEndpoint::wake() {
    uint64_t one = 1;
    [[maybe_unused]] ssize_t r = ::write(wakeFd_, &one, sizeof one);
}

bool PollingEndpoint::onIoThread() {
    return ioThread_ == std::this_thread::get_id();
}

bool PollingEndpoint::send(ConnectionId connection, Write write) {
    return queueWrite(connection, std::move(write));
}

void PollingEndpoint::setReading(bool reading) {
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

void PollingEndpoint::setAccepting(bool accepting) {
    std::unique_lock lock(mutex_);
    accepting_ = accepting;
    const uint64_t asked = ++acceptAsked_;
    if (!started_) {
        // No I/O thread yet to hand this to.
        lock.unlock();
        applyAcceptingBeforeStart(accepting);
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

bool PollingEndpoint::disconnect(Disconnect how, std::chrono::milliseconds wait) {
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

void PollingEndpoint::finish(const std::shared_ptr<Ticket>& ticket, bool ok) {
    std::lock_guard lock(mutex_);
    ticket->done = true;
    ticket->ok = ok;
    changed_.notify_all();
}

void PollingEndpoint::beginConnection() {
    ConnectionId id;
    {
        std::lock_guard lock(mutex_);
        id = ++lastId_;
        live_ = id;
    }
    listener_->onConnected(id);
}

void PollingEndpoint::endConnection(LinkEventKind why) {
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

ssize_t PollingEndpoint::writeSome(const uint8_t* bytes, size_t size) {
    return ::write(connectionFd(), bytes, size);
}

void PollingEndpoint::deliver(ConnectionId id, std::span<const uint8_t> bytes) {
    listener_->onBytes(id, bytes);
}

void PollingEndpoint::readSome() {
    ssize_t n = ::read(connectionFd(), readBuffer_.data(), readBuffer_.size());
    if (n > 0) {
        ConnectionId id;
        {
            std::lock_guard lock(mutex_);
            id = live_;
        }
        deliver(id, std::span(readBuffer_.data(), static_cast<size_t>(n)));
    } else if (n == 0) {
        peerGone(LinkEventKind::PeerClosed);
    } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        peerGone(LinkEventKind::PeerReset);
    }
}

void PollingEndpoint::drainInput() {
    std::unique_lock gate(readGate_);
    bool reading;
    ConnectionId id;
    {
        std::lock_guard lock(mutex_);
        reading = reading_;
        id = live_;
    }
    for (size_t drained = 0; reading && connectionFd() >= 0 && drained < kDrainLimit;) {
        ssize_t n = ::read(connectionFd(), readBuffer_.data(), readBuffer_.size());
        if (n <= 0) break;
        drained += static_cast<size_t>(n);
        deliver(id, std::span(readBuffer_.data(), static_cast<size_t>(n)));
    }
}

std::optional<std::chrono::milliseconds> PollingEndpoint::pumpOutput(bool& wantWritable) {
    using namespace std::chrono;
    for (;;) {
        if (connectionFd() < 0) return std::nullopt;
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
        ssize_t n = writeSome(a.write.bytes.data() + a.offset, end - a.offset);
        if (n > 0) {
            a.offset += static_cast<size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            wantWritable = true;
            return std::nullopt;
        } else if (n == 0 || errno != EINTR) {
            peerGone(LinkEventKind::PeerReset);
            return std::nullopt;
        }
    }
}

void PollingEndpoint::run() {
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
            const bool had = connectionFd() >= 0;
            if (had) abortConnection();
            for (auto& t : aborts)
                finish(t, had);
        }
        applyAccepting(accepting);
        {
            std::lock_guard lock(mutex_);
            acceptApplied_ = acceptAsked;
            changed_.notify_all();
        }

        bool wantWritable = false;
        auto timeout = pumpOutput(wantWritable);
        if (auto due = timer()) {
            auto untilDue = std::chrono::ceil<std::chrono::milliseconds>(
                std::max(*due - std::chrono::steady_clock::now(),
                         std::chrono::steady_clock::duration::zero()));
            timeout = timeout ? std::min(*timeout, untilDue) : untilDue;
        }

        pollfd fds[3];
        nfds_t count = 0;
        fds[count++] = {wakeFd_, POLLIN, 0};
        int connSlot = -1, watchSlot = -1;
        if (connectionFd() >= 0) {
            short events =
                static_cast<short>((reading ? POLLIN : 0) | (wantWritable ? POLLOUT : 0));
            connSlot = static_cast<int>(count);
            fds[count++] = {connectionFd(), events, 0};
        }
        if (watchFd() >= 0) {
            watchSlot = static_cast<int>(count);
            fds[count++] = {watchFd(), POLLIN, 0};
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
            if (reading && (ev & (POLLIN | POLLERR | POLLHUP)))
                readSome();
            else if (ev & (POLLERR | POLLHUP))
                peerHungUp();
        }
        if (watchSlot >= 0 && (fds[watchSlot].revents & POLLIN)) onWatchReady();
        if (auto due = timer(); due && std::chrono::steady_clock::now() >= *due) onTimer();
    }
}

} // namespace tfsim
