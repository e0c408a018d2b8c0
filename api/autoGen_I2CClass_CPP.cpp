// I2CClass: I2C transfers as raw packets of command 8, [8, index, address, count or flag,
// speed, bytes...], answered by [8, index, address, count, status, bytes...].
#include "autoGen_I2CClass_CPP.h"

#include <algorithm>
#include <cstring>

namespace Keldoran::Tessaform {

namespace {
constexpr unsigned char kI2CCommand = 8;
constexpr uint8_t kMaxTransfer = 23;
constexpr uint8_t kHead = 5;
constexpr uint8_t kReadFlag = 0x01;
constexpr uint8_t kPullupAddress = 1;
constexpr uint8_t kMaxSpeed = 3;
constexpr uint8_t kStatusError = 0x80;
} // namespace

aErr I2CClass::init(Module* module, unsigned char index) {
    speed = 0;
    return EntityClass::init(module, kI2CCommand, index);
}

aErr I2CClass::transact(const uint8_t* request, uint8_t length, const uint8_t* pattern,
                        uint8_t patternLength, uint8_t* reply, uint8_t* replyLength) {
    aErr result = sendPacket(request[0], static_cast<uint8_t>(length - 1), request + 1);
    if (result != aErrNone) return result;
    *replyLength = patternLength;
    result = receivePacket(pattern, replyLength, reply);
    if (result != aErrNone) return result;
    if (*replyLength < kHead) return aErrPacket;
    const uint8_t status = reply[4];
    if ((status & kStatusError) == 0) return aErrNone;
    // A device error without a code would read as success.
    const uint8_t code = status & 0x7F;
    return code ? static_cast<aErr>(code) : aErrUnknown;
}

aErr I2CClass::read(uint8_t address, uint8_t count, uint8_t* buffer) {
    if (count > kMaxTransfer) return aErrSize;
    if (buffer == nullptr && count != 0) return aErrParam;
    const uint8_t request[kHead] = {kI2CCommand, getIndex(),
                                    static_cast<uint8_t>(address | kReadFlag), count, speed};
    uint8_t reply[aPACKET_MAX_DATA];
    uint8_t replyLength = 0;
    aErr result = transact(request, kHead, request, 3, reply, &replyLength);
    if (result != aErrNone) return result;
    // Never more than was asked for, announced, or carried.
    const uint8_t carried = static_cast<uint8_t>(replyLength - kHead);
    const uint8_t copied = std::min({count, reply[3], carried});
    if (copied) std::memcpy(buffer, reply + kHead, copied);
    return copied < count ? aErrSize : aErrNone;
}

aErr I2CClass::write(uint8_t address, uint8_t count, const uint8_t* bytes) {
    if (count > kMaxTransfer) return aErrSize;
    if (bytes == nullptr && count != 0) return aErrParam;
    uint8_t request[aPACKET_MAX_DATA] = {kI2CCommand, getIndex(), address, count, speed};
    if (count) std::memcpy(request + kHead, bytes, count);
    const uint8_t pattern[4] = {kI2CCommand, getIndex(), address, 0};
    uint8_t reply[aPACKET_MAX_DATA];
    uint8_t replyLength = 0;
    return transact(request, static_cast<uint8_t>(kHead + count), pattern, sizeof pattern, reply,
                    &replyLength);
}

// The request has the transfers' five-byte head: the on/off byte stands where a count
// would, and the speed code follows.
aErr I2CClass::setPullup(uint8_t on) {
    const uint8_t request[kHead] = {kI2CCommand, getIndex(), kPullupAddress,
                                    static_cast<uint8_t>(on ? 1 : 0), speed};
    uint8_t reply[aPACKET_MAX_DATA];
    uint8_t replyLength = 0;
    return transact(request, kHead, request, 3, reply, &replyLength);
}

aErr I2CClass::setSpeed(uint8_t code) {
    if (code > kMaxSpeed) return aErrParam;
    speed = code;
    return aErrNone;
}

aErr I2CClass::getSpeed(uint8_t* code) const {
    if (code == nullptr) return aErrParam;
    *code = speed;
    return aErrNone;
}

} // namespace Keldoran::Tessaform
