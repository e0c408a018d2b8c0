// The test's end of the fake's control directory (protocol in fakeusb_wire.h).
#include "fakeusb_remote.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

namespace fakeusb {

namespace {
constexpr std::chrono::milliseconds kPoll{10};
}

Remote::Remote(std::filesystem::path directory, std::chrono::milliseconds timeout)
    : directory_(std::filesystem::absolute(directory).string()), timeout_(timeout) {}

std::string Remote::environment() const {
    return std::string(wire::kEnvironment) + "=" + directory_;
}

Remote::Phase Remote::phase() const {
    if (wire::exists(wire::path(directory_, wire::kSocketFile))) return Phase::Running;
    if (wire::exists(wire::path(directory_, wire::kFinalFile))) return Phase::Exited;
    return Phase::Setup;
}

bool Remote::started() const {
    wire::DirectoryLock lock(directory_);
    return phase() != Phase::Setup;
}

bool Remote::ask(const std::string& line, std::string& reply) {
    const std::string socketPath = wire::path(directory_, wire::kSocketFile);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (socketPath.size() >= sizeof addr.sun_path) {
        error_ = "socket path too long: " + socketPath;
        return false;
    }
    std::memcpy(addr.sun_path, socketPath.c_str(), socketPath.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        error_ = "the child does not answer at " + socketPath + ": " + std::strerror(errno);
        if (fd >= 0) ::close(fd);
        return false;
    }
    const auto deadline = wire::Clock::now() + timeout_;
    reply.clear();
    const bool done = wire::sendAll(fd, line + "\n", deadline) && ::shutdown(fd, SHUT_WR) == 0 &&
                      wire::receiveAll(fd, reply, deadline);
    ::close(fd);
    if (!done) {
        error_ = "no reply to '" + line + "' within the time-out";
        return false;
    }
    return true;
}

bool Remote::command(const std::string& line, std::string* replyText) {
    {
        wire::DirectoryLock lock(directory_);
        if (!lock.held()) {
            error_ = "cannot lock " + directory_;
            return false;
        }
        switch (phase()) {
        case Phase::Setup: {
            const int fd = ::open(wire::path(directory_, wire::kSetupFile).c_str(),
                                  O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
            const std::string text = line + "\n";
            const bool written =
                fd >= 0 && ::write(fd, text.data(), text.size()) == ssize_t(text.size());
            if (fd >= 0) ::close(fd);
            if (!written) error_ = "cannot add to the setup in " + directory_;
            return written;
        }
        case Phase::Exited:
            error_ = "the child has exited";
            return false;
        case Phase::Running:
            break; // talk outside the lock: the child takes it at exit
        }
    }
    std::string reply;
    if (!ask(line, reply)) return false;
    if (reply.rfind("ok\n", 0) != 0) {
        error_ = reply.empty() ? "empty reply to '" + line + "'" : reply;
        return false;
    }
    if (replyText) *replyText = reply.substr(3);
    return true;
}

RemoteDevice Remote::addDevice(const fakeusb_device_config& config) {
    const RemoteDevice id = lastDevice_ + 1;
    if (!command("add " + std::to_string(id) + " " + wire::encodeConfig(config))) return 0;
    lastDevice_ = id;
    return id;
}

bool Remote::removeDevice(RemoteDevice device) {
    return command("remove " + std::to_string(device));
}

bool Remote::unplug(RemoteDevice device) {
    return command("unplug " + std::to_string(device));
}

bool Remote::plug(RemoteDevice device) {
    return command("plug " + std::to_string(device));
}

bool Remote::reconfigure(RemoteDevice device, const fakeusb_device_config& config) {
    return command("reconfigure " + std::to_string(device) + " " + wire::encodeConfig(config));
}

bool Remote::fail(RemoteDevice device, fakeusb_op op, int error, int times) {
    return command("fail " + std::to_string(device) + " " + wire::opName(op) + " " +
                   std::to_string(error) + " " + std::to_string(times));
}

bool Remote::scriptTransfer(RemoteDevice device, fakeusb_op direction, int error, int partial,
                            unsigned times) {
    return command("script " + std::to_string(device) + " " + wire::opName(direction) + " " +
                   std::to_string(error) + " " + std::to_string(partial) + " " +
                   std::to_string(times));
}

bool Remote::stall(RemoteDevice device, unsigned char endpoint) {
    return command("stall " + std::to_string(device) + " " + std::to_string(endpoint));
}

bool Remote::clearTransfers(RemoteDevice device) {
    return command("clear-transfers " + std::to_string(device));
}

bool Remote::reset() {
    return command("reset");
}

std::optional<Snapshot> Remote::snapshot() {
    const auto deadline = wire::Clock::now() + timeout_;
    for (;;) {
        Phase now;
        {
            wire::DirectoryLock lock(directory_);
            now = phase();
        }
        std::string text;
        Snapshot s;
        if (now == Phase::Running && ask("snapshot", text)) {
            if (text.rfind("ok\n", 0) == 0 && wire::decodeSnapshot(text.substr(3), s)) return s;
            error_ = "unreadable snapshot: " + text;
            return std::nullopt;
        }
        if (now == Phase::Exited) {
            const auto final = wire::readFile(wire::path(directory_, wire::kFinalFile));
            if (final && wire::decodeSnapshot(*final, s)) return s;
            error_ = "unreadable final snapshot in " + directory_;
            return std::nullopt;
        }
        // Not started yet, or exiting between our look and the connection.
        if (wire::Clock::now() >= deadline) {
            if (now == Phase::Setup) error_ = "the child made no libusb call";
            return std::nullopt;
        }
        std::this_thread::sleep_for(kPoll);
    }
}

std::optional<Snapshot> Remote::waitUntil(const std::function<bool(const Snapshot&)>& done) {
    const auto deadline = wire::Clock::now() + timeout_;
    for (;;) {
        std::optional<Snapshot> s = snapshot();
        if (!s || done(*s)) return s;
        if (wire::Clock::now() >= deadline) {
            error_ = "the child's state did not come to pass within the time-out";
            return std::nullopt;
        }
        std::this_thread::sleep_for(kPoll);
    }
}

} // namespace fakeusb
