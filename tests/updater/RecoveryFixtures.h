// What the recovery tests share, in process and through the updater program: the simulated
// chips' identities, the firmware and recovery loader they take, the fixture server's builds
// and fingerprints, and the i.MX boot ROM on its port with the recovery loader it starts.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "BirdBuilder.h"
#include "BootRom.h"
#include "HidEndpoint.h"
#include "SerialEndpoint.h"
#include "TempDir.h"
#include "lpcsim/LpcPty.h"
#include "tfsim/Module.h"
#include "tfsim/SystemEntity.h"
#include "tfsim/UpgradeEntity.h"

namespace tftest {

using Words = std::array<uint32_t, 4>;

constexpr uint32_t kLoaderSerial = 0xDEADDEAD;
constexpr uint32_t kModuleSerial = 0x000012AB;
// The simulated chips' identities: the LPC serial-number words in reading order, the i.MX
// loader's unique-id words by subindex, and those as the fingerprint holds them.
inline const Words kLpcId = lpcsim::Identity{}.serial;
inline const Words kImxWords = {0x11111111, 0x22222222, 0x33333333, 0x44444444};
inline const Words kImxId = {0x44444444, 0x33333333, 0x22222222, 0x11111111};

inline std::string hexOf(const Bytes& bytes) {
    std::string out;
    char two[3];
    for (uint8_t b : bytes) {
        std::snprintf(two, sizeof two, "%02x", b);
        out += two;
    }
    return out;
}

// As the server keys fingerprints and the updater prints them, without the brackets.
inline std::string words(const Words& id) {
    char text[40];
    std::snprintf(text, sizeof text, "%08X %08X %08X %08X", id[0], id[1], id[2], id[3]);
    return text;
}

// What the fixture server holds: the builds of each device (its first one listed is its
// latest), and what fingerprints name.
struct ServedBuild {
    uint32_t serial;
    std::string build;
    Bytes bird;
};
struct ServedFix {
    Words id;
    std::string serial; // as the server writes it
    std::string build;
};

inline std::string serverBuilds(const std::vector<ServedBuild>& builds,
                                const std::vector<ServedFix>& fixes) {
    std::map<uint32_t, std::vector<const ServedBuild*>> devices;
    for (const ServedBuild& b : builds)
        devices[b.serial].push_back(&b);
    std::string json = R"({"devices": {)";
    const char* comma = "";
    for (const auto& [serial, list] : devices) {
        char name[9];
        std::snprintf(name, sizeof name, "%08X", serial);
        json += comma + ("\"" + std::string(name)) + R"(": {"latest": ")" + list.front()->build +
                R"(", "firmware": "F", "builds": [)";
        for (size_t i = 0; i < list.size(); i++)
            json += (i ? ", " : "") + std::string(R"({"build": ")") + list[i]->build +
                    R"(", "version": "1.0.0", "payload": ")" + hexOf(list[i]->bird) + R"("})";
        json += "]}";
        comma = ", ";
    }
    json += R"(}, "fingerprints": {)";
    for (size_t i = 0; i < fixes.size(); i++)
        json += (i ? ", \"" : "\"") + words(fixes[i].id) + R"(": {"serial": ")" + fixes[i].serial +
                R"(", "build": ")" + fixes[i].build + R"("})";
    return json + "}}";
}

// ---- LPC ------------------------------------------------------------------------------------

// Two firmware blocks and the 8-byte end marker; the payloads cross several 4096-byte pieces.
struct LpcFirmware {
    Bytes first = randomBytes(5000, 1);
    Bytes second = randomBytes(10000, 2);
    BirdImage image() const {
        return BirdImage()
            .firmware(0x0000, first)
            .firmware(0x8000, second)
            .firmware(0, {0, 0, 0, 0});
    }
};

inline Bytes flashAt(lpcsim::LpcPty& chip, uint32_t address, size_t count) {
    return chip.withChip([&](lpcsim::Chip& c) {
        const auto& flash = c.flash();
        return Bytes(flash.begin() + static_cast<long>(address),
                     flash.begin() + static_cast<long>(address + count));
    });
}

// ---- i.MX -----------------------------------------------------------------------------------

constexpr uint32_t kLoaderAddress = 0x20000000;
constexpr uint32_t kFirmwareAddress = 0x60002000;
constexpr uint16_t kImxVendor = 0x1FC9;
constexpr uint16_t kImxProduct = 0x0130;

inline const Bytes kLoaderCode = randomBytes(3000, 5);
inline const Bytes kFirmwareCode = randomBytes(6000, 6);

inline BirdImage loaderImage() {
    return BirdImage().loader(kLoaderAddress, kLoaderCode);
}

enum class ImxPort { Hid, Serial };

// The i.MX boot ROM on its port, and the recovery loader module it starts (0xDEADDEAD's
// system entity with the unique id, and an upgrade entity). Putting the loader on a USB bus,
// and plugging it in when the ROM jumps, is the owner's part: the bus lives in this process
// or in the updater program's.
struct ImxBootSim {
    ImxBootSim(ImxPort kind, const TempDir& dir, sdpsim::RomConfig config = {}) : rom(config) {
        if (kind == ImxPort::Hid) {
            hid = std::make_unique<sdpsim::HidEndpoint>(rom, dir / "hid.sock");
            port = "USB";
        } else {
            // The port is probed for an LPC boot ROM first; a ROM that times out a broken
            // command is not thrown off by that probe.
            serial = std::make_unique<sdpsim::SerialEndpoint>(
                rom, sdpsim::SerialOptions{.commandTimeout = std::chrono::milliseconds(50)});
            port = serial->slavePath();
        }
        system = loader.add(std::make_shared<tfsim::SystemEntity>(
            tfsim::Identity{.module = 0x06, .serial = kLoaderSerial, .uniqueId = kImxWords}));
        upgrade = loader.add(std::make_shared<tfsim::UpgradeEntity>());
    }

    sdpsim::BootRom rom;
    std::unique_ptr<sdpsim::HidEndpoint> hid;
    std::unique_ptr<sdpsim::SerialEndpoint> serial;
    std::string port; // as the updater names it: "USB", or the serial device
    tfsim::Module loader{tfsim::Config{.address = 0x06}};
    std::shared_ptr<tfsim::SystemEntity> system;
    std::shared_ptr<tfsim::UpgradeEntity> upgrade;
};

} // namespace tftest
