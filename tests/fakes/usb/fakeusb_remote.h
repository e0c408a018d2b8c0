// Drives the fake libusb inside another process (the updater run by a test with the
// fake preloaded) through a control directory named in that process's environment.
// It does not link the fake: it speaks the protocol of fakeusb_wire.h.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "fakeusb.h"
#include "fakeusb_wire.h"

namespace fakeusb {

using Snapshot = wire::Snapshot;
using wire::defaultConfig; // in place of fakeusb_config_init, which lives in the fake
using RemoteDevice = int;  // 0: none

// One child process's bus. Before the child's first libusb call, commands go to the
// setup that call applies, so its first device list already shows them; from then on
// they go to the running child and return once it has applied them. Commands fail
// (false, see error()) when the child has exited or does not answer.
class Remote {
  public:
    // `directory` exists and serves this one child (a test's temporary directory).
    explicit Remote(std::filesystem::path directory,
                    std::chrono::milliseconds timeout = std::chrono::seconds(10));

    // "FAKEUSB_CONTROL=<directory>", for the child's environment next to the preload
    // (tf_preload_environment).
    std::string environment() const;

    RemoteDevice addDevice(const fakeusb_device_config& config); // 0 on failure
    bool removeDevice(RemoteDevice device);
    bool unplug(RemoteDevice device);
    bool plug(RemoteDevice device);
    bool reconfigure(RemoteDevice device, const fakeusb_device_config& config);
    // As fakeusb_fail and fakeusb_script_transfer; device 0 with FAKEUSB_OP_INIT.
    bool fail(RemoteDevice device, fakeusb_op op, int error, int times);
    bool scriptTransfer(RemoteDevice device, fakeusb_op direction, int error, int partial,
                        unsigned times);
    bool stall(RemoteDevice device, unsigned char endpoint);
    bool clearTransfers(RemoteDevice device);
    bool reset();

    // The child's counts, calls and transfer logs: live while it runs, as it left them
    // once it has exited. Waits up to the time-out for a child that has not made its
    // first libusb call yet.
    std::optional<Snapshot> snapshot();
    // Polls snapshot() until `done` holds; nothing when the time-out passes first.
    std::optional<Snapshot> waitUntil(const std::function<bool(const Snapshot&)>& done);
    // Whether the child has made a libusb call (it serves, or has left a snapshot).
    bool started() const;

    const std::string& error() const { return error_; }

  private:
    enum class Phase { Setup, Running, Exited };
    Phase phase() const;
    // Sends one command, or adds it to the setup; the reply's text after "ok".
    bool command(const std::string& line, std::string* reply = nullptr);
    bool ask(const std::string& line, std::string& reply);

    std::string directory_;
    std::chrono::milliseconds timeout_;
    RemoteDevice lastDevice_ = 0;
    std::string error_;
};

} // namespace fakeusb
