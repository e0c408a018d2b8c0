// Fuzzes the attribute-file parser: whatever a file holds, the entries it gives are well formed,
// and saving them and loading the saved file gives them back (less what the format cannot hold).
#include <unistd.h>

#include <cstring>
#include <map>
#include <string>

#include "FuzzSupport.h"
#include "KeyValueStore.h"

namespace {

using Entries = std::map<std::string, std::string>;

bool trimmed(const std::string& text) {
    return text.empty() || (!isspace(static_cast<unsigned char>(text.front())) &&
                            !isspace(static_cast<unsigned char>(text.back())));
}

// What a load of the saved entries can give back: a line starting "#" is a comment, "=" and
// its newline alone are too short a line, and a line longer than the reader's 2047 characters
// ends the load.
Entries readable(const Entries& entries) {
    Entries out;
    for (const auto& [key, value] : entries) {
        if (key.size() + value.size() + 2 > 2047) break;
        if (key.rfind('#', 0) == 0 || (key.empty() && value.empty())) continue;
        out[key] = value;
    }
    return out;
}

// In memory when the machine has a tmpfs there: every input is saved and renamed once.
std::string scratchFile() {
    std::string dir =
        std::string(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") + "/tf_kvs_fuzz.XXXXXX";
    if (!mkdtemp(dir.data())) abort();
    return dir + "/.settings";
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static tffuzz::MemoryFile file("settings");
    static const std::string saved = scratchFile();
    static bool traced = (tffuzz::traceInto(DEBUG_Attributes), true);
    (void)traced;

    KeyValueStore store(file.write(data, size));
    tffuzz::check(!store.IsDirty());
    for (const auto& [key, value] : store.Entries()) {
        tffuzz::check(key.find_first_of("=\n") == std::string::npos && trimmed(key));
        tffuzz::check(value.find('\n') == std::string::npos && trimmed(value));
    }

    KeyValueStore typed = store;
    for (const auto& entry : store.Entries()) {
        const char* key = entry.first.c_str();
        typed.GetInt(key, 1);
        typed.GetHex(key, 2);
        typed.GetBOOL(key, true);
        typed.GetDouble(key, 3.0);
        typed.GetString(key, nullptr);
        typed.Add(key, entry.second + "x");
    }

    store.Save(saved.c_str());
    if (store.IsDirty()) return 0; // the scratch directory refused the write: nothing to compare
    KeyValueStore back(saved.c_str());
    tffuzz::check(back.Entries() == readable(store.Entries()));
    return 0;
}
