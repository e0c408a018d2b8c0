#include "Updater.h"

#include <stdexcept>

#include "Log.h"
#include "Tessaform-C.h"
#include "UpdaterInternal.h"
#include "aTime.h"

Updater::Updater(const char* url, const char* path, UpdaterDisplayInterface& shown)
    : serverURL(url != nullptr ? url : ""), storePath(path != nullptr ? path : ""),
      display(&shown) {}

Updater::~Updater() = default;

namespace updater_detail {

std::unique_ptr<UpdaterStore> _createUpdaterStore(UpdaterDisplayInterface& display,
                                                  const std::string& path, const char* label) {
    try {
        return std::make_unique<UpdaterStore>(path.c_str());
    } catch (const std::runtime_error& e) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                        "Failed to Create UpdaterStore in: %s - Exception: %s", label, e.what());
        return nullptr;
    }
}

aErr _disableEther(Keldoran::Tessaform::Module& module, UpdaterDisplayInterface& display) {
    Keldoran::Tessaform::aWeaveConfig config;
    config.enabled = 0;
    config.fallback = 0;
    config.localOnly = 1;
    const aErr result = module.setConfig(config);
    if (result != aErrNone)
        display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                        "Failed to SET network configuration");
    return result;
}

bool _connect_again(Keldoran::Tessaform::Module& module, bool refreshUsb,
                    const std::function<void()>& attempt) {
    for (unsigned i = 0; i < CONNECT_ATTEMPTS; i++) {
        if (refreshUsb && (i + 1) % 3 == 0) {
            Log::log(DEBUG_APP, "Failed enumeration after 3 tries, refreshing libusb context.\n");
            Tessaform_libusb_exit();
        }
        attempt();
        if (module.isConnected()) return true;
        aTime_MSSleep(1000);
    }
    return false;
}

} // namespace updater_detail
