// The fake's end of the control directory (protocol in fakeusb_wire.h): it applies the
// setup at the process's first libusb call, then serves commands on a thread of its
// own, and leaves a final snapshot when the process exits.
#include "fakeusb_channel.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fakeusb_exports.h"
#include "fakeusb_wire.h"

namespace fakeusb {
namespace {

// A client gets this long to send its command and take the reply.
constexpr std::chrono::seconds kClientTime{5};

struct Channel {
    std::string directory;
    pid_t owner = 0; // a forked child inherits the channel but does not serve it
    int listener = -1;
    int stopPipe[2] = {-1, -1};
    std::thread server;
    std::mutex mutex; // the client's device numbers
    std::map<int, fakeusb_device*> devices;

    ~Channel() { // only when it could not start
        for (int fd : {listener, stopPipe[0], stopPipe[1]})
            if (fd >= 0) ::close(fd);
    }
};

// Never destroyed: the final snapshot is written while static objects go.
std::atomic<Channel*> g_channel{nullptr};
std::once_flag g_once;

std::string ok() {
    return "ok\n";
}

std::string error(const std::string& text) {
    return "error " + text + "\n";
}

wire::Snapshot takeSnapshot(Channel& ch) {
    wire::Snapshot s;
    s.inits = fakeusb_init_count();
    s.exits = fakeusb_exit_count();
    s.liveContexts = fakeusb_live_contexts();
    s.openHandles = fakeusb_open_handles();
    s.liveDeviceLists = fakeusb_live_device_lists();
    s.liveConfigDescriptors = fakeusb_live_config_descriptors();
    s.misuse = fakeusb_misuse_count();
    std::lock_guard lock(ch.mutex);
    for (const auto& [id, dev] : ch.devices) {
        wire::Snapshot::Device& d = s.devices[id];
        for (int op = 0; op < FAKEUSB_OP_COUNT; ++op)
            d.calls[op] = fakeusb_call_count(dev, static_cast<fakeusb_op>(op));
        d.transfers.resize(fakeusb_transfers(dev, nullptr, 0));
        d.transfers.resize(std::min(
            d.transfers.size(), fakeusb_transfers(dev, d.transfers.data(), d.transfers.size())));
    }
    return s;
}

// Runs one command line and returns the reply.
std::string execute(Channel& ch, const std::string& line) {
    const std::vector<std::string> w = wire::words(line);
    if (w.empty()) return error("empty command");
    const std::string& verb = w[0];
    if (verb == "reset") {
        fakeusb_reset();
        std::lock_guard lock(ch.mutex);
        ch.devices.clear();
        return ok();
    }
    if (verb == "snapshot") return ok() + wire::encodeSnapshot(takeSnapshot(ch));

    std::optional<long> id = w.size() > 1 ? wire::integer(w[1]) : std::nullopt;
    if (!id) return error("no device number in '" + line + "'");
    std::lock_guard lock(ch.mutex);
    auto it = ch.devices.find(static_cast<int>(*id));
    fakeusb_device* dev = it != ch.devices.end() ? it->second : nullptr;
    if (verb == "add" || verb == "reconfigure") {
        wire::DecodedConfig c;
        if (!wire::decodeConfig(w, 2, c)) return error("bad configuration in '" + line + "'");
        if (verb == "add") {
            if (dev || *id <= 0) return error("device " + w[1] + " exists or is not a number");
            ch.devices[static_cast<int>(*id)] = fakeusb_add_device(&c.config);
            return ok();
        }
        if (!dev) return error("unknown device " + w[1]);
        fakeusb_reconfigure(dev, &c.config);
        return ok();
    }

    // Numbers follow the device; fail and script name their operation first.
    std::optional<fakeusb_op> op;
    size_t first = 2;
    if (verb == "fail" || verb == "script") {
        op = w.size() > 2 ? wire::opByName(w[2]) : std::nullopt;
        if (!op) return error("no or an unknown operation in '" + line + "'");
        first = 3;
    }
    std::vector<long> n;
    for (size_t i = first; i < w.size(); ++i) {
        const std::optional<long> v = wire::integer(w[i]);
        if (!v) return error("bad number '" + w[i] + "'");
        n.push_back(*v);
    }
    auto wants = [&](size_t count) { return n.size() == count; };
    // A device-independent fault (init) names no device.
    if (!dev && !(verb == "fail" && *id == 0)) return error("unknown device " + w[1]);
    if (verb == "remove" && wants(0)) {
        fakeusb_remove_device(dev);
        ch.devices.erase(it);
    } else if (verb == "unplug" && wants(0)) {
        fakeusb_unplug(dev);
    } else if (verb == "plug" && wants(0)) {
        fakeusb_plug(dev);
    } else if (verb == "clear-transfers" && wants(0)) {
        fakeusb_clear_transfers(dev);
    } else if (verb == "stall" && wants(1)) {
        fakeusb_stall(dev, static_cast<unsigned char>(n[0]));
    } else if (verb == "fail" && wants(2)) {
        fakeusb_fail(dev, *op, static_cast<int>(n[0]), static_cast<int>(n[1]));
    } else if (verb == "script" && wants(3)) {
        fakeusb_script_transfer(dev, *op, static_cast<int>(n[0]), static_cast<int>(n[1]),
                                static_cast<unsigned>(n[2]));
    } else {
        return error("unknown command '" + line + "'");
    }
    return ok();
}

void serveOne(Channel& ch, int client) {
    const auto deadline = wire::Clock::now() + kClientTime;
    std::string request;
    if (wire::receiveAll(client, request, deadline)) {
        while (!request.empty() && (request.back() == '\n' || request.back() == '\r'))
            request.pop_back();
        wire::sendAll(client, execute(ch, request), deadline);
    }
    ::close(client);
}

void serve(Channel* ch) {
    for (;;) {
        pollfd p[2] = {{ch->listener, POLLIN, 0}, {ch->stopPipe[0], POLLIN, 0}};
        if (::poll(p, 2, -1) < 0 && errno != EINTR) break;
        if (p[1].revents) break;
        if (!(p[0].revents & POLLIN)) continue;
        const int client = ::accept4(ch->listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (client >= 0) serveOne(*ch, client);
    }
}

void complain(const std::string& directory, const char* what) {
    std::fprintf(stderr, "fakeusb: control directory %s: %s: %s\n", directory.c_str(), what,
                 std::strerror(errno));
}

// Applies the setup and opens the socket, under the directory's lock so that a client
// adds to the setup or talks to the socket, never to a setup already read.
void start(const std::string& directory) {
    auto ch = std::make_unique<Channel>();
    ch->directory = directory;
    ch->owner = ::getpid();
    wire::DirectoryLock lock(directory);
    if (!lock.held()) return complain(directory, "cannot lock");
    if (auto setup = wire::readFile(wire::path(directory, wire::kSetupFile))) {
        size_t start = 0;
        while (start < setup->size()) {
            size_t end = setup->find('\n', start);
            if (end == std::string::npos) end = setup->size();
            const std::string line = setup->substr(start, end - start);
            start = end + 1;
            if (line.empty()) continue;
            const std::string reply = execute(*ch, line);
            if (reply != ok()) std::fprintf(stderr, "fakeusb: setup: %s", reply.c_str());
        }
    }
    ::unlink(wire::path(directory, wire::kFinalFile).c_str());

    const std::string socketPath = wire::path(directory, wire::kSocketFile);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (socketPath.size() >= sizeof addr.sun_path) {
        errno = ENAMETOOLONG;
        return complain(directory, "socket path");
    }
    std::memcpy(addr.sun_path, socketPath.c_str(), socketPath.size() + 1);
    ch->listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ::unlink(socketPath.c_str());
    if (ch->listener < 0 || ::bind(ch->listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) ||
        ::listen(ch->listener, 8) || ::pipe2(ch->stopPipe, O_CLOEXEC))
        return complain(directory, "cannot serve");
    ch->server = std::thread(serve, ch.get());
    g_channel = ch.release();
}

// At exit the socket goes and the final snapshot takes its place, in one step under
// the lock: a client sees the one or the other.
__attribute__((destructor)) void finish() {
    Channel* ch = g_channel.load();
    if (!ch || ch->owner != ::getpid()) return;
    if (::write(ch->stopPipe[1], "x", 1) == 1 && ch->server.joinable()) ch->server.join();
    wire::DirectoryLock lock(ch->directory);
    ::close(ch->listener);
    ::unlink(wire::path(ch->directory, wire::kSocketFile).c_str());
    if (!wire::replaceFile(wire::path(ch->directory, wire::kFinalFile),
                           wire::encodeSnapshot(takeSnapshot(*ch))))
        complain(ch->directory, "cannot write the final snapshot");
}

} // namespace

void startChannelOnce() {
    std::call_once(g_once, [] {
        const char* directory = std::getenv(wire::kEnvironment);
        if (directory && *directory) start(directory);
    });
}

} // namespace fakeusb
