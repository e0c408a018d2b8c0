// Misbehaviour that a handler can be switched to: which requests it hits and what goes
// wrong in the answer. The entity handlers share it, so a test states a fault the same way
// whatever answers.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include "tfsim/Handler.h"
#include "tfsim/Packet.h"

namespace tfsim {

struct Fault {
    // The requests it hits: data byte 0 (the command) and the plain option; for the
    // module-information command 0x49 its sub-command byte, for I2C the address byte as
    // sent, for the echo test 0. Empty: any.
    std::optional<uint8_t> command;
    std::optional<uint8_t> option;
    std::optional<unsigned> times; // empty: every request it hits; else retires after this many

    bool silent = false;                // the request is taken and nothing is answered
    std::chrono::milliseconds delay{0}; // the answer leaves this late (above 1000 ms: too late)
    // The answer's data length, cut or padded with zeros (single-packet answers only), so an
    // 8-bit value can come back as 16 bits or a build number short.
    std::optional<size_t> length;
    // Echoed in place of the right option byte / index byte of a UEI reply; of a 0x49 reply
    // the first and second byte it repeats after the sub-command (has-UEI: the option and
    // the index); of an I2C reply the address and the index; of an echo, data bytes 1 and 2.
    std::optional<uint8_t> echoOption;
    std::optional<uint8_t> echoIndex;
    // An error reply in place of the answer: index bit 7 and `code` in byte 3, or with no
    // byte 3 at all (I2C: status 0x80 | code; without a code the reply stops before it).
    enum class Error { None, WithCode, WithoutCode } error = Error::None;
    uint8_t code = 0;
    // Byte-buffer answers: packet `at` swapped with the one after it, or sent twice.
    enum class Sequence { InOrder, Swapped, Duplicated } sequence = Sequence::InOrder;
    size_t at = 0;
};

// The faults of one handler, first hit first served. Thread-safe.
class Faults {
  public:
    void add(Fault fault);
    void clear();
    // The fault that hits this request, counted as used; none when the request goes right.
    std::optional<Fault> take(uint8_t command, uint8_t option);

  private:
    std::mutex mutex_;
    std::vector<Fault> faults_;
};

// Turns an answer (one packet's data, or a byte-buffer answer's packets) into the reply the
// fault asks for and adds it. `echo` says which data bytes carry the echoed option and index.
struct EchoAt {
    size_t option = 1;
    size_t index = 2;
};
void answer(uint8_t address, Bytes data, const std::optional<Fault>& fault, Replies& replies,
            EchoAt echo = {}, Action then = Action::None);
void answerSequence(uint8_t address, std::vector<Bytes> packets, const std::optional<Fault>& fault,
                    Replies& replies);

} // namespace tfsim
