// Collects the updater's diagnostic log for one test: switches packages on, sends the traces to
// a temporary file and hands back their text.
#pragma once

#include <cstdio>
#include <stdexcept>
#include <string>

#include "Log.h"

namespace tftest {

class LogCapture {
  public:
    explicit LogCapture(unsigned packages) : packages_(packages), file_(tmpfile()) {
        if (!file_) throw std::runtime_error("tmpfile failed");
        Log::SetOutput(file_);
        Log::ActivatePackage(packages_);
    }
    ~LogCapture() {
        Log::SetOutput(nullptr);
        Log::DeactivatePackage(packages_);
        fclose(file_);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::string text() const {
        fflush(file_);
        std::string out;
        rewind(file_);
        char chunk[4096];
        size_t got;
        while ((got = fread(chunk, 1, sizeof chunk, file_)) > 0)
            out.append(chunk, got);
        fseek(file_, 0, SEEK_END); // later traces go after these
        return out;
    }

  private:
    unsigned packages_;
    FILE* file_;
};

} // namespace tftest
