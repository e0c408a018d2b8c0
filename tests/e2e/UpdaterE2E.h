// The common ground of the end-to-end tests: the updater binary with the fake libusb preloaded
// (an empty bus unless a test drives it), a home directory and a store of the test's own.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TempDir.h"
#include "UpdaterRun.h"

namespace tftest {

// The first two lines of every run that reads its command line.
inline const std::string VERSION_LINE = "Updater (Version: 2.12.5 Jul  6 2026)";
inline const std::string COPYRIGHT_LINE = "Copyright (c) 2026 Keldoran. All rights reserved.";

// The usage head, as lines.
inline std::vector<std::string> usageHead() {
    return {"",
            "Application Usage:",
            "Updater <-B | -D | -G | -U > [-Hh | --help] [-b build_num]",
            "    [-d serial_num]",
            "    [-t transport] [-r router_serial]",
            "    [-s serial_port] [-o baud_rate]",
            "",
            "  Tessaform Update and Maintenance Application",
            "    -H -h or --help for full usage information.",
            ""};
}

inline std::vector<std::string> joined(std::vector<std::string> first,
                                       const std::vector<std::string>& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

class UpdaterE2E : public ::testing::Test {
  protected:
    // The store option every command run carries, so no test touches the real home's store.
    std::vector<std::string> withStore(std::vector<std::string> args) const {
        args.push_back("-i");
        args.push_back(store_.path().string());
        return args;
    }

    UpdaterResult run(const std::vector<std::string>& args, UpdaterRunOptions options = {}) {
        options.environment.push_back(UPDATER_PRELOAD);
        options.environment.push_back("HOME=" + home_.path().string());
        options.environment.insert(options.environment.end(), extraEnvironment_.begin(),
                                   extraEnvironment_.end());
        return runProgram(UPDATER_PROGRAM, args, options);
    }

    TempDir home_;
    TempDir store_;
    std::vector<std::string> extraEnvironment_; // the fake bus's control directory, say
};

} // namespace tftest
