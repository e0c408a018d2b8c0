// The LPC In-System Programming client: line-oriented commands with decimal return codes,
// uuencoded data blocks with checksums, over a plain serial stream.
#include "NXPSerialClass.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Log.h"
#include "aStream_Serial.h"
#include "aTime.h"

const NXPSector NXP_LPC17XX_sectors[31] = {
    {0x00000, 0x1000, 0},  {0x01000, 0x1000, 1},  {0x02000, 0x1000, 2},  {0x03000, 0x1000, 3},
    {0x04000, 0x1000, 4},  {0x05000, 0x1000, 5},  {0x06000, 0x1000, 6},  {0x07000, 0x1000, 7},
    {0x08000, 0x1000, 8},  {0x09000, 0x1000, 9},  {0x0A000, 0x1000, 10}, {0x0B000, 0x1000, 11},
    {0x0C000, 0x1000, 12}, {0x0D000, 0x1000, 13}, {0x0E000, 0x1000, 14}, {0x0F000, 0x1000, 15},
    {0x10000, 0x8000, 16}, {0x18000, 0x8000, 17}, {0x20000, 0x8000, 18}, {0x28000, 0x8000, 19},
    {0x30000, 0x8000, 20}, {0x38000, 0x8000, 21}, {0x40000, 0x8000, 22}, {0x48000, 0x8000, 23},
    {0x50000, 0x8000, 24}, {0x58000, 0x8000, 25}, {0x60000, 0x8000, 26}, {0x68000, 0x8000, 27},
    {0x70000, 0x8000, 28}, {0x78000, 0x8000, 29}, {0xFFFFFFFF, 0, 30},
};

const char* const NXPSerialClass::ERROR_TEXT[MAX_ERROR + 1] = {
    "CMD_SUCCESS",         "INVALID_COMMAND",
    "SRC_ADDR_ERROR",      "DST_ADDR_ERROR",
    "SRC_ADDR_NOT_MAPPED", "DST_ADDR_NOT_MAPPED",
    "COUNT_ERROR",         "INVALID_SECTOR",
    "SECTOR_NOT_BLANK",    "SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION",
    "COMPARE_ERROR",       "BUSY",
    "PARAM_ERROR",         "ADDR_ERROR",
    "ADDR_NOT_MAPPED",     "CMD_LOCKED",
    "INVALID_CODE",        "INVALID_BAUD_RATE",
    "INVALID_STOP_BIT",    "CODE_READ_PROTECTION_ENABLED",
    "Unknown error",
};

namespace {

// Positions are the serial stream's baud indices.
const uint32_t kRates[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400, 0};
constexpr uint32_t kDefaultRate = 2;
constexpr uint64_t kTermination = 2; // CR LF
constexpr size_t kLineSize = 1024;
constexpr size_t kNumberLineSize = 32;
// A sync that gets no answer is tried this often; the chip may have missed the "?".
constexpr int kSyncAttempts = 3;
// Past the line time of a reply, how long a late chip gets.
constexpr uint32_t kResponseMarginMs = 500;
constexpr uint32_t kSyncedProbeMs = 300;
// Bytes a wait passes over (stray echo bytes, blank line ends, NULs) before it gives up: a
// line that never stops carrying them would otherwise hold the wait for ever, since the
// deadline only counts while the line is quiet.
constexpr size_t kMaxStrayBytes = 512;

// The stray bytes one wait may still pass over.
class StrayBudget {
  public:
    // False once the wait has passed over too many.
    bool take() {
        if (left_ == 0) return false;
        left_--;
        return true;
    }

  private:
    size_t left_ = kMaxStrayBytes;
};

// Milliseconds that characters take on the line (10 bits each, rounded up), plus one.
uint64_t WAIT_TIME_MS(uint64_t characters, uint32_t baud) {
    return (characters * 9000 + 18000) / baud + 1;
}

// "XX XX] [chars" for the traces: the bytes in hexadecimal, then as text.
std::string dump(const char* data, size_t count) {
    std::string hex, text;
    char b[4];
    for (size_t i = 0; i < count; i++) {
        auto c = static_cast<unsigned char>(data[i]);
        snprintf(b, sizeof b, "%s%02X", i ? " " : "", c);
        hex += b;
        if (c == '\r')
            text += "\\r";
        else if (c == '\n')
            text += "\\n";
        else
            text += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : ' ';
    }
    return hex + "] [" + text;
}

class Deadline {
  public:
    explicit Deadline(uint64_t ms) : end_(aTime_GetMonotonicMSTicks() + ms) {}
    bool passed() const { return aTime_GetMonotonicMSTicks() >= end_; }

  private:
    uint64_t end_;
};

// The serial stream never waits for a byte, so the waiting is done here, in 1 ms sleeps:
// one byte, aErrNotReady once the deadline has passed, or the stream's failure.
aErr nextByte(aStream* stream, const Deadline& deadline, uint8_t* byte) {
    for (;;) {
        aErr err = aStream_Read(stream, byte, 1);
        if (err != aErrNotReady || deadline.passed()) return err;
        aTime_MSSleep(1);
    }
}

// The text of a reply line before its CR LF, or false when the line did not end.
bool lineBody(const char* line, uint64_t length, std::string& body) {
    if (length < kTermination || line[length - 2] != '\r' || line[length - 1] != '\n') return false;
    body.assign(line, length - kTermination);
    return true;
}

// A reply line's word, after any line noise ahead of it (not after letters or digits:
// "NOK" is not "OK").
bool endsWithWord(const char* line, uint64_t length, const char* word) {
    std::string body;
    const size_t n = strlen(word);
    if (!lineBody(line, length, body) || body.size() < n ||
        body.compare(body.size() - n, n, word) != 0)
        return false;
    return body.size() == n || !isalnum(static_cast<unsigned char>(body[body.size() - n - 1]));
}

bool allDigits(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

} // namespace

NXPSerialClass::~NXPSerialClass() {
    Disconnect();
}

int NXPSerialClass::Connect(const char* port, uint32_t requested) {
    Disconnect();
    uint32_t position = kDefaultRate;
    for (uint32_t i = 0; kRates[i] != 0; i++) {
        if (kRates[i] >= requested) {
            position = i;
            break;
        }
    }
    baud = kRates[position];
    Log::log(DEBUG_NXPSerial, "Creating serial connection: [%s] stream baud:%d(%d)\n", port,
             static_cast<int>(position), static_cast<int>(baud));
    aErr err = aStream_CreateSerial(port, position, 0, 0, 0, &stream);
    if (err != aErrNone) {
        Log::log(DEBUG_NXPSerial, "Error Creating Serial [%s] ==> %s", port,
                 aError_GetErrorText(err));
        return err;
    }
    return aErrNone;
}

int NXPSerialClass::Disconnect() {
    if (stream) aStream_Destroy(&stream);
    return aErrNone;
}

int NXPSerialClass::Transmit(const char* text) {
    size_t length = strlen(text);
    Log::log(DEBUG_NXPSerial_SR, "Sending:[%s]\n", dump(text, length).c_str());
    if (!stream) return aErrConnection;
    aErr err = aStream_Write(stream, reinterpret_cast<const uint8_t*>(text), length);
    if (err != aErrNone)
        Log::log(DEBUG_NXPSerial, "Error Test_Serial_Send() [%s]\n", aError_GetErrorText(err));
    return err;
}

int NXPSerialClass::Send(const char* text, bool awaitEcho) {
    int err = Transmit(text);
    size_t length = strlen(text);
    if (err == aErrNone && awaitEcho && length > 1) {
        uint64_t matched = 0;
        GetEcho(text, length - 1, &matched);
    }
    return err;
}

int NXPSerialClass::SendCommand(const char* command, int waitMs) {
    int err = Transmit(command);
    if (waitMs > 0) {
        Log::log(DEBUG_NXPSerial_E, "SendCommand() wait for command completion [%d ms]\n", waitMs);
        aTime_MSSleep(static_cast<uint64_t>(waitMs));
    }
    if (err != aErrNone) {
        Log::log(DEBUG_NXPSerial, "Error Write Serial [%s]\n",
                 aError_GetErrorText(static_cast<aErr>(err)));
        return err;
    }
    size_t length = strlen(command);
    if (echo && length > 1) {
        uint64_t matched = 0;
        GetEcho(command, length - 1, &matched);
        if (matched != length - 1)
            Log::log(DEBUG_NXPSerial_E, "Error SendCommand() bad echo [%d!=%d]\n",
                     static_cast<int>(matched), static_cast<int>(length));
    }
    return aErrNone;
}

int NXPSerialClass::GetEcho(const char* text, uint64_t count, uint64_t* matched, uint32_t waitMs) {
    *matched = 0;
    if (!stream) return aErrConnection;
    Log::log(DEBUG_NXPSerial_E, "GetEcho([%s] %d, ...)\n", dump(text, count).c_str(),
             static_cast<int>(count));
    Deadline deadline(waitMs);
    aErr err = aErrNone;
    std::string seen;
    StrayBudget stray;
    while (*matched < count) {
        uint8_t b = 0;
        if ((err = nextByte(stream, deadline, &b)) != aErrNone) break;
        // Anything but the next expected character is line noise or a stale byte.
        if (static_cast<char>(b) == text[*matched]) {
            (*matched)++;
        } else if (!stray.take()) {
            err = aErrIO;
            break;
        }
        if (seen.size() < kLineSize) seen += static_cast<char>(b);
    }
    Log::log(DEBUG_NXPSerial_E, "recv Echo:[%s]\n", dump(seen.data(), seen.size()).c_str());
    return *matched == count ? aErrNone : err;
}

int NXPSerialClass::GetLine(char* line, uint64_t size, uint64_t* length, uint32_t waitMs) {
    *length = 0;
    if (size < 2) return aErrParam;
    line[0] = '\0';
    if (!stream) return aErrConnection;
    Deadline deadline(waitMs);
    aErr err = aErrNone;
    int term = 0;
    StrayBudget stray;
    while (*length < size - 1 && term < 2) {
        uint8_t b = 0;
        if ((err = nextByte(stream, deadline, &b)) != aErrNone) break;
        // The LF of a line whose CR an echo wait consumed.
        if (b == '\n' && *length == 0) {
            if (stray.take()) continue;
            err = aErrIO;
            break;
        }
        line[(*length)++] = static_cast<char>(b);
        term = b == "\r\n"[term] ? term + 1 : (b == '\r' ? 1 : 0);
    }
    line[*length] = '\0';
    bool complete = term == 2 || *length == size - 1;
    Log::log(DEBUG_NXPSerial_SR, "GetLine() Received: [%s] %d %s [%s]\n",
             dump(line, *length).c_str(), static_cast<int>(*length), term ? "term" : "non-term",
             aError_GetErrorText(complete ? aErrNone : err));
    if (complete) return aErrNone;
    return err == aErrNone ? aErrNotReady : err;
}

int NXPSerialClass::Response(char* buffer, uint64_t size, uint64_t* length, const char* expected,
                             uint64_t expectedLength) {
    *length = 0;
    if (size < 2) return aErrParam;
    buffer[0] = '\0';
    if (!stream) return aErrConnection;
    uint64_t limit = expected ? std::min(expectedLength, size - 1) : size - 1;
    uint64_t wait = WAIT_TIME_MS(limit, baud) + kResponseMarginMs;
    Log::log(DEBUG_NXPSerial_E, "Response() wait for serial [%d bytes, %d, %d ms]\n",
             static_cast<int>(limit), static_cast<int>(baud), static_cast<int>(wait));
    Deadline deadline(wait);
    aErr err = aErrNone;
    int term = 0;
    StrayBudget stray;
    while (*length < limit && term < 2) {
        uint8_t b = 0;
        if ((err = nextByte(stream, deadline, &b)) != aErrNone) break;
        const bool skipped = (*length == 0 && (b == '\n' || b == '\r')) || (*length < 3 && b == 0);
        if (skipped) {
            if (stray.take()) continue;
            err = aErrIO;
            break;
        }
        if (expected && static_cast<char>(b) != expected[*length])
            Log::log(DEBUG_NXPSerial_E,
                     "Error Test_Serial_Response() Expected byte %d does not match [[%02X] %c "
                     "!= %c [%02X]]\n",
                     static_cast<int>(*length), b, isprint(b) ? b : ' ',
                     isprint(expected[*length]) ? expected[*length] : ' ',
                     static_cast<unsigned char>(expected[*length]));
        buffer[(*length)++] = static_cast<char>(b);
        term = b == "\r\n"[term] ? term + 1 : (b == '\r' ? 1 : 0);
    }
    buffer[*length] = '\0';
    Log::log(DEBUG_NXPSerial_SR, "Response: [%s]\n", dump(buffer, *length).c_str());
    if (*length == limit || term == 2) return aErrNone;
    return err == aErrNone ? aErrNotReady : err;
}

void NXPSerialClass::Drain(uint32_t quietMs) {
    Deadline cap(kReplyMs);
    Deadline quiet(quietMs);
    while (stream && !quiet.passed() && !cap.passed()) {
        uint8_t b = 0;
        if (aStream_Read(stream, &b, 1) == aErrNone)
            quiet = Deadline(quietMs);
        else
            aTime_MSSleep(1);
    }
}

// Only a chip in command mode answers a line with a return code: "?" CR LF gets one, after
// the "?" (and the CR) echoed when its echo is on.
bool NXPSerialClass::AlreadySynced(const char* before) {
    bool echoed = strchr(before, '?') != nullptr;
    if (Send("\r\n", false) != aErrNone) return false;
    char line[kNumberLineSize];
    uint64_t length = 0;
    for (int i = 0; i < 3 && GetLine(line, sizeof line, &length, kSyncedProbeMs) == aErrNone; i++) {
        std::string body;
        if (!lineBody(line, length, body)) continue;
        // A chip that ends a command line at CR echoes it before the code and its LF after.
        size_t start = body.find_first_not_of("?\r\n");
        if (start != 0 && start != std::string::npos) echoed = true;
        if (start == std::string::npos) {
            echoed = echoed || !body.empty();
            continue;
        }
        if (allDigits(body.substr(start))) {
            echo = echoed;
            Log::log(DEBUG_NXPSerial, "Device already synchronized (echo %d)\n", echo ? 1 : 0);
            return true;
        }
    }
    return false;
}

int NXPSerialClass::Sync() {
    static const char kSynchronized[] = "Synchronized\r\n";
    static const char kOK[] = "OK\r\n";
    char reply[64];
    uint64_t length = 0;
    int err = aErrNotReady;
    bool synced = false;
    for (int attempt = 0; attempt < kSyncAttempts && !synced; attempt++) {
        if (attempt > 0) Drain(50);
        if ((err = Send("?", false)) != aErrNone) return err;
        err = Response(reply, sizeof reply, &length, kSynchronized, strlen(kSynchronized));
        if (err == aErrNone && strcmp(reply, kSynchronized) == 0) {
            synced = true;
            break;
        }
        Log::log(DEBUG_NXPSerial,
                 "Did not receive correct response to opening sync command: [%s]. Response: "
                 "[%s]\n",
                 kSynchronized, reply);
        if (AlreadySynced(reply)) return aErrNone;
    }
    if (!synced) return err == aErrNone ? aErrIO : err;

    // The chip echoes the two lines that follow before it confirms each.
    char crystal[16];
    snprintf(crystal, sizeof crystal, "%d\r\n", static_cast<int>(CRYSTAL_DEFAULT * 1000.0f + 0.5f));
    for (const char* text :
         {static_cast<const char*>(kSynchronized), static_cast<const char*>(crystal)}) {
        if ((err = Send(text, false)) != aErrNone) return err;
        uint64_t echoLength = strlen(text) - 1;
        err = Response(reply, sizeof reply, &length, text, echoLength);
        if (err != aErrNone) return err;
        if (strncmp(reply, text, echoLength) != 0) {
            Log::log(DEBUG_NXPSerial, "Did not receive correct response [%s]\n", text);
            return aErrIO;
        }
        // Line noise may come ahead of the word; the line must end in it.
        err = GetLine(reply, sizeof reply, &length, kReplyMs);
        if (err != aErrNone) return err;
        if (!endsWithWord(reply, length, "OK")) {
            Log::log(DEBUG_NXPSerial, "Did not receive correct response [%s] != [%s]\n", reply,
                     kOK);
            return aErrIO;
        }
    }
    // A boot ROM comes out of the handshake echoing, whatever an earlier session left.
    echo = true;
    return aErrNone;
}

uint64_t NXPSerialClass::GetErrorIndex(uint64_t length) const {
    return echo && length > kTermination ? length - 3 : 0;
}

const char* NXPSerialClass::GetErrorText(const char* line) {
    char* end = nullptr;
    errno = 0;
    long code = strtol(line, &end, 10);
    if (end == line || errno != 0 || code < 0 || code > MAX_ERROR) return ERROR_TEXT[MAX_ERROR];
    return ERROR_TEXT[code];
}

// The return code is the run of digits that ends the line (noise or a stale echo may come
// before it); only the single digit 0 is success.
int NXPSerialClass::ReadCode(const char* name, uint32_t waitMs) {
    char line[kLineSize];
    uint64_t length = 0;
    int err = GetLine(line, sizeof line, &length, waitMs);
    std::string body;
    if (err != aErrNone || !lineBody(line, length, body)) {
        Log::log(DEBUG_NXPSerial, "Error no response to command [%s] [%s]\n", name ? name : "",
                 aError_GetErrorText(static_cast<aErr>(err)));
        return err == aErrNotReady || err == aErrNone ? aErrTimeout : err;
    }
    size_t start = body.find_last_not_of("0123456789");
    std::string code = start == std::string::npos ? body : body.substr(start + 1);
    if (code == "0") return aErrNone;
    if (name) Log::log(DEBUG_NXPSerial, "Error response ==>[%s]\n", GetErrorText(code.c_str()));
    return aErrParam;
}

int NXPSerialClass::Command(const char* line, const char* name, uint32_t waitMs) {
    int err = SendCommand(line, 0);
    if (err != aErrNone) {
        Log::log(DEBUG_NXPSerial, "Error Sending command [%s] [%s]\n", line,
                 aError_GetErrorText(static_cast<aErr>(err)));
        return err;
    }
    return ReadCode(name, waitMs);
}

// A decimal line that fits 32 bits; anything else is a reply this client cannot trust.
int NXPSerialClass::ReadNumber(unsigned long* value) {
    char line[kNumberLineSize];
    uint64_t length = 0;
    int err = GetLine(line, sizeof line, &length, kReplyMs);
    if (err == aErrNotReady) return aErrTimeout;
    if (err != aErrNone) return err;
    // Decimal as the chips print it, or hexadecimal or octal in C's notation; the whole line,
    // no sign, at most 32 bits.
    std::string body;
    char* end = nullptr;
    errno = 0;
    unsigned long long v = 0;
    if (lineBody(line, length, body) && !body.empty() &&
        isdigit(static_cast<unsigned char>(body[0])))
        v = strtoull(body.c_str(), &end, 0);
    if (end == nullptr || *end != '\0' || errno != 0 || v > UINT32_MAX) {
        Log::log(DEBUG_NXPSerial, "Error reply is not a number [%s]\n", line);
        return aErrParse;
    }
    *value = static_cast<unsigned long>(v);
    return aErrNone;
}

int NXPSerialClass::GetDeviceID() {
    int err = Command("N\r\n", "N");
    if (err != aErrNone) return err;
    unsigned long words[4];
    for (unsigned long& w : words)
        if ((err = ReadNumber(&w)) != aErrNone) return err;
    if ((words[0] | words[1] | words[2] | words[3]) == 0) {
        Log::log(DEBUG_NXPSerial, "Error device serial number is all zero\n");
        return aErrParse;
    }
    for (int i = 0; i < 4; i++)
        deviceId[i] = static_cast<uint32_t>(words[i]);
    return aErrNone;
}

int NXPSerialClass::GetPartNumber(long* part) {
    int err = Command("J\r\n", "J");
    unsigned long v = 0;
    if (err == aErrNone) err = ReadNumber(&v);
    if (err != aErrNone) return err;
    *part = static_cast<long>(v);
    Log::log(DEBUG_NXPSerial, "Device responded with part number: %lld\n",
             static_cast<long long>(*part));
    return aErrNone;
}

int NXPSerialClass::GetBootLoaderVersion(uint8_t* major, uint8_t* minor) {
    int err = Command("K\r\n", "K");
    unsigned long hi = 0, lo = 0;
    if (err == aErrNone) err = ReadNumber(&hi);
    if (err == aErrNone) err = ReadNumber(&lo);
    if (err != aErrNone) return err;
    *major = static_cast<uint8_t>(hi);
    *minor = static_cast<uint8_t>(lo);
    Log::log(DEBUG_NXPSerial, "Device responded with version: %d.%d\n", *major, *minor);
    return aErrNone;
}

int NXPSerialClass::Unlock() {
    return Command("U 23130\r\n", nullptr);
}

int NXPSerialClass::SetEcho(bool on) {
    Log::log(DEBUG_NXPSerial, "Setting device echo %d\n", on ? 1 : 0);
    int err = Command(on ? "A 1\r\n" : "A 0\r\n", "A");
    if (err == aErrNone) echo = on;
    return err;
}

int NXPSerialClass::SetBaudRate(uint32_t rate) {
    char line[48];
    snprintf(line, sizeof line, "B %u %d\r\n", rate, 1);
    return Command(line, "B");
}

int NXPSerialClass::Prepare(uint32_t first, uint32_t last) {
    if (last < first) return aErrParam;
    char line[48];
    snprintf(line, sizeof line, "P %u %u\r\n", first, last);
    return Command(line, "P");
}

int NXPSerialClass::Erase(uint32_t first, uint32_t last) {
    if (last < first) return aErrParam;
    char line[48];
    snprintf(line, sizeof line, "E %u %u\r\n", first, last);
    uint64_t sectors = static_cast<uint64_t>(last) - first + 1;
    return Command(
        line, "E",
        static_cast<uint32_t>(kReplyMs + std::min<uint64_t>(sectors, 64) * kEraseMsPerSector));
}

int NXPSerialClass::CopyToFlash(uint32_t flashAddress, uint32_t ramAddress, uint32_t count) {
    if (flashAddress % 256 != 0) return aErrParam;
    if (count != 256 && count != 512 && count != 1024 && count != 4096) return aErrParam;
    char line[64];
    snprintf(line, sizeof line, "C %u %u %u\r\n", flashAddress, ramAddress, count);
    return Command(line, "C");
}

int NXPSerialClass::ExecuteFrom(uint32_t address) {
    char line[32];
    snprintf(line, sizeof line, "G %u T\r\n", address);
    return SendCommand(line, 0);
}

int NXPSerialClass::Write(uint32_t ramAddress, uint32_t count, const uint8_t* data) {
    if (count == 0 || count % 4 != 0 || !data) return aErrParam;
    char line[kLineSize];
    snprintf(line, sizeof line, "W %u %u\r\n", ramAddress, count);
    int err = Command(line, "W");
    if (err != aErrNone) return err;

    uint32_t sent = 0, acknowledged = 0;
    int lines = 0, attempts = MAX_READ_RETRY;
    while (sent < count) {
        uint32_t n = std::min<uint32_t>(count - sent, MAX_BYTES_PER_LINE);
        uint32_t encoded = uuencode(line, data + sent, n);
        strcat(line, "\r\n");
        if ((err = Send(line, echo)) != aErrNone) return err;
        sent += encoded;
        if (++lines < LINES_PER_CHECKSUM && sent < count) continue;

        uint32_t checksum = sum(data + acknowledged, sent - acknowledged);
        Log::log(DEBUG_NXPSerial_SR, "Write() Checksum: %08X (%d)\n", checksum,
                 static_cast<int>(checksum));
        char text[16];
        snprintf(text, sizeof text, "%u\r\n", checksum);
        if ((err = Send(text, echo)) != aErrNone) return err;
        uint64_t start = aTime_GetMonotonicMSTicks(), length = 0;
        err = GetLine(line, sizeof line, &length, kChecksumReplyMs);
        Log::log(DEBUG_NXPSerial_SR, "Write() waited for checksum %d ms\n",
                 static_cast<int>(aTime_GetMonotonicMSTicks() - start + 1));
        lines = 0;
        if (err != aErrNone) {
            Log::log(DEBUG_NXPSerial, "Write() no answer to checksum\n");
            return aErrTimeout;
        }
        // Line noise may come ahead of the word.
        if (endsWithWord(line, length, "OK")) {
            acknowledged = sent;
            Log::log(DEBUG_NXPSerial_SR, "Write() valid transfer of %d of %d (%.0f%%) bytes\n",
                     static_cast<int>(sent), static_cast<int>(count), 100.0 * sent / count);
        } else if (endsWithWord(line, length, "RESEND")) {
            if (--attempts <= 0) {
                Log::log(DEBUG_NXPSerial, "Write() exceeded retries\n");
                return aErrTimeout;
            }
            sent = acknowledged;
        } else {
            Log::log(DEBUG_NXPSerial, "Write() unexpected response [%s]\n", line);
            return aErrIO;
        }
    }
    return aErrNone;
}

int NXPSerialClass::Read(uint32_t address, uint32_t count, uint8_t* data) {
    if (count == 0 || count % 4 != 0 || !data) return aErrParam;
    char line[kLineSize];
    snprintf(line, sizeof line, "R %u %u\r\n", address, count);
    int err = Command(line, "R");
    if (err != aErrNone) return err;

    uint32_t received = 0, good = 0;
    int lines = 0, attempts = MAX_READ_RETRY;
    bool spoilt = false;
    uint64_t length = 0;
    while (received < count) {
        if (GetLine(line, sizeof line, &length, kReplyMs) != aErrNone) return aErrTimeout;
        uint32_t left = count - received;
        uint32_t n = uudecode(data + received, left, line);
        if (n == 0) {
            // A cut or oversized line: keep in step with the chip's count, resend the block.
            spoilt = true;
            n = std::min<uint32_t>(static_cast<uint32_t>((line[0] - 0x20) & 0x3F), left);
            if (n == 0) n = left;
        }
        received += n;
        if (++lines < LINES_PER_CHECKSUM && received < count) continue;

        lines = 0;
        unsigned long checksum = 0;
        int got = ReadNumber(&checksum);
        if (got == aErrTimeout) return got;
        if (got == aErrNone && !spoilt && checksum == sum(data + good, received - good)) {
            if ((err = Send("OK\r\n", echo)) != aErrNone) return err;
            good = received;
            Log::log(DEBUG_NXPSerial, "valid receipt of %d of %d (%.0f%%) bytes\n",
                     static_cast<int>(received), static_cast<int>(count), 100.0 * received / count);
            continue;
        }
        spoilt = false;
        if (--attempts <= 0) return aErrTimeout;
        if ((err = Send("RESEND\r\n", echo)) != aErrNone) return err;
        received = good;
    }
    return aErrNone;
}

uint32_t NXPSerialClass::sum(const uint8_t* data, uint32_t count) {
    uint32_t total = 0;
    for (uint32_t i = 0; i < count; i++)
        total += data[i];
    return total;
}

char NXPSerialClass::uuchar(uint32_t value) {
    value &= 0x3F;
    return value == 0 ? '`' : static_cast<char>(value + 0x20);
}

uint32_t NXPSerialClass::uuencode(char* out, const uint8_t* data, uint32_t count) {
    size_t at = 0;
    out[at++] = uuchar(count);
    for (uint32_t i = 0; i < count; i += 3) {
        uint32_t v = static_cast<uint32_t>(data[i]) << 16;
        if (i + 1 < count) v |= static_cast<uint32_t>(data[i + 1]) << 8;
        if (i + 2 < count) v |= data[i + 2];
        for (int shift = 18; shift >= 0; shift -= 6)
            out[at++] = uuchar(v >> shift);
    }
    out[at] = '\0';
    return count;
}

uint32_t NXPSerialClass::uudecode(uint8_t* out, uint32_t capacity, const char* line) {
    if (!line || line[0] == '\0') return 0;
    uint32_t n = static_cast<uint32_t>((line[0] - 0x20) & 0x3F);
    if (capacity < n) return 0;
    size_t characters = strcspn(line + 1, "\r\n");
    if (characters < (n + 2) / 3 * 4) {
        Log::log(DEBUG_NXPSerial, "Error buffer overrun\n");
        return 0;
    }
    for (uint32_t i = 0; i < n; i++) {
        const char* group = line + 1 + i / 3 * 4;
        uint32_t v = 0;
        for (int k = 0; k < 4; k++)
            v = v << 6 |
                ((static_cast<uint32_t>(static_cast<unsigned char>(group[k])) - 0x20) & 0x3F);
        out[i] = static_cast<uint8_t>(v >> (16 - 8 * (i % 3)));
    }
    return n;
}

uint32_t NXPSerialClass::CopyLength(uint32_t count) {
    for (uint32_t size : {256u, 512u, 1024u, 4096u})
        if (count <= size) return size;
    Log::log(DEBUG_NXPSerial, "Copy length is too large. %d > 4096.\n", static_cast<int>(count));
    return count;
}

uint32_t NXPSerialClass::SectorFromAddress(uint32_t address) {
    const NXPSector* s = NXP_LPC17XX_sectors;
    for (; s->size != 0; s++)
        if (address >= s->start && address - s->start < s->size) return s->number;
    return s->number;
}
