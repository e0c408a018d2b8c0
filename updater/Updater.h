// The engine behind the command line: one instance per run, one operation per command. Every
// operation opens its own store, modules and entities and destroys them before it returns;
// between operations only the chip family of the last fingerprint read and the UEI-bytes load
// mode are kept.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "BirdFile.h"
#include "UpdaterDisplayInterface.h"
#include "discover.h"

// One module as the listings report it.
struct DeviceInfo {
    linkSpec spec{};
    uint16_t networkAddress = 0; // on the I2C bus behind a routing module; routed listing only
    uint32_t build = 0;          // 0 when it could not be read
    uint8_t major = 0;
    uint8_t minor = 0;
    uint32_t patch = 0;
    std::string modelName;
    std::string deviceName;
    int32_t error = 0; // the failing query's code; non-zero lists the module as in use
};

// A chip's unique identity, printed and sent to the server in this word order.
struct Fingerprint {
    uint32_t id[4] = {0, 0, 0, 0};
};

class Updater {
  public:
    Updater(const char* serverURL, const char* storePath, UpdaterDisplayInterface& display);
    ~Updater();
    Updater(const Updater&) = delete;
    Updater& operator=(const Updater&) = delete;

    void Set_UEIBytes_Load(bool on) { ueiBytesLoad = on; }

    bool Update_Firmware(unsigned serial, unsigned build, std::string birdFile,
                         unsigned char moduleAddress, unsigned routerSerial, bool override);
    // Throws std::runtime_error when nothing could be loaded.
    BirdFile load_bird(const char* label, std::string birdFile, unsigned serial, unsigned build,
                       bool download);

    // The build stored, 0 on failure.
    unsigned Download_Firmware(unsigned serial, std::string build, bool override, bool noCal);
    unsigned Download_Firmware(Fingerprint fingerprint, std::string build, bool override);
    std::map<std::string, std::string> Get_BuildList(unsigned serial);
    std::map<std::string, std::string> Get_BuildListLocal(unsigned serial);

    std::vector<DeviceInfo> Discover_Devices(linkType type);
    std::vector<DeviceInfo> Discover_TFNetwork_Devices(unsigned routerSerial, linkType type);

    bool Recover_Firmware(std::string port, unsigned build, unsigned baud, unsigned serial,
                          std::string birdFile, bool override);
    bool Get_Fingerprint(Fingerprint& out, std::string port, unsigned serial, std::string birdFile,
                         unsigned baud, bool reset);

    const std::string& ServerURL() const { return serverURL; }
    const std::string& StorePath() const { return storePath; }
    UpdaterDisplayInterface& Display() const { return *display; }
    uint8_t ChipFamily() const { return chipFamily; }
    bool UEIBytesLoad() const { return ueiBytesLoad; }

  private:
    std::string serverURL;
    std::string storePath;
    UpdaterDisplayInterface* display;
    uint8_t chipFamily = 0; // 1 i.MX, 2 NXP LPC; written by Get_Fingerprint
    bool ueiBytesLoad = false;
};
