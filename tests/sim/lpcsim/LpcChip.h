// A simulated LPC17xx boot ROM: NXP's In-System Programming protocol as a byte-in, bytes-out
// state machine with a flash and RAM model and switchable faults. No I/O of its own.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace lpcsim {

constexpr uint32_t kFlashSize = 0x80000; // sectors 0..15 of 4 KB, 16..29 of 32 KB
constexpr uint32_t kRamStart = 0x10000000;
constexpr uint32_t kRamSize = 0x8000;
constexpr unsigned kSectors = 30;
constexpr unsigned kUnlockCode = 23130;

struct Faults {
    bool silent = false;            // answers nothing at all, not even the autobaud "?"
    std::set<char> silentOn;        // command letters whose lines get no answer
    std::map<char, int> returnCode; // command letter -> code answered instead of running it
    int resendTimes = 0;            // Write checksums answered "RESEND" regardless
    int badChecksumAnswers = 0;     // Write checksums answered with a line that means nothing
    int badReadChecksums = 0;       // Read blocks sent with a wrong checksum
    int noisyReplies = 0;           // replies preceded by line noise
    bool alreadySynced = false;     // the handshake was done before the host came
    bool startEchoOff = false;      // with alreadySynced: an earlier host switched echo off
    bool crEndsLines = false;       // a CR ends a line (echoed) and an LF is only echoed
    bool hexSerial = false;         // the serial-number words printed as 0x%08X
    bool noisyWords = false;        // line noise before every "OK" and "RESEND" line
    unsigned eraseMsPerSector = 0;  // how long an erase takes
};

struct Identity {
    uint32_t partId = 0x26013F37; // LPC1768
    std::array<uint32_t, 4> serial = {0x12345678, 0x9ABCDEF0, 0x0BADF00D, 0x600DCAFE};
    unsigned bootMajor = 4, bootMinor = 1;
};

// What the chip says to one arrival of bytes: pieces with a pause before each.
struct Chunk {
    unsigned delayMs = 0;
    std::string bytes;
};
using Output = std::vector<Chunk>;

class Chip {
  public:
    explicit Chip(Faults faults = {}, Identity identity = {});

    // Bytes from the host, sent at lineRate bits per second. Once autobauding has locked a
    // rate, bytes at any other rate are garbled on the line and lost.
    void receive(const uint8_t* data, size_t count, unsigned lineRate, Output& out);

    Faults& faults() { return faults_; }
    const std::vector<uint8_t>& flash() const { return flash_; }
    const std::vector<uint8_t>& ram() const { return ram_; }
    std::vector<uint8_t>& flashForTest() { return flash_; }
    // Every line the host sent in command mode, in order, without its CR LF.
    const std::vector<std::string>& commands() const { return commands_; }
    // The host's bytes before the command mode began (the handshake).
    const std::string& handshake() const { return handshake_; }
    unsigned lockedRate() const { return lockedRate_; }
    size_t garbledBytes() const { return garbled_; }
    bool echo() const { return echo_; }
    bool running() const { return mode_ == Mode::Running; }
    uint32_t startAddress() const { return startAddress_; }
    int syncCount() const { return syncs_; }
    int writeBlocksAccepted() const { return writeBlocks_; }
    int readBlocksSent() const { return readBlocks_; }

  private:
    enum class Mode { AutoBaud, SyncWord, Crystal, Command, WriteData, ReadWait, Running };

    void byte(char c, unsigned lineRate, Output& out);
    void line(const std::string& text, Output& out);
    void command(const std::string& text, Output& out);
    void writeLine(const std::string& text, Output& out);
    void readAnswer(const std::string& text, Output& out);
    void sendReadBlock(Output& out);
    void reply(Output& out, const std::string& text, unsigned delayMs = 0);
    void code(Output& out, int value, unsigned delayMs = 0);
    std::string wordLine(const char* word) const;
    bool inRam(uint64_t address, uint64_t count) const;
    bool prepared(uint32_t first, uint32_t last) const;

    Faults faults_;
    Identity id_;
    Mode mode_ = Mode::AutoBaud;
    std::string line_;
    bool echo_ = true;
    bool unlocked_ = false;
    unsigned lockedRate_ = 0;
    unsigned pendingRate_ = 0;
    std::array<bool, kSectors> prepared_{};
    std::vector<uint8_t> flash_;
    std::vector<uint8_t> ram_;
    std::vector<std::string> commands_;
    std::string handshake_;
    size_t garbled_ = 0;
    int syncs_ = 0;
    uint32_t startAddress_ = 0;
    char letter_ = 0; // the command being answered
    // Write to RAM in progress.
    uint32_t wAddress_ = 0, wCount_ = 0, wDone_ = 0;
    int wLines_ = 0;
    std::vector<uint8_t> wBlock_;
    int writeBlocks_ = 0;
    // Read in progress.
    uint32_t rAddress_ = 0, rCount_ = 0, rDone_ = 0, rBlock_ = 0;
    int readBlocks_ = 0;
};

// The published uuencoding of the protocol: a count character, then 4 characters per 3 bytes,
// a zero sextet written as '`'.
std::string uuencodeLine(const uint8_t* data, size_t count);
// Decodes one line (without its line end); false when it is shorter than its count needs.
bool uudecodeLine(const std::string& line, std::vector<uint8_t>& out);

// Flash sector of an address, kSectors when outside.
unsigned sectorOf(uint32_t address);

} // namespace lpcsim
