// One device module as a program sees it: its Link, its bus address (learnt from the module
// after a connect in networking mode) and the module-wide questions asked over raw packets.
#pragma once

#include <cstdint>

#include "Link.h"

namespace Keldoran::Tessaform {

class Module {
  public:
    Module(unsigned char address, unsigned char model = 0);
    Module(unsigned char address, bool networkingMode, unsigned char model = 0);
    virtual ~Module();
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    // aErrParam for serial number 0.
    aErr connect(linkType type, unsigned int serialNumber);
    // Serial number 0 takes the first module of the model given at construction.
    aErr discoverAndConnect(linkType type, unsigned int serialNumber);
    aErr connectFromSpec(linkSpec spec);
    // Shares the routing module's link; this module sits on the router's bus.
    aErr connectThroughLinkModule(Module* router);
    aErr reconnect();
    aErr disconnect();
    bool isConnected() const;
    uint32_t getStatus() const;

    unsigned char getModuleAddress() const { return moduleAddress; }
    void setModuleAddress(unsigned char address) { moduleAddress = address; }
    void setNetworkingMode(bool mode) { networkingMode = mode; }
    Link* getLink() const { return link; }

    aErr getLinkSpecifier(linkSpec* out) const;
    aErr getConfig(aWeaveConfig* out) const;
    aErr setConfig(aWeaveConfig config);

    // Echo test: the module sends the bytes back; aErrIO when they differ.
    aErr debug(const unsigned char* data, unsigned char length);
    aErr getBuild(unsigned int* build);
    // 0 when the module implements the UEI, else its error code. flags: 0, 0x40 (get) or
    // 0x80 (set).
    aErr hasUEI(unsigned char command, unsigned char option, unsigned char index,
                unsigned char flags);
    aErr classQuantity(unsigned char entityClass, unsigned char* quantity);
    aErr subClassQuantity(unsigned char entityClass, unsigned char entityIndex,
                          unsigned char* quantity);
    aErr entityGroup(unsigned char entityClass, unsigned char entityIndex, unsigned char* group);

    // The Link's packet log; aErrConfiguration without a Link.
    aErr enablePacketLog(const char* path);
    aErr disablePacketLog();

  private:
    aErr _autoNetwork();
    // The request out and the reply that begins with its first patternLength bytes back.
    aErr exchange(const unsigned char* request, unsigned char length, unsigned char patternLength,
                  unsigned char* reply, unsigned char* replyLength);
    aErr infoQuery(const unsigned char* request, unsigned char length, unsigned char* result);

    Link* link;
    unsigned char moduleAddress;
    bool networkingMode;
    unsigned char model;
};

} // namespace Keldoran::Tessaform
