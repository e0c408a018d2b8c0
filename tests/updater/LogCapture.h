// Catches the diagnostic log's update-server traces in a temporary file for a test to read.
#pragma once

#include "Log.h"

#include <cstdio>
#include <string>

namespace tftest {

class LogCapture {
  public:
    LogCapture() : file_(tmpfile()) {
        Log::SetOutput(file_);
        Log::ActivatePackage(DEBUG_ServerComm);
    }
    ~LogCapture() {
        Log::DeactivatePackage(DEBUG_ServerComm);
        Log::SetOutput(nullptr);
        if (file_) fclose(file_);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::string text() const {
        if (!file_) return "";
        fflush(file_);
        std::string all;
        rewind(file_);
        char buffer[4096];
        for (size_t n; (n = fread(buffer, 1, sizeof buffer, file_)) > 0;)
            all.append(buffer, n);
        fseek(file_, 0, SEEK_END);
        return all;
    }

  private:
    FILE* file_;
};

} // namespace tftest
