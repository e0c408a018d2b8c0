// Pty master and COBS line of the simulated module, driven by one poll loop.
#include "tfsim/PtyEndpoint.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <system_error>
#include <thread>

namespace tfsim {

namespace {

[[noreturn]] void fail(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

} // namespace

PtyEndpoint::PtyEndpoint(Options options) : options_(options) {
    openLine();
}

PtyEndpoint::~PtyEndpoint() {
    stop();
    closeLine();
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

bool PtyEndpoint::send(ConnectionId connection, Write write) {
    if (options_.framing == Framing::Raw) return queueWrite(connection, std::move(write));
    return queueWrite(connection, std::move(write), [&](Write w) { return encoder_.encode(w); });
}

bool PtyEndpoint::sendLine(ConnectionId connection, Write write) {
    return queueWrite(connection, std::move(write));
}

void PtyEndpoint::applyAcceptingBeforeStart(bool accepting) {
    if (!accepting && masterFd_ >= 0)
        closeLine();
    else if (accepting && masterFd_ < 0)
        openLine();
}

void PtyEndpoint::applyAccepting(bool accepting) {
    if (accepting && masterFd_ < 0)
        reopenIfAccepting();
    else if (!accepting && masterFd_ >= 0 && !attached_)
        closeLine();
}

void PtyEndpoint::connect() {
    attached_ = true;
    decoder_.reset();
    {
        std::lock_guard lock(mutex_);
        encoder_.reset();
    }
    beginConnection();
}

void PtyEndpoint::drop(LinkEventKind why) {
    if (!attached_) return;
    attached_ = false;
    endConnection(why);
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

void PtyEndpoint::onWatchReady() {
    alignas(inotify_event) char buf[4096];
    bool opened = false;
    for (ssize_t n; (n = ::read(notifyFd_, buf, sizeof buf)) > 0;)
        opened = true; // only IN_OPEN is watched
    // Opens while a host is attached are that host's (or ours).
    if (opened && !attached_) connect();
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
    drainInput();
    hangUp(LinkEventKind::ClosedHere);
    finish(ticket, true);
}

} // namespace tfsim
