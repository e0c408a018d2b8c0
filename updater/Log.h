// The updater's diagnostic log: developer traces grouped into packages by bit, each trace
// written to one stream in a single write, so that traces of two threads never interleave.
#pragma once

#include <cstdio>

// Package bits of the traces (the -X option switches them on).
enum : unsigned {
    DEBUG_ServerComm = 0x00000020, // update-server requests and the HTTP client
};

class Log {
  public:
    // Writes the formatted trace when mask is 0 or shares a bit with the packages switched on.
    static void log(unsigned mask, const char* format, ...) __attribute__((format(printf, 2, 3)));
    // A null stream switches trace output off.
    static void SetOutput(FILE* stream);
    static void ActivatePackage(unsigned bits);
    static void DeactivatePackage(unsigned bits);

  private:
    static unsigned package_bitmask;
    static FILE* fh;
};
