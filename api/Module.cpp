// Module: the connect road forwarded to its Link, auto-networking, and the module-wide raw
// queries (echo, build number, implemented UEIs, entity counts).
#include "Module.h"

#include <cstring>

#include "aDebugging.h"
#include "aTime.h"

namespace Keldoran::Tessaform {

namespace {

constexpr uint32_t kTraceAutoNetwork = 0x40;
constexpr unsigned char kEchoCommand = 23;
constexpr unsigned char kInfoCommand = 0x49;
constexpr unsigned char kInfoBuild = 0xFF;
constexpr unsigned char kInfoHasUEI = 1;
constexpr unsigned char kInfoClassQuantity = 4;
constexpr unsigned char kInfoSubClassQuantity = 5;
constexpr unsigned char kInfoEntityGroup = 6;
constexpr unsigned char kMaxEcho = 27;
constexpr int kAddressProbes = 4;

} // namespace

Module::Module(unsigned char address, unsigned char modelNumber)
    : Module(address, true, modelNumber) {}

Module::Module(unsigned char address, bool mode, unsigned char modelNumber)
    : link(new Link("Link")), moduleAddress(address), networkingMode(mode), model(modelNumber) {}

Module::~Module() {
    delete link;
    link = nullptr;
}

aErr Module::connect(linkType type, unsigned int serialNumber) {
    if (serialNumber == 0) return aErrParam;
    return discoverAndConnect(type, serialNumber);
}

aErr Module::discoverAndConnect(linkType type, unsigned int serialNumber) {
    if (link == nullptr) return aErrInitialization;
    aErr result = link->discoverAndConnect(type, serialNumber, model);
    return result == aErrNone ? _autoNetwork() : result;
}

aErr Module::enablePacketLog(const char* path) {
    return link == nullptr ? aErrConfiguration : link->enablePacketLog(path);
}

aErr Module::disablePacketLog() {
    return link == nullptr ? aErrConfiguration : link->disablePacketLog();
}

aErr Module::connectFromSpec(linkSpec spec) {
    if (link == nullptr) return aErrInitialization;
    if (link->isConnected()) return aErrBusy;
    link->setLinkSpecifier(spec);
    aErr result = link->connect();
    if (result != aErrNone) return result;
    result = _autoNetwork();
    aDebug_Trace(kTraceAutoNetwork, "Post autoNetwork err: %d\n", static_cast<int>(result));
    return result;
}

aErr Module::connectThroughLinkModule(Module* router) {
    if (link == nullptr) return aErrInitialization;
    if (router == nullptr) return aErrParam;
    if (link->isConnected()) return aErrNone;
    linkSpec spec{};
    aErr result = router->getLinkSpecifier(&spec);
    if (router->getLink() == nullptr) return aErrInitialization;
    aWeaveConfig config;
    if (result == aErrNone) result = router->getLink()->getConfig(&config);
    if (result == aErrNone) result = setConfig(config);
    if (result != aErrNone) return result;
    if (config.enabled) {
        // Through the router's local server, as one more of its clients.
        spec.type = AWEAVE;
        spec.t.ip.ipAddress = config.networkInterface;
        spec.t.ip.ipPort = config.assignedPort;
    }
    result = link->setLinkSpecifier(spec);
    if (result == aErrNone) result = link->connectThroughLinkModule(*router->getLink());
    if (result == aErrNone) networkingMode = false;
    return result;
}

aErr Module::reconnect() {
    if (link == nullptr) return aErrInitialization;
    aErr result = link->connect();
    return result == aErrNone ? _autoNetwork() : result;
}

aErr Module::disconnect() {
    if (link == nullptr) return aErrInitialization;
    return link->disconnect();
}

bool Module::isConnected() const {
    return link != nullptr && link->isConnected();
}

uint32_t Module::getStatus() const {
    return link == nullptr ? 8u : link->getStatus();
}

aErr Module::getLinkSpecifier(linkSpec* out) const {
    if (link == nullptr) return aErrNotReady;
    return link->getLinkSpecifier(out);
}

aErr Module::getConfig(aWeaveConfig* out) const {
    if (link == nullptr) return aErrNotReady;
    if (out == nullptr) return aErrParam;
    return link->getConfig(out);
}

aErr Module::setConfig(aWeaveConfig config) {
    if (link == nullptr) return aErrNotReady;
    return link->setConfig(config);
}

// The link stays connected when the module never answers: a connect can return
// aErrNotReady with a usable Link.
aErr Module::_autoNetwork() {
    if (!networkingMode || link == nullptr) return aErrNone;
    unsigned char reported = 0;
    aErr result = aErrNotReady;
    int probes = 0;
    while (probes < kAddressProbes) {
        result = link->getModuleAddress(&reported);
        probes++;
        if (result != aErrNotReady) break;
        aTime_MSSleep(5);
    }
    if (probes == kAddressProbes && result != aErrNone)
        aDebug_Trace(kTraceAutoNetwork, "BOO! Failed to autoNetwork\n");
    if (result == aErrNone && reported != 0 && reported != moduleAddress) moduleAddress = reported;
    return result;
}

aErr Module::exchange(const unsigned char* request, unsigned char length,
                      unsigned char patternLength, unsigned char* reply,
                      unsigned char* replyLength) {
    aErr result = link->sendPacket(moduleAddress, request[0],
                                   static_cast<unsigned char>(length - 1), request + 1);
    if (result != aErrNone) return result;
    *replyLength = patternLength;
    return link->receivePacket(moduleAddress, request, replyLength, reply);
}

aErr Module::debug(const unsigned char* data, unsigned char length) {
    if (!isConnected()) return aErrConnection;
    if (length > kMaxEcho) return aErrParam;
    if (length != 0 && data == nullptr) return aErrParam;
    unsigned char request[aPACKET_MAX_DATA] = {kEchoCommand};
    if (length) std::memcpy(request + 1, data, length);
    unsigned char reply[aPACKET_MAX_DATA];
    unsigned char replyLength = 0;
    aErr result = exchange(request, static_cast<unsigned char>(length + 1), 1, reply, &replyLength);
    if (result != aErrNone) return result;
    if (replyLength != length + 1 || std::memcmp(reply, request, replyLength) != 0) return aErrIO;
    return aErrNone;
}

aErr Module::getBuild(unsigned int* build) {
    if (build == nullptr) return aErrParam;
    if (link == nullptr) return aErrInitialization;
    if (!link->isConnected()) return aErrConnection;
    const unsigned char request[2] = {kInfoCommand, kInfoBuild};
    unsigned char reply[aPACKET_MAX_DATA];
    unsigned char replyLength = 0;
    aErr result = exchange(request, sizeof request, sizeof request, reply, &replyLength);
    if (result != aErrNone) return result;
    if (replyLength != 6) return aErrSize;
    *build = (static_cast<unsigned int>(reply[2]) << 24) |
             (static_cast<unsigned int>(reply[3]) << 16) |
             (static_cast<unsigned int>(reply[4]) << 8) | reply[5];
    return aErrNone;
}

aErr Module::hasUEI(unsigned char command, unsigned char option, unsigned char index,
                    unsigned char flags) {
    if ((flags & 0x3F) != 0 || flags == 0xC0) return aErrParam;
    if (!isConnected()) return aErrConnection;
    const unsigned char request[6] = {kInfoCommand, kInfoHasUEI, command, option, index, flags};
    unsigned char reply[aPACKET_MAX_DATA];
    unsigned char replyLength = 0;
    aErr result = exchange(request, sizeof request, 1, reply, &replyLength);
    if (result != aErrNone) return result;
    if (replyLength != 6 || std::memcmp(reply, request, 5) != 0) return aErrUnknown;
    return static_cast<aErr>(reply[5]);
}

// The reply echoes the request and adds one byte, the answer.
aErr Module::infoQuery(const unsigned char* request, unsigned char length, unsigned char* result) {
    if (result == nullptr) return aErrParam;
    *result = 0;
    if (!isConnected()) return aErrConnection;
    unsigned char reply[aPACKET_MAX_DATA];
    unsigned char replyLength = 0;
    aErr err = exchange(request, length, 1, reply, &replyLength);
    if (err != aErrNone) return err;
    if (replyLength != length + 1 || std::memcmp(reply, request, length) != 0) return aErrUnknown;
    *result = reply[length];
    return aErrNone;
}

aErr Module::classQuantity(unsigned char entityClass, unsigned char* quantity) {
    const unsigned char request[3] = {kInfoCommand, kInfoClassQuantity, entityClass};
    return infoQuery(request, sizeof request, quantity);
}

aErr Module::subClassQuantity(unsigned char entityClass, unsigned char entityIndex,
                              unsigned char* quantity) {
    const unsigned char request[4] = {kInfoCommand, kInfoSubClassQuantity, entityClass,
                                      entityIndex};
    return infoQuery(request, sizeof request, quantity);
}

aErr Module::entityGroup(unsigned char entityClass, unsigned char entityIndex,
                         unsigned char* group) {
    const unsigned char request[4] = {kInfoCommand, kInfoEntityGroup, entityClass, entityIndex};
    return infoQuery(request, sizeof request, group);
}

} // namespace Keldoran::Tessaform
