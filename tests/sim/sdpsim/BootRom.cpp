// The boot ROM's protocol model.
#include "BootRom.h"

#include <algorithm>
#include <cstdio>

namespace sdpsim {

namespace {

uint32_t bigEndian32(std::span<const uint8_t> b, size_t at) {
    return static_cast<uint32_t>(b[at]) << 24 | static_cast<uint32_t>(b[at + 1]) << 16 |
           static_cast<uint32_t>(b[at + 2]) << 8 | b[at + 3];
}

std::vector<uint8_t> littleEndian(uint32_t word) {
    return {static_cast<uint8_t>(word), static_cast<uint8_t>(word >> 8),
            static_cast<uint8_t>(word >> 16), static_cast<uint8_t>(word >> 24)};
}

} // namespace

BootRom::BootRom(RomConfig config) : config_(std::move(config)) {
    ram_.push_back({kDtcmBase, std::vector<uint8_t>(kRamBytes, 0)});
    ram_.push_back({kOcramBase, std::vector<uint8_t>(kRamBytes, 0)});
}

uint8_t* BootRom::at(uint32_t address) {
    return const_cast<uint8_t*>(static_cast<const BootRom*>(this)->at(address));
}

const uint8_t* BootRom::at(uint32_t address) const {
    for (const Region& r : ram_)
        if (address >= r.base && address - r.base < r.bytes.size())
            return r.bytes.data() + (address - r.base);
    return nullptr;
}

std::vector<Reply> BootRom::answer(uint32_t status) const {
    std::vector<Reply> replies;
    if (faults_.silent) return replies;
    std::vector<uint8_t> word = littleEndian(status);
    if (faults_.statusBytes) word.resize(std::min(word.size(), *faults_.statusBytes));
    replies.push_back({Reply::Kind::HabMode, littleEndian(config_.habMode)});
    replies.push_back({Reply::Kind::Status, word});
    return replies;
}

uint32_t BootRom::registerWord(uint32_t address) const {
    if (address == kFuseCfg0) return config_.cfg0;
    if (address == kFuseCfg1) return config_.cfg1;
    uint32_t word = 0;
    for (uint32_t i = 0; i < 4; ++i)
        if (const uint8_t* p = at(address + i)) word |= static_cast<uint32_t>(*p) << (8 * i);
    return word;
}

std::vector<Reply> BootRom::onCommand(std::span<const uint8_t> bytes) {
    std::unique_lock lock(mutex_);
    if (jumped_) return {};
    if (bytes.size() < kCommandBytes) return answer(kWriteRejected);
    Command c{static_cast<uint16_t>(bytes[0] << 8 | bytes[1]), bigEndian32(bytes, 2), bytes[6],
              bigEndian32(bytes, 7)};
    commands_.push_back(c);
    if (faults_.silentOn == c.type && c.type != kWriteFile) return {};
    switch (c.type) {
    case kErrorStatus:
        return answer(config_.errorStatus);
    case kReadRegister:
        return answer(registerWord(c.address));
    case kWriteFile: {
        fileAddress_ = c.address;
        fileRemaining_ = c.count;
        fileInRam_ =
            c.count == 0 || (at(c.address) && at(c.address + c.count - 1) && c.count <= kRamBytes);
        fileAnswered_ = false;
        if (faults_.stopReadingOnFile) reading_ = false;
        if (c.count == 0) return fileDone();
        if (faults_.replyBeforeFileData) {
            fileAnswered_ = true;
            return answer(kFileComplete);
        }
        return {};
    }
    case kJumpAddress: {
        jumps_.push_back(c.address);
        jumped_ = true;
        auto callback = jumpCallback_;
        std::string file = config_.jumpFile;
        std::vector<Reply> replies;
        if (!faults_.silent)
            replies.push_back({Reply::Kind::HabMode, littleEndian(config_.habMode)});
        lock.unlock();
        if (!file.empty())
            if (FILE* f = fopen(file.c_str(), "w")) {
                fprintf(f, "0x%08X\n", c.address);
                fclose(f);
            }
        if (callback) callback(c.address);
        return replies;
    }
    default:
        return answer(kWriteRejected);
    }
}

std::vector<Reply> BootRom::fileDone() {
    if (fileAnswered_) return {};
    uint32_t word = fileInRam_ ? kFileComplete : kWriteRejected;
    if (faults_.completion) word = *faults_.completion;
    return answer(word);
}

std::vector<Reply> BootRom::onData(std::span<const uint8_t> bytes) {
    std::lock_guard lock(mutex_);
    if (fileRemaining_ == 0) return {};
    size_t taken = std::min<size_t>(bytes.size(), fileRemaining_);
    if (fileInRam_) std::copy_n(bytes.begin(), taken, at(fileAddress_));
    fileAddress_ += static_cast<uint32_t>(taken);
    fileRemaining_ -= static_cast<uint32_t>(taken);
    dataBytes_ += taken;
    return fileRemaining_ == 0 ? fileDone() : std::vector<Reply>{};
}

uint32_t BootRom::awaitedData() const {
    std::lock_guard lock(mutex_);
    return fileRemaining_;
}

bool BootRom::reading() const {
    std::lock_guard lock(mutex_);
    return reading_;
}

std::optional<Reply> BootRom::floodReply() const {
    std::lock_guard lock(mutex_);
    if (!faults_.flood || faults_.silent) return std::nullopt;
    return Reply{Reply::Kind::Status, littleEndian(config_.errorStatus)};
}

void BootRom::setFaults(const RomFaults& faults) {
    std::lock_guard lock(mutex_);
    faults_ = faults;
    reading_ = true;
}

void BootRom::onJump(std::function<void(uint32_t)> callback) {
    std::lock_guard lock(mutex_);
    jumpCallback_ = std::move(callback);
}

std::vector<uint8_t> BootRom::memory(uint32_t address, size_t length) const {
    std::lock_guard lock(mutex_);
    std::vector<uint8_t> out;
    for (size_t i = 0; i < length; ++i) {
        const uint8_t* p = at(address + static_cast<uint32_t>(i));
        out.push_back(p ? *p : 0);
    }
    return out;
}

std::vector<Command> BootRom::commands() const {
    std::lock_guard lock(mutex_);
    return commands_;
}

std::vector<uint32_t> BootRom::jumps() const {
    std::lock_guard lock(mutex_);
    return jumps_;
}

size_t BootRom::dataBytes() const {
    std::lock_guard lock(mutex_);
    return dataBytes_;
}

} // namespace sdpsim
