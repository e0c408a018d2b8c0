// TCP listener and connection of the simulated module, driven by one poll loop.
#include "tfsim/TcpEndpoint.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
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

TcpEndpoint::TcpEndpoint(Options options) : options_(options) {
    openListener();
}

TcpEndpoint::~TcpEndpoint() {
    stop();
    if (connFd_ >= 0) ::close(connFd_);
    if (listenFd_ >= 0) ::close(listenFd_);
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

void TcpEndpoint::applyAcceptingBeforeStart(bool accepting) {
    if (!accepting && listenFd_ >= 0) {
        ::close(listenFd_);
        listenFd_ = -1;
    } else if (accepting && listenFd_ < 0) {
        openListener();
    }
}

void TcpEndpoint::applyAccepting(bool accepting) {
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
        acceptAt_.reset();
    }
}

void TcpEndpoint::drop(LinkEventKind why, bool linger0) {
    if (connFd_ < 0) return;
    if (linger0) {
        linger lg{1, 0};
        setsockopt(connFd_, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    }
    ::close(connFd_);
    connFd_ = -1;
    endConnection(why);
}

void TcpEndpoint::onWatchReady() {
    if (options_.acceptDelay.count() > 0)
        acceptAt_ = std::chrono::steady_clock::now() + options_.acceptDelay;
    else
        acceptOne();
}

void TcpEndpoint::onTimer() {
    acceptAt_.reset();
    acceptOne();
}

void TcpEndpoint::acceptOne() {
    if (listenFd_ < 0) return;
    int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return; // EAGAIN, or the client gave up in between
    int one = 1;
    // Each write is to leave as written, so split packets really arrive split.
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (connFd_ >= 0) drop(LinkEventKind::Replaced, true);
    connFd_ = fd;
    beginConnection();
}

ssize_t TcpEndpoint::writeSome(const uint8_t* bytes, size_t size) {
    // A host gone away must fail the write, not kill the process with SIGPIPE.
    return ::send(connFd_, bytes, size, MSG_NOSIGNAL);
}

void TcpEndpoint::peerHungUp() {
    int err = 0;
    socklen_t len = sizeof err;
    getsockopt(connFd_, SOL_SOCKET, SO_ERROR, &err, &len);
    drop(err ? LinkEventKind::PeerReset : LinkEventKind::PeerClosed, false);
}

void TcpEndpoint::closeOrderly(const std::shared_ptr<Ticket>& ticket) {
    ::shutdown(connFd_, SHUT_WR);
    drainInput();
    drop(LinkEventKind::ClosedHere, false);
    finish(ticket, true);
}

} // namespace tfsim
