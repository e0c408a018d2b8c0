// The diagnostic log: developer traces by package bit, switched on with -X. Static only,
// used without an object from the updater and the recovery clients.
#pragma once

#include <cstdio>

// Package bits as the usage text lists them. The usage text names 0x10 DEBUG_Network as
// well; the traces of the network use 0x100.
enum LogPackage : unsigned {
    DEBUG_Updater = 0x00000001,
    DEBUG_History = 0x00000002,
    DEBUG_Attributes = 0x00000004,
    DEBUG_BirdFile = 0x00000008,
    DEBUG_Network_Low = 0x00000010,
    DEBUG_ServerComm = 0x00000020,
    DEBUG_Network = 0x00000100,
    DEBUG_Network_SR = 0x00000200,
    DEBUG_Network_FIRM = 0x00000400,
    DEBUG_NXPSerial = 0x00001000,
    DEBUG_NXPSerial_E = 0x00002000,
    DEBUG_NXPSerial_SR = 0x00004000,
    DEBUG_APP = 0x00010000,
    DEBUG_iMXSerial = 0x10000000,
};

class Log {
  public:
    static unsigned package_bitmask;
    static FILE* fh;
    static bool timestamped;
    static constexpr const char* TIMESTAMP_FORMAT = "%Y:%m:%d:%H:%M:%S";
    static constexpr const char* SEPARATOR = " | ";

    // Writes the trace exactly as formatted (no prefix, no newline) in one write, when mask is
    // 0 or any of its bits is switched on. Callers on several threads never split each
    // other's traces.
    static void log(unsigned mask, const char* format, ...) __attribute__((format(printf, 2, 3)));
    // A null stream switches traces off.
    static void SetOutput(FILE* stream) { fh = stream; }
    static void ActivatePackage(unsigned bits) { package_bitmask |= bits; }
    static void DeactivatePackage(unsigned bits) { package_bitmask &= ~bits; }
};
