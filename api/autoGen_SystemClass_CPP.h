// The module's system entity (command 3): its address, router, version, model, serial
// number, name, power and temperature readings, reset and routing.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Entity.h"

namespace Keldoran::Tessaform {

class SystemClass : public EntityClass {
  public:
    ~SystemClass() override = default;
    aErr init(Module* module, unsigned char index);

    aErr getModule(uint8_t* address);
    aErr getRouter(uint8_t* address);
    aErr setRouter(uint8_t address);
    aErr getHBInterval(uint8_t* interval);
    aErr setHBInterval(uint8_t interval);
    aErr getLED(uint8_t* state);
    aErr setLED(uint8_t state);
    aErr getBootSlot(uint8_t* slot);
    aErr setBootSlot(uint8_t slot);
    aErr getVersion(uint32_t* version);
    aErr getModel(uint8_t* model);
    aErr getSerialNumber(uint32_t* serialNumber);
    aErr save();
    aErr reset();
    aErr getInputVoltage(uint32_t* microvolts);
    aErr getModuleHardwareOffset(uint8_t* offset);
    aErr getModuleBaseAddress(uint8_t* address);
    aErr getModuleSoftwareOffset(uint8_t* offset);
    aErr setModuleSoftwareOffset(uint8_t offset);
    aErr getRouterAddressSetting(uint8_t* address);
    aErr routeToMe(uint8_t on);
    aErr getInputCurrent(uint32_t* current);
    aErr getUptime(uint32_t* minutes);
    aErr getMaximumTemperature(int32_t* temperature);
    aErr logEvents();
    aErr getUnregulatedVoltage(int32_t* voltage);
    aErr getUnregulatedCurrent(int32_t* current);
    aErr getTemperature(int32_t* temperature);
    aErr getMinimumTemperature(int32_t* temperature);
    aErr getInputPowerSource(uint8_t* source);
    aErr getInputPowerBehavior(uint8_t* behavior);
    aErr setInputPowerBehavior(uint8_t behavior);
    // The 32-bit values travel as they lie in memory.
    aErr getInputPowerBehaviorConfig(uint32_t* values, size_t count, size_t* filled);
    aErr setInputPowerBehaviorConfig(const uint32_t* values, size_t count);
    aErr getName(uint8_t* buffer, size_t size, size_t* count);
    aErr setName(const uint8_t* bytes, size_t length);
    aErr getPowerLimit(uint32_t* limit);
    aErr getPowerLimitMax(uint32_t* limit);
    aErr setPowerLimitMax(uint32_t limit);
    aErr getPowerLimitState(uint32_t* state);
    aErr resetDeviceToFactoryDefaults();
    aErr getLinkInterface(uint8_t* linkInterface);
    aErr setLinkInterface(uint8_t linkInterface);
    aErr getHardwareVersion(uint32_t* version);
    aErr getErrors(uint32_t* errors);
    aErr getLEDMaxBrightness(uint8_t* brightness);
    aErr setLEDMaxBrightness(uint8_t brightness);
    aErr getBuild(uint32_t* build);
    aErr getProtocolFeatures(uint32_t* features);

  private:
    aErr getSigned(unsigned char option, int32_t* value);
};

} // namespace Keldoran::Tessaform
