// The fixture update server (tests/fixtures/update_server.py) as a child process on a free
// loopback port, with the builds it answers from and the raw request targets it received.
#pragma once

#include "TempDir.h"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace tftest {

// The builds most tests ask for: device 000012AB with builds 77 (the latest, firmware "F"),
// 76 and 100, and the fingerprint 1 2 3 4 naming its build 77; device 000012AC's firmware name
// needs escaping in a query.
constexpr unsigned FIXTURE_SERIAL = 0x12AB;
constexpr unsigned FIXTURE_ODD_NAME_SERIAL = 0x12AC;
constexpr const char* FIXTURE_ODD_NAME = "A B&c=d/\xC3\xA9";
// 256 bytes, every value once: a length of 1 mod 3, so its Base64 text ends in "==".
inline std::string fixturePayload() {
    std::string bytes;
    for (int i = 0; i < 256; ++i)
        bytes += static_cast<char>(255 - i);
    return bytes;
}

inline std::string fixtureBuilds() {
    std::string hex;
    for (char byte : fixturePayload()) {
        const auto c = static_cast<unsigned char>(byte);
        static constexpr char DIGITS[] = "0123456789abcdef";
        hex += DIGITS[c >> 4];
        hex += DIGITS[c & 0xF];
    }
    return R"({"devices": {
      "000012AB": {"latest": "77", "firmware": "F", "builds": [
        {"build": "77", "version": "2.12.5", "payload": ")" +
           hex + R"("},
        {"build": "76", "version": "2.9.0", "payload": "00"},
        {"build": "100", "version": "2.12.10", "payload": "01"}]},
      "000012AC": {"latest": "5", "firmware": "A B&c=d/\u00e9", "builds": [
        {"build": "5", "version": "1.0.0", "payload": "0102"}]}},
    "fingerprints": {"00000001 00000002 00000003 00000004": {"serial": "000012AB", "build": "77"}}
    })";
}

struct FixtureServerOptions {
    bool tls = false;
    std::string fault;  // a fault switch of the script, empty for none
    std::string builds; // the builds file's JSON in place of fixtureBuilds(), empty for those
};

class FixtureUpdateServer {
  public:
    using Options = FixtureServerOptions;

    explicit FixtureUpdateServer(Options options = {}) : tls_(options.tls) {
        const std::string builds = options.builds.empty() ? fixtureBuilds() : options.builds;
        std::vector<std::string> args = {TF_PYTHON3,   TF_UPDATE_SERVER_SCRIPT,
                                         "--builds",   dir_.write("builds.json", builds),
                                         "--requests", dir_ / "requests.txt"};
        if (options.tls) args.insert(args.end(), {"--tls", dir_.path().string()});
        if (!options.fault.empty()) args.insert(args.end(), {"--fault", options.fault});
        start(args);
    }
    ~FixtureUpdateServer() {
        kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
    }
    FixtureUpdateServer(const FixtureUpdateServer&) = delete;
    FixtureUpdateServer& operator=(const FixtureUpdateServer&) = delete;

    // localhost for HTTPS, since the certificate names it (as well as 127.0.0.1).
    std::string url() const {
        return std::string(tls_ ? "https://localhost:" : "http://127.0.0.1:") +
               std::to_string(port_) + "/cgi/u";
    }
    // Every request target received so far, in order.
    std::vector<std::string> requests() const {
        std::istringstream in(readFile(dir_ / "requests.txt"));
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        return lines;
    }
    std::string lastRequest() const {
        std::vector<std::string> all = requests();
        return all.empty() ? "" : all.back();
    }

  private:
    void start(const std::vector<std::string>& args) {
        int out[2];
        if (pipe(out) != 0) throw std::runtime_error("pipe failed");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        std::vector<char*> argv;
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        const int failed = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        if (failed) {
            close(out[0]);
            throw std::runtime_error("cannot start the fixture update server");
        }
        // The first line is the port; generous, since certificate making and start-up run on a
        // shared machine.
        std::string line;
        pollfd p{out[0], POLLIN, 0};
        char c = 0;
        while (poll(&p, 1, 20000) == 1 && read(out[0], &c, 1) == 1 && c != '\n')
            line += c;
        close(out[0]);
        port_ = line.empty() ? 0 : std::stoi(line);
        if (port_ == 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
            throw std::runtime_error("the fixture update server did not start");
        }
    }

    TempDir dir_;
    bool tls_;
    pid_t pid_ = 0;
    int port_ = 0;
};

} // namespace tftest
