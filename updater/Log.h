// The updater's diagnostic log: developer traces grouped into packages by bit, written to one
// stream. Only what the firmware and attribute files need so far; the console display joins it.
#pragma once

#include <cstdio>

// Package bits; a trace under mask 0 is always written.
constexpr unsigned DEBUG_Attributes = 0x00000004;
constexpr unsigned DEBUG_BirdFile = 0x00000008;

class Log {
  public:
    // Writes the formatted trace, as it is (no prefix, no newline), when mask is 0 or shares a
    // bit with the packages switched on. One write per trace, so a trace from another thread
    // never lands inside it.
    static void log(unsigned mask, const char* format, ...) __attribute__((format(printf, 2, 3)));

    // A null stream switches traces off.
    static void SetOutput(FILE* stream);
    static void ActivatePackage(unsigned bits);
    static void DeactivatePackage(unsigned bits);

    static unsigned package_bitmask;
    static FILE* fh;
};
