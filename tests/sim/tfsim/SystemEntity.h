// A module's system entity (command 3) and store entity (92) on the entity table, with the
// module-information command 0x49 (build number, has-UEI, entity counts) and the echo test
// (command 23) that every module answers beside them. Each address on a bus gets one of its own.
//
//     auto system = sim.add(std::make_shared<tfsim::SystemEntity>(
//         tfsim::Identity{.module = 0x06, .model = 13, .serial = 0x1234ABCD, .name = "bench"}));
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>

#include "tfsim/EntityTable.h"

namespace tfsim {

inline constexpr uint8_t kSystemCommand = 3;
inline constexpr uint8_t kInfoCommand = 0x49;
inline constexpr uint8_t kEchoCommand = 23;
// The store entity (index 0): options 0 save, 1 factory defaults, 2 load, each set with the
// 32-bit value (command << 8) | index of the entity meant.
inline constexpr uint8_t kStoreCommand = 92;

// System entity options.
namespace system_option {
inline constexpr uint8_t kModule = 1, kRouter = 2, kHBInterval = 3, kLED = 4, kBootSlot = 6,
                         kVersion = 7, kModel = 8, kSerialNumber = 9, kSave = 10, kReset = 11,
                         kInputVoltage = 12, kHardwareOffset = 13, kBaseAddress = 14,
                         kSoftwareOffset = 15, kRouterAddressSetting = 16, kRouteToMe = 20,
                         kInputCurrent = 21, kUptime = 22, kMaximumTemperature = 23,
                         kLogEvents = 24, kUnregulatedVoltage = 25, kUnregulatedCurrent = 26,
                         kTemperature = 27, kMinimumTemperature = 28, kInputPowerSource = 29,
                         kInputPowerBehavior = 30, kInputPowerBehaviorConfig = 31, kName = 32,
                         kPowerLimit = 33, kPowerLimitMax = 34, kPowerLimitState = 35,
                         kFactoryDefaults = 37, kLinkInterface = 38, kUniqueIdentifier = 39,
                         kHardwareVersion = 40, kErrors = 41, kLEDMaxBrightness = 42, kBuild = 43,
                         kProtocolFeatures = 45;
} // namespace system_option

// Module-information sub-commands (data byte 1 after 0x49).
namespace info {
inline constexpr uint8_t kHasUei = 1, kClassQuantity = 4, kSubClassQuantity = 5, kEntityGroup = 6,
                         kBuild = 0xFF;
} // namespace info

struct Identity {
    uint8_t module = 0x06;
    uint8_t router = 0;            // 0: the module's own address
    uint32_t version = 0x2F020F03; // 2.15.3, marked layout
    uint8_t model = 4;
    uint32_t serial = 0x1234ABCD;
    std::string name = "tfsim";
    uint32_t build = 1;
    uint32_t features = 0; // bit 31: pooled packets
    std::array<uint32_t, 4> uniqueId{0x11111111, 0x22222222, 0x33333333, 0x44444444}; // by subindex
    size_t nameCapacity = 32;
};

class SystemEntity : public EntityTable {
  public:
    explicit SystemEntity(Identity identity = {});
    // Just the address, the rest of the identity by default.
    explicit SystemEntity(uint8_t module) : SystemEntity(Identity{.module = module}) {}

    // What a reset does once acknowledged: by default it ends the connection after the
    // acknowledgement, as a module rebooting does (Action::Reset aborts it, and may lose the
    // acknowledgement; Action::None for one behind a router, whose link stays).
    void setResetAction(Action action);
    unsigned resets() const;
    // The last routeToMe the host set (false until then), and a hook run on each.
    bool routing() const;
    void onRouteToMe(std::function<void(bool on)> hook);

    // Entity counts the module reports for 0x49 4, 5 and 6; by default the number of indexes
    // the table holds for the class, and 0.
    void setClassQuantity(uint8_t entityClass, uint8_t quantity);
    void setSubClassQuantity(uint8_t entityClass, uint8_t index, uint8_t quantity);
    void setEntityGroup(uint8_t entityClass, uint8_t index, uint8_t group);
    // The has-UEI answer for one probe (command, option, index, flags), whatever the table
    // holds: for entities answered by other handlers, or a module that claims too much.
    void setHasUei(uint8_t command, uint8_t option, uint8_t index, uint8_t flags, uint8_t answer);

    bool handle(const Packet& request, Replies& replies) override;

  protected:
    void written(const Key& key, Action& then) override;

  private:
    bool handleInfo(const Packet& request, Replies& replies);

    mutable std::mutex mutex_;
    Action resetAction_ = Action::Close;
    unsigned resets_ = 0;
    std::function<void(bool)> routeHook_;
    std::map<uint8_t, uint8_t> classQuantity_;
    std::map<std::pair<uint8_t, uint8_t>, uint8_t> subClassQuantity_;
    std::map<std::pair<uint8_t, uint8_t>, uint8_t> entityGroup_;
    std::map<uint32_t, uint8_t> hasUei_; // by the probe's four bytes
};

} // namespace tfsim
