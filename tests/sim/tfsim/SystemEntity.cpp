// The system entity's table, and the raw module-information and echo exchanges.
#include "tfsim/SystemEntity.h"

#include <utility>

namespace tfsim {

namespace {

Key sys(uint8_t option, uint8_t subindex = 0) {
    return Key{.command = kSystemCommand, .option = option, .index = 0, .subindex = subindex};
}

uint32_t probe(uint8_t command, uint8_t option, uint8_t index, uint8_t flags) {
    return uint32_t{command} << 24 | uint32_t{option} << 16 | uint32_t{index} << 8 | flags;
}

} // namespace

SystemEntity::SystemEntity(Identity id) {
    namespace o = system_option;
    using W = Width;
    using A = Access;
    const uint8_t router = id.router ? id.router : id.module;
    define(sys(o::kModule), W::U8, id.module, A::Get);
    define(sys(o::kRouter), W::U8, router);
    define(sys(o::kHBInterval), W::U8, 25);
    define(sys(o::kLED), W::U8, 0);
    define(sys(o::kBootSlot), W::U8, 0);
    define(sys(o::kVersion), W::U32, id.version, A::Get);
    define(sys(o::kModel), W::U8, id.model, A::Get);
    define(sys(o::kSerialNumber), W::U32, id.serial, A::Get);
    defineCall(sys(o::kSave));
    defineCall(sys(o::kReset));
    define(sys(o::kInputVoltage), W::U32, 5'000'000, A::Get);
    define(sys(o::kHardwareOffset), W::U8, 0, A::Get);
    define(sys(o::kBaseAddress), W::U8, id.module, A::Get);
    define(sys(o::kSoftwareOffset), W::U8, 0);
    define(sys(o::kRouterAddressSetting), W::U8, router, A::Get);
    define(sys(o::kRouteToMe), W::U8, 0, A::Set);
    define(sys(o::kInputCurrent), W::U32, 100'000, A::Get);
    define(sys(o::kUptime), W::U32, 60, A::Get);
    define(sys(o::kMaximumTemperature), W::U32, 40'000'000, A::Get);
    defineCall(sys(o::kLogEvents));
    define(sys(o::kUnregulatedVoltage), W::U32, 5'100'000, A::Get);
    define(sys(o::kUnregulatedCurrent), W::U32, 120'000, A::Get);
    define(sys(o::kTemperature), W::U32, 25'000'000, A::Get);
    define(sys(o::kMinimumTemperature), W::U32, static_cast<uint32_t>(-10'000'000), A::Get);
    define(sys(o::kInputPowerSource), W::U8, 1, A::Get);
    define(sys(o::kInputPowerBehavior), W::U8, 0);
    defineBytes(sys(o::kInputPowerBehaviorConfig), {}, 16);
    defineBytes(sys(o::kName), Bytes(id.name.begin(), id.name.end()), id.nameCapacity);
    define(sys(o::kPowerLimit), W::U32, 10'000'000, A::Get);
    define(sys(o::kPowerLimitMax), W::U32, 10'000'000);
    define(sys(o::kPowerLimitState), W::U32, 0, A::Get);
    defineCall(sys(o::kFactoryDefaults));
    define(sys(o::kLinkInterface), W::U8, 0);
    for (uint8_t j = 0; j < id.uniqueId.size(); ++j)
        define(sys(o::kUniqueIdentifier, j), W::U32, id.uniqueId[j], A::Get);
    define(sys(o::kHardwareVersion), W::U32, 1, A::Get);
    define(sys(o::kErrors), W::U32, 0, A::Get);
    define(sys(o::kLEDMaxBrightness), W::U8, 255);
    define(sys(o::kBuild), W::U32, id.build, A::Get);
    define(sys(o::kProtocolFeatures), W::U32, id.features, A::Get);
    for (uint8_t option = 0; option < 3; ++option)
        define({.command = kStoreCommand, .option = option}, W::U32, 0, A::Set);
}

void SystemEntity::setResetAction(Action action) {
    std::lock_guard lock(mutex_);
    resetAction_ = action;
}

unsigned SystemEntity::resets() const {
    std::lock_guard lock(mutex_);
    return resets_;
}

bool SystemEntity::routing() const {
    return value(sys(system_option::kRouteToMe)) != 0;
}

void SystemEntity::onRouteToMe(std::function<void(bool)> hook) {
    std::lock_guard lock(mutex_);
    routeHook_ = std::move(hook);
}

void SystemEntity::setClassQuantity(uint8_t entityClass, uint8_t quantity) {
    std::lock_guard lock(mutex_);
    classQuantity_[entityClass] = quantity;
}

void SystemEntity::setSubClassQuantity(uint8_t entityClass, uint8_t index, uint8_t quantity) {
    std::lock_guard lock(mutex_);
    subClassQuantity_[{entityClass, index}] = quantity;
}

void SystemEntity::setEntityGroup(uint8_t entityClass, uint8_t index, uint8_t group) {
    std::lock_guard lock(mutex_);
    entityGroup_[{entityClass, index}] = group;
}

void SystemEntity::setHasUei(uint8_t command, uint8_t option, uint8_t index, uint8_t flags,
                             uint8_t answer) {
    std::lock_guard lock(mutex_);
    hasUei_[probe(command, option, index, flags)] = answer;
}

void SystemEntity::written(const Key& key, Action& then) {
    if (key.command != kSystemCommand || key.index != 0) return;
    if (key.option == system_option::kReset) {
        std::lock_guard lock(mutex_);
        ++resets_;
        then = resetAction_;
    } else if (key.option == system_option::kRouteToMe) {
        std::function<void(bool)> hook;
        {
            std::lock_guard lock(mutex_);
            hook = routeHook_;
        }
        if (hook) hook(routing());
    }
}

bool SystemEntity::handle(const Packet& request, Replies& replies) {
    if (request.data.empty()) return false;
    if (request.data[0] == kEchoCommand) {
        answer(request.address, request.data, faults().take(kEchoCommand, 0), replies);
        return true;
    }
    if (request.data[0] == kInfoCommand) return handleInfo(request, replies);
    return EntityTable::handle(request, replies);
}

bool SystemEntity::handleInfo(const Packet& request, Replies& replies) {
    const Bytes& d = request.data;
    if (d.size() < 2) return false;
    Bytes reply(d.begin(), d.begin() + 2);
    EchoAt echo{.option = 2, .index = 3};
    auto lookup = [this](const auto& map, auto key) {
        std::lock_guard lock(mutex_);
        auto it = map.find(key);
        return it == map.end() ? std::optional<uint8_t>{} : std::optional<uint8_t>{it->second};
    };
    switch (d[1]) {
    case info::kBuild: {
        const uint32_t build = value(sys(system_option::kBuild));
        for (int shift = 24; shift >= 0; shift -= 8)
            reply.push_back(static_cast<uint8_t>(build >> shift));
        break;
    }
    case info::kHasUei:
        if (d.size() < 6) return false;
        reply.insert(reply.end(), d.begin() + 2, d.begin() + 5);
        reply.push_back(lookup(hasUei_, probe(d[2], d[3], d[4], d[5]))
                            .value_or(implements(d[2], d[3], d[4], d[5])));
        echo = {.option = 3, .index = 4};
        break;
    case info::kClassQuantity:
        if (d.size() < 3) return false;
        reply.push_back(d[2]);
        reply.push_back(lookup(classQuantity_, d[2]).value_or(indexes(d[2])));
        break;
    case info::kSubClassQuantity:
    case info::kEntityGroup: {
        if (d.size() < 4) return false;
        reply.insert(reply.end(), d.begin() + 2, d.begin() + 4);
        const auto& map = d[1] == info::kEntityGroup ? entityGroup_ : subClassQuantity_;
        reply.push_back(lookup(map, std::make_pair(d[2], d[3])).value_or(0));
        break;
    }
    default:
        return false;
    }
    answer(request.address, std::move(reply), faults().take(kInfoCommand, d[1]), replies, echo);
    return true;
}

} // namespace tfsim
