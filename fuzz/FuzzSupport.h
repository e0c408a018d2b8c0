// What the fuzz targets share: a file in memory that each input is written into and that the
// product opens by path, and the log switched on into /dev/null so its formatting runs too.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "Log.h"

namespace tffuzz {

class MemoryFile {
  public:
    explicit MemoryFile(const char* name)
        : fd_(memfd_create(name, 0)), path_("/proc/self/fd/" + std::to_string(fd_)) {
        if (fd_ < 0) abort();
    }
    // Replaces the contents; returns the path that opens them.
    const char* write(const uint8_t* data, size_t size) {
        if (ftruncate(fd_, 0) != 0) abort();
        for (size_t done = 0; done < size;) {
            ssize_t put = pwrite(fd_, data + done, size - done, static_cast<off_t>(done));
            if (put <= 0) abort();
            done += static_cast<size_t>(put);
        }
        return path_.c_str();
    }

  private:
    int fd_;
    std::string path_;
};

inline void traceInto(unsigned packages) {
    static FILE* sink = fopen("/dev/null", "w");
    Log::SetOutput(sink);
    Log::ActivatePackage(packages);
}

// A broken promise of the code under test: a crash the fuzzer records.
inline void check(bool holds) {
    if (!holds) __builtin_trap();
}

} // namespace tffuzz
