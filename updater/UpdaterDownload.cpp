// Downloads from the update server into the local store, and the build lists of the server
// and of the store.
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Log.h"
#include "UpdateServerRequest.h"
#include "Updater.h"
#include "UpdaterInternal.h"
#include "base64.h"

using updater_detail::_createUpdaterStore;

namespace {

constexpr const char* KEY_LATEST_DOWNLOAD = "LATEST_DOWNLOAD";
constexpr const char* KEY_LAST_DOWNLOAD_DATE = "LAST_DOWNLOAD_DATE";
constexpr const char* BIRD_SUFFIX = ".bird";
constexpr const char* SPINNER_LABEL = "Downloading";
constexpr auto SPINNER_STEP = std::chrono::milliseconds(100);

// A build number from its decimal text, keeping the low 32 bits. stoul alone would take
// "12x" as 12 and fetch a build nobody asked for, so the whole text must be the number.
// Throws std::invalid_argument or std::out_of_range.
uint32_t _to_build(const std::string& text) {
    size_t used = 0;
    const unsigned long value = std::stoul(text, &used, 10);
    if (used != text.size()) throw std::invalid_argument("trailing characters");
    return static_cast<uint32_t>(value);
}

bool _parse_build(const std::string& text, uint32_t& build) {
    try {
        build = _to_build(text);
        return true;
    } catch (const std::invalid_argument&) {
    } catch (const std::out_of_range&) {
    }
    return false;
}

// As _parse_build for a text from the server, whose faults are logged and never shown. A line
// of a reply with CR LF ends keeps its carriage return, which ends the number as a line feed
// would: without this such a server's latest build would read as no build at all.
bool _server_build(const std::string& text, uint32_t& build) {
    const bool carriageReturn = !text.empty() && text.back() == '\r';
    if (_parse_build(carriageReturn ? text.substr(0, text.size() - 1) : text, build)) return true;
    Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", text.c_str());
    return false;
}

// Whether the server lists the build. Keys that are not build numbers name no build.
bool _valid_build(unsigned serial, unsigned build, const char* serverURL) {
    UpdateServerRequest::BuildList builds;
    if (!UpdateServerRequest::GetBuildList(serial, builds, serverURL)) return false;
    for (const auto& entry : builds) {
        uint32_t listed = 0;
        if (_server_build(entry.first, listed) && listed == build) return true;
    }
    return false;
}

// The work of the download thread: one request, its result through the promise and its
// payload into the string, both of which the caller keeps until the thread is joined.
struct DownloadTask {
    const Updater* updater;
    std::promise<bool>* result;
    uint32_t serial;
    std::string firmware;
    std::string build;
    std::string* payload;
    bool noCal;

    void operator()() {
        result->set_value(UpdateServerRequest::GetBuild(serial, firmware.c_str(), build.c_str(),
                                                        *payload, updater->ServerURL().c_str(),
                                                        noCal));
    }
};

std::string _now_text() {
    const time_t now = time(nullptr);
    char text[64] = "";
    if (ctime_r(&now, text) == nullptr) return "";
    std::string out(text);
    if (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

struct FreeDeleter {
    void operator()(unsigned char* data) const { std::free(data); }
};

} // namespace

unsigned Updater::Download_Firmware(unsigned serial, std::string buildText, bool override,
                                    bool noCal) {
    uint32_t build = 0;
    if (!buildText.empty() && !_parse_build(buildText, build)) {
        display->message(UpdaterDisplayInterface::LEVEL_ERROR,
                         "Build number '%s' must be an number", buildText.c_str());
        return 0;
    }
    if (serial == 0) {
        display->message(UpdaterDisplayInterface::LEVEL_ERROR, "Serial Number must be non-zero");
        return 0;
    }
    const char* url = serverURL.c_str();
    if (!UpdateServerRequest::ping(url)) {
        display->message(UpdaterDisplayInterface::LEVEL_ERROR, "Server request failed for %s", url);
        return 0;
    }
    std::unique_ptr<UpdaterStore> store =
        _createUpdaterStore(*display, storePath, "Download_Firmware");
    if (!store) return 0;

    UpdaterStoreItem item;
    if (!store->FindDevice(serial, &item)) {
        Log::log(DEBUG_APP, "Could not find device in our update history.\n");
        try {
            item = store->AddDevice(serial);
        } catch (const std::runtime_error&) {
            display->message(UpdaterDisplayInterface::LEVEL_ERROR,
                             "Could not create directory for storing BIRD file");
            return 0;
        }
    }

    std::string latest;
    std::string firmware;
    if (!UpdateServerRequest::QueryBuild(serial, latest, firmware, url)) {
        display->message(UpdaterDisplayInterface::LEVEL_ERROR, "No build information for device");
        return 0;
    }
    if (build == 0) _server_build(latest, build);

    display->message(UpdaterDisplayInterface::LEVEL_INFO, "Retrieving build %u", build);
    if (override) {
        display->message(UpdaterDisplayInterface::LEVEL_INFO,
                         "Override specified, skipping validation of build %u", build);
    } else {
        display->message(UpdaterDisplayInterface::LEVEL_INFO, "Validating build %u with server",
                         build);
        if (!_valid_build(serial, build, url)) {
            display->message(UpdaterDisplayInterface::LEVEL_ERROR, "No valid build %u", build);
            return 0;
        }
        display->message(UpdaterDisplayInterface::LEVEL_INFO, "Build %u is valid", build);
    }

    buildText = std::to_string(build);
    std::string payload;
    std::promise<bool> promise;
    std::future<bool> future = promise.get_future();
    std::thread download(
        DownloadTask{this, &promise, serial, firmware, buildText, &payload, noCal});
    display->update_spinner(true, SPINNER_LABEL);
    while (future.wait_for(SPINNER_STEP) != std::future_status::ready)
        display->update_spinner(true, SPINNER_LABEL);
    display->update_spinner(false, SPINNER_LABEL);
    const bool fetched = future.get();
    download.join();
    if (!fetched) display->message(UpdaterDisplayInterface::LEVEL_ERROR, "Download failed");

    if (payload.empty()) {
        display->message(UpdaterDisplayInterface::LEVEL_ERROR,
                         "Failed to retrieve a valid BIRD file");
        return 0;
    }
    size_t length = 0;
    std::unique_ptr<unsigned char, FreeDeleter> data(
        base64_decode(payload.data(), payload.size(), &length));
    if (!data) {
        // Storing nothing yet reporting the build would have the next -U pick an old file.
        display->message(UpdaterDisplayInterface::LEVEL_ERROR,
                         "Failed to retrieve a valid BIRD file");
        return 0;
    }
    const std::string fileName = buildText + BIRD_SUFFIX;
    const std::string when = _now_text();
    if (const aErr written = item.WriteFile(fileName.c_str(), data.get(), length);
        written != aErrNone) {
        // The attributes would otherwise name a file that is not there.
        display->message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to write file with %d",
                         written);
        return 0;
    }
    data.reset();
    item.Attributes().Add(KEY_LATEST_DOWNLOAD, fileName);
    item.Attributes().Add(KEY_LAST_DOWNLOAD_DATE, when);
    if (!item.SaveAttributes())
        Log::log(DEBUG_APP, "Could not record %s in the device's attributes.\n", fileName.c_str());
    return build;
}

unsigned Updater::Download_Firmware(Fingerprint fingerprint, std::string buildText, bool override) {
    uint32_t build = 0;
    _server_build(buildText, build);
    unsigned serial = 0;
    unsigned named = 0;
    if (!UpdateServerRequest::GetRecoveryInfo(fingerprint.id, &serial, &named, serverURL.c_str())) {
        display->message(UpdaterDisplayInterface::LEVEL_ERROR,
                         "Failed to retrieve recovery information from Keldoran update server");
        return 0;
    }
    if (build == 0) build = named;
    return Download_Firmware(serial, std::to_string(build), override, false);
}

std::map<std::string, std::string> Updater::Get_BuildList(unsigned serial) {
    UpdateServerRequest::BuildList builds;
    const char* url = serverURL.c_str();
    if (!UpdateServerRequest::ping(url)) {
        display->message(UpdaterDisplayInterface::LEVEL_ERROR, "Server request failed for %s", url);
        return builds;
    }
    if (!UpdateServerRequest::GetBuildList(serial, builds, url))
        display->message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to retrieve builds for %08X",
                         serial);
    return builds;
}

std::map<std::string, std::string> Updater::Get_BuildListLocal(unsigned serial) {
    std::map<std::string, std::string> builds;
    std::unique_ptr<UpdaterStore> store =
        _createUpdaterStore(*display, storePath, "Get_BuildListLocal");
    if (!store) return builds;
    std::vector<UpdaterStoreItem> items;
    store->FindLocalBuilds(serial, items);
    for (const UpdaterStoreItem& item : items) {
        const std::string& name = item.Name();
        std::string key = name.substr(0, name.find(BIRD_SUFFIX));
        std::string version;
        if (item.IsValid()) {
            const std::string path = item.BasePath() + "/" + name;
            if (BirdFile::VerifyFile(path.c_str())) {
                try {
                    version = BirdFile(path.c_str()).GetVersion();
                } catch (const std::runtime_error& e) {
                    // One damaged file must not hide the others from the listing.
                    Log::log(DEBUG_Updater, "Could not load birdfile: %s - %s\n", path.c_str(),
                             e.what());
                }
                if (!version.empty())
                    Log::log(DEBUG_Updater, "Found VERSION in birdfile: %s - Version: \n",
                             path.c_str());
            } else {
                Log::log(DEBUG_Updater, "Could NOT file VERSION in birdfile: %s\n", path.c_str());
            }
        }
        builds.emplace(std::move(key), std::move(version));
    }
    return builds;
}
