// The simulated boot ROM's protocol, from NXP's published In-System Programming description.
#include "lpcsim/LpcChip.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace lpcsim {

namespace {

// Return codes as NXP publishes them.
enum : int {
    CMD_SUCCESS = 0,
    INVALID_COMMAND = 1,
    SRC_ADDR_ERROR = 2,
    DST_ADDR_ERROR = 3,
    SRC_ADDR_NOT_MAPPED = 4,
    DST_ADDR_NOT_MAPPED = 5,
    COUNT_ERROR = 6,
    INVALID_SECTOR = 7,
    SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION = 9,
    PARAM_ERROR = 12,
    ADDR_ERROR = 13,
    ADDR_NOT_MAPPED = 14,
    CMD_LOCKED = 15,
    INVALID_CODE = 16,
    INVALID_BAUD_RATE = 17,
    INVALID_STOP_BIT = 18,
};

constexpr int kLinesPerBlock = 20;
constexpr size_t kBytesPerLine = 45;
constexpr size_t kMaxLine = 256;
// Line noise: no digits and no line ends, so it never reads as a number.
constexpr const char* kNoise = "\x7f#~\xfe";

bool parseNumbers(const std::string& text, std::vector<uint64_t>& out) {
    std::istringstream in(text);
    std::string word;
    while (in >> word) {
        if (word.empty() || word.find_first_not_of("0123456789") != std::string::npos) return false;
        out.push_back(std::strtoull(word.c_str(), nullptr, 10));
    }
    return true;
}

uint32_t byteSum(const uint8_t* data, size_t count) {
    uint32_t sum = 0;
    for (size_t i = 0; i < count; i++)
        sum += data[i];
    return sum;
}

char sextet(unsigned v) {
    v &= 0x3F;
    return v == 0 ? '`' : static_cast<char>(v + 0x20);
}

} // namespace

std::string uuencodeLine(const uint8_t* data, size_t count) {
    std::string text(1, sextet(static_cast<unsigned>(count)));
    for (size_t i = 0; i < count; i += 3) {
        unsigned a = data[i];
        unsigned b = i + 1 < count ? data[i + 1] : 0;
        unsigned c = i + 2 < count ? data[i + 2] : 0;
        unsigned v = a << 16 | b << 8 | c;
        for (int shift = 18; shift >= 0; shift -= 6)
            text += sextet(v >> shift);
    }
    return text;
}

bool uudecodeLine(const std::string& line, std::vector<uint8_t>& out) {
    if (line.empty()) return false;
    size_t count = static_cast<size_t>((line[0] - 0x20) & 0x3F);
    if (line.size() < 1 + (count + 2) / 3 * 4) return false;
    for (size_t i = 0; i < count; i++) {
        size_t group = 1 + i / 3 * 4;
        unsigned v = 0;
        for (size_t k = 0; k < 4; k++)
            v = v << 6 | ((static_cast<unsigned>(line[group + k]) - 0x20) & 0x3F);
        out.push_back(static_cast<uint8_t>(v >> (16 - 8 * (i % 3))));
    }
    return true;
}

unsigned sectorOf(uint32_t address) {
    if (address < 0x10000) return address / 0x1000;
    if (address < kFlashSize) return 16 + (address - 0x10000) / 0x8000;
    return kSectors;
}

Chip::Chip(Faults faults, Identity identity)
    : faults_(std::move(faults)), id_(identity), flash_(kFlashSize, 0xFF), ram_(kRamSize, 0) {
    if (faults_.alreadySynced) {
        mode_ = Mode::Command;
        echo_ = !faults_.startEchoOff;
    }
}

void Chip::receive(const uint8_t* data, size_t count, unsigned lineRate, Output& out) {
    if (lockedRate_ != 0 && lineRate != lockedRate_ && mode_ != Mode::AutoBaud) {
        garbled_ += count;
        return;
    }
    for (size_t i = 0; i < count; i++)
        byte(static_cast<char>(data[i]), lineRate, out);
}

void Chip::reply(Output& out, const std::string& text, unsigned delayMs) {
    if (faults_.silent) return;
    std::string bytes;
    if (faults_.noisyReplies > 0) {
        faults_.noisyReplies--;
        bytes = kNoise;
    }
    out.push_back({delayMs, bytes + text});
}

std::string Chip::wordLine(const char* word) const {
    return (faults_.noisyWords ? std::string(kNoise) : std::string()) + word + "\r\n";
}

void Chip::code(Output& out, int value, unsigned delayMs) {
    reply(out, std::to_string(value) + "\r\n", delayMs);
}

void Chip::byte(char c, unsigned lineRate, Output& out) {
    switch (mode_) {
    case Mode::Running:
        return;
    case Mode::AutoBaud:
        if (c != '?') return;
        // Autobauding measures the "?" and locks the rate until the next reset.
        lockedRate_ = lineRate;
        handshake_ += c;
        reply(out, "Synchronized\r\n");
        mode_ = Mode::SyncWord;
        line_.clear();
        return;
    case Mode::SyncWord:
    case Mode::Crystal:
        handshake_ += c;
        // A fresh "?" restarts the handshake, as when the host missed the first answer.
        if (c == '?' && line_.empty() && mode_ == Mode::SyncWord) {
            reply(out, "Synchronized\r\n");
            return;
        }
        break;
    default:
        break;
    }
    if (echo_ && !faults_.silent) out.push_back({0, std::string(1, c)});
    if (faults_.crEndsLines && c == '\n') return;
    if (c == (faults_.crEndsLines ? '\r' : '\n')) {
        if (!line_.empty() && line_.back() == '\r') line_.pop_back();
        std::string text;
        text.swap(line_);
        line(text, out);
    } else if (line_.size() < kMaxLine) {
        line_ += c;
    }
}

void Chip::line(const std::string& text, Output& out) {
    switch (mode_) {
    case Mode::SyncWord:
        if (text == "Synchronized") {
            reply(out, wordLine("OK"));
            mode_ = Mode::Crystal;
        } else {
            mode_ = Mode::AutoBaud;
        }
        return;
    case Mode::Crystal: {
        std::vector<uint64_t> n;
        if (parseNumbers(text, n) && n.size() == 1) {
            reply(out, wordLine("OK"));
            mode_ = Mode::Command;
            syncs_++;
        } else {
            mode_ = Mode::AutoBaud;
        }
        return;
    }
    case Mode::Command:
        commands_.push_back(text);
        command(text, out);
        if (pendingRate_ != 0) {
            lockedRate_ = pendingRate_;
            pendingRate_ = 0;
        }
        return;
    case Mode::WriteData:
        writeLine(text, out);
        return;
    case Mode::ReadWait:
        readAnswer(text, out);
        return;
    default:
        return;
    }
}

bool Chip::inRam(uint64_t address, uint64_t count) const {
    return address >= kRamStart && address + count <= kRamStart + kRamSize;
}

bool Chip::prepared(uint32_t first, uint32_t last) const {
    for (uint32_t s = first; s <= last; s++)
        if (s >= kSectors || !prepared_[s]) return false;
    return true;
}

void Chip::command(const std::string& text, Output& out) {
    if (text.empty()) return;
    letter_ = text[0];
    if (faults_.silentOn.count(letter_)) return;
    if (auto forced = faults_.returnCode.find(letter_); forced != faults_.returnCode.end()) {
        code(out, forced->second);
        return;
    }
    std::vector<uint64_t> a;
    if (text.size() > 1 && text[1] != ' ') return code(out, INVALID_COMMAND);
    std::string rest = text.substr(1);
    // The go command ends in the mode letter, T (Thumb) or A (ARM).
    if (letter_ == 'G') {
        size_t mode = rest.find_last_of("TA");
        if (mode == std::string::npos) return code(out, PARAM_ERROR);
        rest.erase(mode);
    }
    if (!parseNumbers(rest, a)) return code(out, PARAM_ERROR);
    auto args = [&](size_t n) { return a.size() == n; };

    switch (letter_) {
    case 'U':
        if (!args(1)) return code(out, PARAM_ERROR);
        if (a[0] != kUnlockCode) return code(out, INVALID_CODE);
        unlocked_ = true;
        return code(out, CMD_SUCCESS);
    case 'A':
        if (!args(1) || a[0] > 1) return code(out, PARAM_ERROR);
        code(out, CMD_SUCCESS);
        echo_ = a[0] == 1;
        return;
    case 'B': {
        if (!args(2)) return code(out, PARAM_ERROR);
        static const std::set<uint64_t> rates = {9600, 19200, 38400, 57600, 115200, 230400};
        if (!rates.count(a[0])) return code(out, INVALID_BAUD_RATE);
        if (a[1] != 1 && a[1] != 2) return code(out, INVALID_STOP_BIT);
        pendingRate_ = static_cast<unsigned>(a[0]);
        return code(out, CMD_SUCCESS);
    }
    case 'J':
        if (!args(0)) return code(out, PARAM_ERROR);
        return reply(out, "0\r\n" + std::to_string(id_.partId) + "\r\n");
    case 'K':
        if (!args(0)) return code(out, PARAM_ERROR);
        return reply(out, "0\r\n" + std::to_string(id_.bootMajor) + "\r\n" +
                              std::to_string(id_.bootMinor) + "\r\n");
    case 'N': {
        if (!args(0)) return code(out, PARAM_ERROR);
        std::string words = "0\r\n";
        for (uint32_t word : id_.serial) {
            char hex[16];
            std::snprintf(hex, sizeof hex, "0x%08X", word);
            words += (faults_.hexSerial ? std::string(hex) : std::to_string(word)) + "\r\n";
        }
        return reply(out, words);
    }
    case 'P':
    case 'E': {
        if (!args(2)) return code(out, PARAM_ERROR);
        if (a[1] < a[0] || a[1] >= kSectors) return code(out, INVALID_SECTOR);
        auto first = static_cast<uint32_t>(a[0]), last = static_cast<uint32_t>(a[1]);
        if (letter_ == 'P') {
            for (uint32_t s = first; s <= last; s++)
                prepared_[s] = true;
            return code(out, CMD_SUCCESS);
        }
        if (!unlocked_) return code(out, CMD_LOCKED);
        if (!prepared(first, last)) return code(out, SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION);
        uint32_t from = first < 16 ? first * 0x1000 : 0x10000 + (first - 16) * 0x8000;
        uint32_t to = last < 16 ? (last + 1) * 0x1000 : 0x10000 + (last - 15) * 0x8000;
        std::fill(flash_.begin() + from, flash_.begin() + to, 0xFF);
        prepared_.fill(false);
        return code(out, CMD_SUCCESS, faults_.eraseMsPerSector * (last - first + 1));
    }
    case 'W':
        if (!args(2)) return code(out, PARAM_ERROR);
        if (a[0] % 4 != 0) return code(out, ADDR_ERROR);
        if (a[1] % 4 != 0) return code(out, COUNT_ERROR);
        if (!inRam(a[0], a[1])) return code(out, ADDR_NOT_MAPPED);
        code(out, CMD_SUCCESS);
        wAddress_ = static_cast<uint32_t>(a[0]);
        wCount_ = static_cast<uint32_t>(a[1]);
        wDone_ = 0;
        wLines_ = 0;
        wBlock_.clear();
        if (wCount_ > 0) mode_ = Mode::WriteData;
        return;
    case 'R':
        if (!args(2)) return code(out, PARAM_ERROR);
        if (a[0] % 4 != 0) return code(out, ADDR_ERROR);
        if (a[1] % 4 != 0) return code(out, COUNT_ERROR);
        if (!inRam(a[0], a[1]) && a[0] + a[1] > kFlashSize) return code(out, ADDR_NOT_MAPPED);
        code(out, CMD_SUCCESS);
        rAddress_ = static_cast<uint32_t>(a[0]);
        rCount_ = static_cast<uint32_t>(a[1]);
        rDone_ = 0;
        if (rCount_ > 0) sendReadBlock(out);
        return;
    case 'C': {
        if (!args(3)) return code(out, PARAM_ERROR);
        uint64_t dst = a[0], src = a[1], n = a[2];
        if (dst % 256 != 0) return code(out, DST_ADDR_ERROR);
        if (src % 4 != 0) return code(out, SRC_ADDR_ERROR);
        if (n != 256 && n != 512 && n != 1024 && n != 4096) return code(out, COUNT_ERROR);
        if (dst + n > kFlashSize) return code(out, DST_ADDR_NOT_MAPPED);
        if (!inRam(src, n)) return code(out, SRC_ADDR_NOT_MAPPED);
        if (!unlocked_) return code(out, CMD_LOCKED);
        auto d = static_cast<uint32_t>(dst);
        if (!prepared(sectorOf(d), sectorOf(static_cast<uint32_t>(dst + n - 1))))
            return code(out, SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION);
        // Programming only clears bits; an erased cell reads 0xFF.
        for (uint64_t i = 0; i < n; i++)
            flash_[dst + i] &= ram_[src - kRamStart + i];
        prepared_.fill(false);
        return code(out, CMD_SUCCESS);
    }
    case 'G':
        if (!args(1)) return code(out, PARAM_ERROR);
        if (!unlocked_) return code(out, CMD_LOCKED);
        code(out, CMD_SUCCESS);
        startAddress_ = static_cast<uint32_t>(a[0]);
        mode_ = Mode::Running;
        return;
    default:
        return code(out, INVALID_COMMAND);
    }
}

void Chip::writeLine(const std::string& text, Output& out) {
    uint32_t blockEnd = wDone_ + static_cast<uint32_t>(wBlock_.size());
    if (wLines_ < kLinesPerBlock && blockEnd < wCount_) {
        std::vector<uint8_t> bytes;
        uudecodeLine(text, bytes); // a short line spoils the block; the checksum tells
        size_t room = wCount_ - blockEnd;
        bytes.resize(std::min(room, bytes.size()));
        wBlock_.insert(wBlock_.end(), bytes.begin(), bytes.end());
        wLines_++;
        return;
    }
    // The checksum line of the block.
    std::vector<uint64_t> n;
    bool good =
        parseNumbers(text, n) && n.size() == 1 && n[0] == byteSum(wBlock_.data(), wBlock_.size());
    wLines_ = 0;
    if (faults_.resendTimes > 0) {
        faults_.resendTimes--;
        good = false;
    } else if (faults_.badChecksumAnswers > 0) {
        faults_.badChecksumAnswers--;
        wBlock_.clear();
        mode_ = Mode::Command;
        return reply(out, "OKAY\r\n");
    }
    if (!good) {
        wBlock_.clear();
        return reply(out, wordLine("RESEND"));
    }
    std::copy(wBlock_.begin(), wBlock_.end(), ram_.data() + (wAddress_ - kRamStart + wDone_));
    wDone_ += static_cast<uint32_t>(wBlock_.size());
    wBlock_.clear();
    writeBlocks_++;
    if (wDone_ >= wCount_) mode_ = Mode::Command;
    reply(out, wordLine("OK"));
}

void Chip::sendReadBlock(Output& out) {
    const uint8_t* base =
        inRam(rAddress_, rCount_) ? &ram_[rAddress_ - kRamStart] : &flash_[rAddress_];
    rBlock_ = std::min<uint32_t>(rCount_ - rDone_, kLinesPerBlock * kBytesPerLine);
    std::string text;
    for (uint32_t at = 0; at < rBlock_; at += kBytesPerLine)
        text += uuencodeLine(base + rDone_ + at, std::min<size_t>(kBytesPerLine, rBlock_ - at)) +
                "\r\n";
    uint32_t sum = byteSum(base + rDone_, rBlock_);
    if (faults_.badReadChecksums > 0) {
        faults_.badReadChecksums--;
        sum++;
    }
    mode_ = Mode::ReadWait;
    readBlocks_++;
    reply(out, text + std::to_string(sum) + "\r\n");
}

void Chip::readAnswer(const std::string& text, Output& out) {
    if (text == "RESEND") return sendReadBlock(out);
    if (text != "OK") {
        mode_ = Mode::Command;
        return;
    }
    rDone_ += rBlock_;
    if (rDone_ >= rCount_)
        mode_ = Mode::Command;
    else
        sendReadBlock(out);
}

} // namespace lpcsim
