// The attribute file: parsing key=value lines, typed access with change tracking, and a save that
// replaces the file in one rename.
#include "KeyValueStore.h"

#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "Log.h"
#include "aFile.h"

namespace {

constexpr size_t LINE_BUFFER = 2048;

// ctime's text of now without its newline.
std::string NowText() {
    time_t now = time(nullptr);
    char text[64];
    if (!ctime_r(&now, text)) return "";
    std::string result(text);
    if (!result.empty() && result.back() == '\n') result.pop_back();
    return result;
}

bool IsSpace(char c) {
    return isspace(static_cast<unsigned char>(c)) != 0;
}

bool StorableKey(const char* key) {
    return key && !strpbrk(key, "=\n");
}

bool StorableValue(const char* value) {
    return value && !strchr(value, '\n');
}

} // namespace

KeyValueStore::KeyValueStore(const char* path) {
    if (path) Load(path);
}

const char* KeyValueStore::operator[](const char* key) const {
    if (!key) return nullptr;
    auto found = entries_.find(key);
    return found == entries_.end() ? nullptr : found->second.c_str();
}

const std::string* KeyValueStore::Lookup(const char* key) {
    if (!StorableKey(key)) return nullptr;
    return &entries_[key];
}

int KeyValueStore::GetInt(const char* key, int fallback) {
    const std::string* value = Lookup(key);
    return value && !value->empty() ? atoi(value->c_str()) : fallback;
}

uint32_t KeyValueStore::GetHex(const char* key, uint32_t fallback) {
    const std::string* value = Lookup(key);
    return value && !value->empty() ? static_cast<uint32_t>(strtol(value->c_str(), nullptr, 16))
                                    : fallback;
}

bool KeyValueStore::GetBOOL(const char* key, bool fallback) {
    const std::string* value = Lookup(key);
    return value && !value->empty() ? atoi(value->c_str()) != 0 : fallback;
}

double KeyValueStore::GetDouble(const char* key, double fallback) {
    const std::string* value = Lookup(key);
    return value && !value->empty() ? atof(value->c_str()) : fallback;
}

std::string KeyValueStore::GetString(const char* key, const char* fallback) const {
    const char* value = (*this)[key];
    if (value) return value;
    return fallback ? fallback : "";
}

bool KeyValueStore::Set(const char* key, const std::string& text) {
    if (!StorableKey(key) || !StorableValue(text.c_str())) return false;
    // A line longer than the reader's buffer would end the next load there.
    if (strlen(key) + text.size() + 2 > LINE_BUFFER - 1) return false;
    std::string& slot = entries_[key];
    if (slot != text) dirty_ = true;
    slot = text;
    return true;
}

bool KeyValueStore::Add(const char* key, int value) {
    return Set(key, std::to_string(value));
}

bool KeyValueStore::Add(const char* key, double value) {
    char text[512];
    snprintf(text, sizeof text, "%f", value);
    return Set(key, text);
}

bool KeyValueStore::Add(const char* key, const char* value) {
    return value && Set(key, value);
}

bool KeyValueStore::Add(const char* key, const std::string& value) {
    return Add(key, value.c_str());
}

bool KeyValueStore::AddHex(const char* key, uint32_t value) {
    char text[16];
    snprintf(text, sizeof text, "0x%08X", value);
    return Set(key, text);
}

bool KeyValueStore::Add(const KeyValueStore& other) {
    for (const auto& [key, value] : other.entries_) {
        entries_[key] = value;
        dirty_ = true;
    }
    return true;
}

bool KeyValueStore::Clear() {
    entries_.clear();
    dirty_ = true;
    return true;
}

void KeyValueStore::ParseLine(const char* line, size_t length) {
    const char* end = line + length;
    const char* key = line;
    while (key < end && IsSpace(*key))
        key++;
    const char* equals = static_cast<const char*>(memchr(key, '=', static_cast<size_t>(end - key)));
    const char* keyEnd = equals ? equals : end;
    while (keyEnd > key && IsSpace(keyEnd[-1]))
        keyEnd--;
    std::string value;
    if (equals) {
        const char* from = equals + 1;
        while (from < end && IsSpace(*from))
            from++;
        const char* to = end;
        while (to > from && IsSpace(to[-1]))
            to--;
        value.assign(from, to);
    }
    entries_[std::string(key, keyEnd)] = value;
}

void KeyValueStore::Load(const char* path) {
    aFile* file = aFile_Open(path, aFileModeReadOnly);
    if (!file) {
        Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file: '%s' (%d)\n",
                 path ? path : "", errno);
        Set(KEY_CREATED_TIME, NowText());
        Save(path);
    }
    if (path) path_ = path;
    dirty_ = false;
    if (!file) return;

    char line[LINE_BUFFER];
    size_t length = 0;
    while (aFile_ReadLine(file, line, sizeof line, &length) == aErrNone) {
        if (length < 3 || line[0] == '#') continue;
        ParseLine(line, length);
    }
    aFile_Close(&file);
}

void KeyValueStore::Save(const char* path) {
    if (path) {
        path_ = path;
    } else if (path_.empty()) {
        path_ = DEFAULT_FILENAME;
        Log::log(DEBUG_Attributes,
                 "Attibutes: no filename given for attributes, using default:[%s]\n",
                 path_.c_str());
    }
    if (dirty_) Set(KEY_UPDATED_TIME, NowText());

    // Beside the target, so that the rename stays within one file system.
    const std::string temporary = path_ + ".tmp." + std::to_string(getpid());
    aFile* file = aFile_Open(temporary.c_str(), aFileModeWriteOnly);
    if (!file) {
        Log::log(DEBUG_Attributes,
                 "Attibutes: Error - cannot open attributes file for writting: '%s' (%d)\n",
                 path_.c_str(), errno);
        return;
    }
    // Unbuffered, so that a write that fails fails in the call that makes it.
    bool written = aFile_SetUnbuffered(file) == aErrNone;
    for (auto entry = entries_.begin(); written && entry != entries_.end(); ++entry)
        written =
            aFile_Printf(file, "%s=%s\n", entry->first.c_str(), entry->second.c_str()) == aErrNone;
    int error = errno;
    aFile_Close(&file);
    if (!written) {
        Log::log(DEBUG_Attributes, "Attibutes: Error - cannot write attributes file: '%s' (%d)\n",
                 temporary.c_str(), error);
        aFile_Delete(temporary.c_str());
        return;
    }
    if (rename(temporary.c_str(), path_.c_str()) != 0) {
        Log::log(DEBUG_Attributes, "Attibutes: Error - cannot replace attributes file: '%s' (%d)\n",
                 path_.c_str(), errno);
        aFile_Delete(temporary.c_str());
        return;
    }
    dirty_ = false;
}
