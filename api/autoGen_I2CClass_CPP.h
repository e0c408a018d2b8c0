// The module's I2C bus entity (command 8): reads and writes at bus addresses, pull-ups, and
// the bus speed code that goes out with every transfer.
#pragma once

#include <cstdint>

#include "Entity.h"

namespace Keldoran::Tessaform {

class I2CClass : public EntityClass {
  public:
    ~I2CClass() override = default;
    aErr init(Module* module, unsigned char index);

    // At most 23 bytes (aErrSize above); bit 0 of the address is the read flag, set by read.
    aErr read(uint8_t address, uint8_t count, uint8_t* buffer);
    aErr write(uint8_t address, uint8_t count, const uint8_t* bytes);
    aErr setPullup(uint8_t on);
    // Codes 0 to 3; what clock each selects is the module's affair.
    aErr setSpeed(uint8_t speed);
    aErr getSpeed(uint8_t* speed) const;

  private:
    // Request out, reply with the pattern's bytes back; the reply's status checked.
    aErr transact(const uint8_t* request, uint8_t length, const uint8_t* pattern,
                  uint8_t patternLength, uint8_t* reply, uint8_t* replyLength);

    uint8_t speed = 0;
};

} // namespace Keldoran::Tessaform
