// SystemClass: each accessor is one UEI get, set or call of one option of command 3.
#include "autoGen_SystemClass_CPP.h"

#include <cstring>

namespace Keldoran::Tessaform {

namespace {
enum : unsigned char {
    optModule = 1,
    optRouter = 2,
    optHBInterval = 3,
    optLED = 4,
    optBootSlot = 6,
    optVersion = 7,
    optModel = 8,
    optSerialNumber = 9,
    optSave = 10,
    optReset = 11,
    optInputVoltage = 12,
    optModuleHardwareOffset = 13,
    optModuleBaseAddress = 14,
    optModuleSoftwareOffset = 15,
    optRouterAddressSetting = 16,
    optRouteToMe = 20,
    optInputCurrent = 21,
    optUptime = 22,
    optMaximumTemperature = 23,
    optLogEvents = 24,
    optUnregulatedVoltage = 25,
    optUnregulatedCurrent = 26,
    optTemperature = 27,
    optMinimumTemperature = 28,
    optInputPowerSource = 29,
    optInputPowerBehavior = 30,
    optInputPowerBehaviorConfig = 31,
    optName = 32,
    optPowerLimit = 33,
    optPowerLimitMax = 34,
    optPowerLimitState = 35,
    optResetDeviceToFactoryDefaults = 37,
    optLinkInterface = 38,
    optHardwareVersion = 40,
    optErrors = 41,
    optLEDMaxBrightness = 42,
    optBuild = 43,
    optProtocolFeatures = 45,
};
constexpr unsigned char kSystemCommand = 3;
} // namespace

aErr SystemClass::init(Module* module, unsigned char index) {
    return EntityClass::init(module, kSystemCommand, index);
}

// The reply's 32 bits are the signed value's bits.
aErr SystemClass::getSigned(unsigned char option, int32_t* value) {
    if (value == nullptr) return aErrParam;
    uint32_t bits = 0;
    aErr result = getUEI32(option, &bits);
    if (result == aErrNone || result == aErrStreamStale) std::memcpy(value, &bits, sizeof bits);
    return result;
}

// clang-format off
aErr SystemClass::getModule(uint8_t* address) { return getUEI8(optModule, address); }
aErr SystemClass::getRouter(uint8_t* address) { return getUEI8(optRouter, address); }
aErr SystemClass::setRouter(uint8_t address) { return setUEI8(optRouter, address); }
aErr SystemClass::getHBInterval(uint8_t* interval) { return getUEI8(optHBInterval, interval); }
aErr SystemClass::setHBInterval(uint8_t interval) { return setUEI8(optHBInterval, interval); }
aErr SystemClass::getLED(uint8_t* state) { return getUEI8(optLED, state); }
aErr SystemClass::setLED(uint8_t state) { return setUEI8(optLED, state); }
aErr SystemClass::getBootSlot(uint8_t* slot) { return getUEI8(optBootSlot, slot); }
aErr SystemClass::setBootSlot(uint8_t slot) { return setUEI8(optBootSlot, slot); }
aErr SystemClass::getVersion(uint32_t* version) { return getUEI32(optVersion, version); }
aErr SystemClass::getModel(uint8_t* model) { return getUEI8(optModel, model); }
aErr SystemClass::getSerialNumber(uint32_t* serialNumber) { return getUEI32(optSerialNumber, serialNumber); }
aErr SystemClass::save() { return callUEI(optSave); }
aErr SystemClass::reset() { return callUEI(optReset); }
aErr SystemClass::getInputVoltage(uint32_t* microvolts) { return getUEI32(optInputVoltage, microvolts); }
aErr SystemClass::getModuleHardwareOffset(uint8_t* offset) { return getUEI8(optModuleHardwareOffset, offset); }
aErr SystemClass::getModuleBaseAddress(uint8_t* address) { return getUEI8(optModuleBaseAddress, address); }
aErr SystemClass::getModuleSoftwareOffset(uint8_t* offset) { return getUEI8(optModuleSoftwareOffset, offset); }
aErr SystemClass::setModuleSoftwareOffset(uint8_t offset) { return setUEI8(optModuleSoftwareOffset, offset); }
aErr SystemClass::getRouterAddressSetting(uint8_t* address) { return getUEI8(optRouterAddressSetting, address); }
aErr SystemClass::routeToMe(uint8_t on) { return setUEI8(optRouteToMe, on); }
aErr SystemClass::getInputCurrent(uint32_t* current) { return getUEI32(optInputCurrent, current); }
aErr SystemClass::getUptime(uint32_t* minutes) { return getUEI32(optUptime, minutes); }
aErr SystemClass::getMaximumTemperature(int32_t* temperature) { return getSigned(optMaximumTemperature, temperature); }
aErr SystemClass::logEvents() { return callUEI(optLogEvents); }
aErr SystemClass::getUnregulatedVoltage(int32_t* voltage) { return getSigned(optUnregulatedVoltage, voltage); }
aErr SystemClass::getUnregulatedCurrent(int32_t* current) { return getSigned(optUnregulatedCurrent, current); }
aErr SystemClass::getTemperature(int32_t* temperature) { return getSigned(optTemperature, temperature); }
aErr SystemClass::getMinimumTemperature(int32_t* temperature) { return getSigned(optMinimumTemperature, temperature); }
aErr SystemClass::getInputPowerSource(uint8_t* source) { return getUEI8(optInputPowerSource, source); }
aErr SystemClass::getInputPowerBehavior(uint8_t* behavior) { return getUEI8(optInputPowerBehavior, behavior); }
aErr SystemClass::setInputPowerBehavior(uint8_t behavior) { return setUEI8(optInputPowerBehavior, behavior); }
aErr SystemClass::getPowerLimit(uint32_t* limit) { return getUEI32(optPowerLimit, limit); }
aErr SystemClass::getPowerLimitMax(uint32_t* limit) { return getUEI32(optPowerLimitMax, limit); }
aErr SystemClass::setPowerLimitMax(uint32_t limit) { return setUEI32(optPowerLimitMax, limit); }
aErr SystemClass::getPowerLimitState(uint32_t* state) { return getUEI32(optPowerLimitState, state); }
aErr SystemClass::resetDeviceToFactoryDefaults() { return callUEI(optResetDeviceToFactoryDefaults); }
aErr SystemClass::getLinkInterface(uint8_t* linkInterface) { return getUEI8(optLinkInterface, linkInterface); }
aErr SystemClass::setLinkInterface(uint8_t linkInterface) { return setUEI8(optLinkInterface, linkInterface); }
aErr SystemClass::getHardwareVersion(uint32_t* version) { return getUEI32(optHardwareVersion, version); }
aErr SystemClass::getErrors(uint32_t* errors) { return getUEI32(optErrors, errors); }
aErr SystemClass::getLEDMaxBrightness(uint8_t* brightness) { return getUEI8(optLEDMaxBrightness, brightness); }
aErr SystemClass::setLEDMaxBrightness(uint8_t brightness) { return setUEI8(optLEDMaxBrightness, brightness); }
aErr SystemClass::getBuild(uint32_t* build) { return getUEI32(optBuild, build); }
aErr SystemClass::getProtocolFeatures(uint32_t* features) { return getUEI32(optProtocolFeatures, features); }
// clang-format on

aErr SystemClass::getInputPowerBehaviorConfig(uint32_t* values, size_t count, size_t* filled) {
    if (values == nullptr || filled == nullptr) return aErrParam;
    aErr result = getUEIBytes(optInputPowerBehaviorConfig, reinterpret_cast<uint8_t*>(values),
                              count * sizeof(uint32_t), filled);
    if (result != aErrNone) return result;
    return getUEIBytesCheck(filled, sizeof(uint32_t));
}

aErr SystemClass::setInputPowerBehaviorConfig(const uint32_t* values, size_t count) {
    if (values == nullptr && count != 0) return aErrParam;
    return setUEIBytes(optInputPowerBehaviorConfig, reinterpret_cast<const uint8_t*>(values),
                       count * sizeof(uint32_t));
}

aErr SystemClass::getName(uint8_t* buffer, size_t size, size_t* count) {
    return getUEIBytes(optName, buffer, size, count);
}

aErr SystemClass::setName(const uint8_t* bytes, size_t length) {
    return setUEIBytes(optName, bytes, length);
}

} // namespace Keldoran::Tessaform
