// Client of the In-System Programming protocol of NXP's LPC boot ROMs over a serial port,
// with the flash sector layout of the LPC17xx family.
#pragma once

#include <cstdint>

#include "aStream.h"

// One flash sector: {start address, size in bytes, sector number}.
struct NXPSector {
    uint32_t start;
    uint32_t size;
    uint32_t number;
};
// Sectors 0..29 and a sentinel {0xFFFFFFFF, 0, 30}.
extern const NXPSector NXP_LPC17XX_sectors[31];

class NXPSerialClass {
  public:
    static constexpr uint8_t MAX_ERROR = 20;
    static constexpr float CRYSTAL_DEFAULT = 14.7456f;
    static constexpr int MAX_BYTES_PER_LINE = 45;
    static constexpr int LINES_PER_CHECKSUM = 20;
    static constexpr int MAX_READ_RETRY = 3;
    static constexpr uint32_t WRITE_ADDRESS = 0x10001000;
    static const char* const ERROR_TEXT[MAX_ERROR + 1];

    NXPSerialClass() = default;
    ~NXPSerialClass();
    NXPSerialClass(const NXPSerialClass&) = delete;
    NXPSerialClass& operator=(const NXPSerialClass&) = delete;

    // Opens the port at the first table rate not below baud (above the table: 9600). A boot
    // ROM autobauds once per reset: sync, and then flash, at one rate.
    int Connect(const char* port, uint32_t baud);
    int Disconnect();

    // The autobaud handshake. A chip that is already in command mode (synced by an earlier
    // run) is recognised and taken as it is, its echo state included.
    int Sync();
    // The chip's 128-bit serial number into deviceId; only a well-formed, non-zero one.
    int GetDeviceID();
    int GetPartNumber(long* part);
    int GetBootLoaderVersion(uint8_t* major, uint8_t* minor);
    int Unlock();
    int SetEcho(bool on);
    // Switches the chip's line rate; the local port keeps its own (reconnect to follow).
    int SetBaudRate(uint32_t baud);
    int Prepare(uint32_t first, uint32_t last);
    int Erase(uint32_t first, uint32_t last);
    int Write(uint32_t ramAddress, uint32_t count, const uint8_t* data);
    int Read(uint32_t address, uint32_t count, uint8_t* data);
    int CopyToFlash(uint32_t flashAddress, uint32_t ramAddress, uint32_t count);
    int ExecuteFrom(uint32_t address);

    int Send(const char* text, bool awaitEcho);
    int SendCommand(const char* command, int waitMs);
    // Consumes the echo of the first count characters of text, dropping anything else, until
    // they matched or waitMs passed without them.
    int GetEcho(const char* text, uint64_t count, uint64_t* matched, uint32_t waitMs = kReplyMs);
    // One reply line, NUL-terminated and keeping its CR LF, within waitMs; aErrNotReady
    // when the line did not end (or fill the buffer) in time.
    int GetLine(char* line, uint64_t size, uint64_t* length, uint32_t waitMs);
    // Up to expectedLength bytes (or size - 1 without an expected text) or through CR LF,
    // NUL-terminated, within the line time of those bytes plus a margin.
    int Response(char* buffer, uint64_t size, uint64_t* length, const char* expected,
                 uint64_t expectedLength);
    uint64_t GetErrorIndex(uint64_t length) const;

    static const char* GetErrorText(const char* line);
    static uint32_t sum(const uint8_t* data, uint32_t count);
    static char uuchar(uint32_t value);
    static uint32_t uuencode(char* out, const uint8_t* data, uint32_t count);
    // The line's byte count, or 0 when it does not fit capacity or the line is cut short.
    static uint32_t uudecode(uint8_t* out, uint32_t capacity, const char* line);
    static uint32_t CopyLength(uint32_t count);
    static uint32_t SectorFromAddress(uint32_t address);

    bool echo = true;
    uint32_t baud = 9600;
    uint32_t deviceId[4] = {0, 0, 0, 0};

    // Reply waits. Erasing takes the chip up to about 100 ms a sector.
    static constexpr uint32_t kReplyMs = 1000;
    static constexpr uint32_t kChecksumReplyMs = 2000;
    static constexpr uint32_t kEraseMsPerSector = 200;

  private:
    int Transmit(const char* text);
    int Command(const char* line, const char* name, uint32_t waitMs = kReplyMs);
    int ReadCode(const char* name, uint32_t waitMs);
    int ReadNumber(unsigned long* value);
    bool AlreadySynced(const char* before);
    void Drain(uint32_t quietMs);

    aStream* stream = nullptr;
};
