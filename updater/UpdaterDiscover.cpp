// The device listings of -D: modules found directly over USB and TCP/IP, and modules on the
// bus behind one routing module, each with its build, version and name.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "Log.h"
#include "Module.h"
#include "Updater.h"
#include "UpdaterInternal.h"
#include "aDefs.h"
#include "aVersion.h"
#include "autoGen_I2CClass_CPP.h"
#include "autoGen_SystemClass_CPP.h"

using Keldoran::Tessaform::I2CClass;
using Keldoran::Tessaform::Module;
using Keldoran::Tessaform::SystemClass;
using updater_detail::_disableEther;

namespace {

// To TCP/IP discovery the loopback address means every interface of the host.
const uint32_t DISCOVERY_INTERFACE = htonl(INADDR_LOOPBACK);

constexpr unsigned char INFO_COMMAND = 0x49;
constexpr unsigned char INFO_BUILD = 0xFF;
constexpr unsigned char BUILD_REPLY_LENGTH = 6;

constexpr unsigned char FIRST_ADDRESS = 2;
constexpr unsigned char DIRECT_ADDRESS = 2;
constexpr unsigned LAST_BUS_ADDRESS = 252;
constexpr uint8_t PROBE_SPEED = 3;

constexpr size_t NAME_CAPACITY = 32;

// The wanted serial number and the link type it answered on, 0 until found.
struct LinkTypeSearch {
    uint32_t serial;
    uint32_t type;
};

struct LinkSpecRelease {
    void operator()(linkSpec* spec) const { aLinkSpec_Destroy(&spec); }
};

// The raw build-number request, outside the UEI scheme; 0 when it cannot be read.
uint32_t _get_build_number(Module& module) {
    Keldoran::Tessaform::Link* link = module.getLink();
    if (link == nullptr) return 0;
    const unsigned char address = module.getModuleAddress();
    const unsigned char request[] = {INFO_BUILD};
    if (link->sendPacket(address, INFO_COMMAND, sizeof request, request) != aErrNone) return 0;
    const unsigned char match[] = {INFO_COMMAND, INFO_BUILD};
    unsigned char length = sizeof match;
    unsigned char reply[28] = {};
    if (link->receivePacket(address, match, &length, reply) != aErrNone) return 0;
    if (length != BUILD_REPLY_LENGTH) return 0;
    return static_cast<uint32_t>(reply[2]) << 24 | static_cast<uint32_t>(reply[3]) << 16 |
           static_cast<uint32_t>(reply[4]) << 8 | static_cast<uint32_t>(reply[5]);
}

bool _discovered_device(const linkSpec* found, bool* accepted, void* list) {
    DeviceInfo info;
    info.spec = *found;
    static_cast<std::vector<DeviceInfo>*>(list)->push_back(std::move(info));
    *accepted = true;
    return true;
}

bool _discovered_link(const linkSpec* found, bool* accepted, void* search) {
    auto* wanted = static_cast<LinkTypeSearch*>(search);
    *accepted = true;
    if (found->serialNumber != wanted->serial) return true;
    Log::log(DEBUG_Network, "NETWORK: Found device [%08X] via link type [%d]\n",
             found->serialNumber, static_cast<int>(found->type));
    wanted->type = found->type;
    return false;
}

linkType _discover_link_type(unsigned serial) {
    LinkTypeSearch search{serial, 0};
    aDiscovery_EnumerateModules(USB, _discovered_link, &search, DISCOVERY_INTERFACE);
    if (search.type == 0)
        aDiscovery_EnumerateModules(TCPIP, _discovered_link, &search, DISCOVERY_INTERFACE);
    return search.type;
}

aErr _get_version(Module& module, DeviceInfo& info) {
    SystemClass system;
    system.init(&module, 0);
    uint32_t version = 0;
    if (aErr result = system.getVersion(&version); result != aErrNone) return result;
    info.major = aVersion_ParseMajor(version);
    info.minor = aVersion_ParseMinor(version);
    info.patch = aVersion_ParsePatch(version);
    uint8_t address = 0;
    if (aErr result = system.getModule(&address); result != aErrNone) return result;
    info.spec.moduleAddress = address;
    if (aErr result = system.getRouter(&address); result != aErrNone) return result;
    info.spec.routerAddress = address;
    return aErrNone;
}

aErr _get_device_name(Module& module, DeviceInfo& info) {
    // Older firmware keeps no name.
    if (!aVersion_IsAtLeastCompare(info.major, info.minor, static_cast<uint8_t>(info.patch & 0xFF),
                                   2, 10, 4))
        return aErrNone;
    SystemClass system;
    system.init(&module, 0);
    uint8_t name[NAME_CAPACITY] = {};
    size_t length = 0;
    const aErr result = system.getName(name, sizeof name, &length);
    if (result == aErrNone)
        info.deviceName.assign(reinterpret_cast<const char*>(name), std::min(length, sizeof name));
    return result;
}

} // namespace

std::vector<DeviceInfo> Updater::Discover_Devices(linkType type) {
    std::vector<linkType> types;
    if (type == 0)
        types = {USB, TCPIP};
    else
        types = {type};
    std::vector<DeviceInfo> list;
    for (linkType searched : types)
        aDiscovery_EnumerateModules(searched, _discovered_device, &list, DISCOVERY_INTERFACE);

    for (DeviceInfo& info : list) {
        info.modelName = aDefs_GetModelName(info.spec.model);
        Module module(DIRECT_ADDRESS, static_cast<unsigned char>(0));
        if (aErr result = _disableEther(module, *display); result != aErrNone) {
            // Never reached: listed with the reason rather than as a free module.
            info.error = result;
            continue;
        }
        info.error = module.connectFromSpec(info.spec);
        if (info.error == aErrNone) {
            info.build = _get_build_number(module);
            info.error = _get_version(module, info);
            if (info.error == aErrNone) info.error = _get_device_name(module, info);
        }
        module.disconnect();
    }
    return list;
}

std::vector<DeviceInfo> Updater::Discover_TFNetwork_Devices(unsigned routerSerial, linkType type) {
    std::vector<DeviceInfo> list;
    if (type == 0) type = _discover_link_type(routerSerial);
    const std::unique_ptr<linkSpec, LinkSpecRelease> found(
        aDiscovery_FindModule(type, routerSerial, DISCOVERY_INTERFACE));
    if (!found) return list;

    Log::log(DEBUG_Updater, "Found Link Module");
    Module router(DIRECT_ADDRESS, static_cast<unsigned char>(0));
    if (_disableEther(router, *display) != aErrNone) return list;
    if (aErr result = router.connectFromSpec(*found); result != aErrNone) {
        display->message(UpdaterDisplayInterface::LEVEL_ERROR, "Error %d on connectFromSpec",
                         result);
        return list;
    }
    SystemClass routerSystem;
    routerSystem.init(&router, 0);
    if (aErr result = routerSystem.routeToMe(1); result != aErrNone) {
        display->message(UpdaterDisplayInterface::LEVEL_ERROR, "Error %d on route to me", result);
        router.disconnect();
        return list;
    }
    I2CClass bus;
    bus.init(&router, 0);
    bus.setSpeed(PROBE_SPEED);
    const uint8_t probe[] = {0x00, 0x00};
    const unsigned char routerAddress = router.getModuleAddress();

    for (unsigned a = FIRST_ADDRESS; a <= LAST_BUS_ADDRESS; a += 2) {
        const auto address = static_cast<unsigned char>(a);
        if (address == routerAddress) continue;
        Log::log(DEBUG_Updater, "Searching Address 0x%02x\n", a);
        if (bus.write(address, sizeof probe, probe) != aErrNone) continue;
        Log::log(DEBUG_Updater, "Attempt Connect on address: 0x%02x\n", a);
        uint32_t serial = 0;
        uint8_t model = 0;

        Module module(address, false, 0);
        _disableEther(module, *display);
        if (module.connectThroughLinkModule(&router) != aErrNone) continue;
        SystemClass system;
        system.init(&module, 0);
        if (system.getSerialNumber(&serial) != aErrNone) {
            module.disconnect();
            continue;
        }
        Log::log(DEBUG_Updater, "Got Serial [0x%08X]\n", serial);

        DeviceInfo info;
        info.spec.type = type;
        info.spec.serialNumber = serial;
        info.spec.routerAddress = routerAddress;
        info.spec.routerSerialNumber = routerSerial;
        std::memcpy(&info.spec.t, &found->t, sizeof info.spec.t);
        info.networkAddress = address;
        info.build = _get_build_number(module);
        info.error = _get_version(module, info);
        if (aErr result = system.getModel(&model); result == aErrNone) {
            info.spec.model = model;
            info.modelName = aDefs_GetModelName(model);
        } else {
            info.error = result;
        }
        module.disconnect();
        list.push_back(std::move(info));
    }

    routerSystem.routeToMe(0);
    router.disconnect();
    return list;
}
