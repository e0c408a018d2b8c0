// The local store: device directories found by their exact names, files replaced whole, and
// paths that never leave the store's base directory.
#include "UpdaterStore.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <system_error>

#include "Log.h"
#include "aDirectory.h"
#include "aFile.h"
#include "path.h"

namespace {

// The search record of a directory walk for one entry name.
struct result_t {
    bool found = false;
    std::string key;
    UpdaterStoreItem* item = nullptr;
    std::string directory;      // the directory walked
    bool directoryOnly = false; // a file of that name does not count
};

// A name that stays inside the directory it is joined to. Names come from serial numbers,
// build numbers and attribute values; none of them may climb out of the store or be empty
// (an empty component would name the directory itself).
bool PlainName(const char* name) {
    return name && *name && strcmp(name, ".") != 0 && strcmp(name, "..") != 0 &&
           !strchr(name, aDIR_PATH_SEP[0]);
}

std::string ErrorText(int error) {
    return std::generic_category().message(error);
}

// The part of an entry's path after its last separator.
const char* EntryName(const char* path) {
    const char* separator = strrchr(path, aDIR_PATH_SEP[0]);
    return separator ? separator + 1 : path;
}

store_item_t EntryType(const aDirectoryListData* entry) {
    return entry->directory ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE;
}

void _ensure_directory(const char* path) {
    struct stat info;
    if (stat(path, &info) == 0) {
        if (!S_ISDIR(info.st_mode))
            throw std::runtime_error(std::string("UpdaterStore: ") + path +
                                     " exists and is a file");
        Log::log(DEBUG_Updater, "UpdaterStore: [%s] already exists.\n", path);
        return;
    }
    aErr code = aDirectory_Ensure(path, 0755);
    if (code != aErrNone)
        throw std::runtime_error(std::string("UpdaterStore: Could not create directory ") + path +
                                 " error " + std::to_string(code));
    Log::log(DEBUG_Updater, "UpdaterStore: Created directory [%s].\n", path);
}

// Matches the entry's own name exactly: a substring of the whole path would also match the
// base directory's path when it holds the key (a store below a directory named by a serial
// number), or a longer name that contains it.
bool _find_item(const aDirectoryListData* entry, void* ref) {
    result_t* search = static_cast<result_t*>(ref);
    Log::log(DEBUG_Updater, "%s([%s], %d, %d) searching for %s\n", "_find_item", entry->path,
             entry->directory, entry->size, search->key.c_str());
    if (search->key != EntryName(entry->path)) return true;
    if (search->directoryOnly && !entry->directory) return true;
    search->found = true;
    if (search->item)
        *search->item =
            UpdaterStoreItem(search->directory.c_str(), search->key.c_str(), EntryType(entry));
    return false;
}

// What a listing of one directory collects.
struct listing_t {
    std::string directory;
    std::vector<UpdaterStoreItem>* items;
};

bool _find_items(const aDirectoryListData* entry, void* ref) {
    auto* listing = static_cast<listing_t*>(ref);
    Log::log(DEBUG_Updater, "%s([%s], %d, %d)\n", "_find_items", entry->path, entry->directory,
             entry->size);
    const char* name = EntryName(entry->path);
    // ".", "..", the attribute file and what an interrupted write left behind
    if (name[0] == '.') return true;
    listing->items->push_back(
        UpdaterStoreItem::Listed(listing->directory.c_str(), name, EntryType(entry)));
    return true;
}

// Walks the directory for an entry named key, filling item on a match; a directory that
// cannot be listed holds nothing, and a key that is no plain name matches nothing.
bool Find(const std::string& directory, const char* key, UpdaterStoreItem* item,
          bool directoryOnly) {
    result_t search;
    search.key = key ? key : "";
    search.item = item;
    search.directory = directory;
    search.directoryOnly = directoryOnly;
    if (PlainName(key) && aDirectory_List(directory.c_str(), _find_item, &search) != aErrNone)
        Log::log(DEBUG_Updater, "UpdaterStore: cannot list [%s] (%s)\n", directory.c_str(),
                 ErrorText(errno).c_str());
    Log::log(DEBUG_Updater, "UpdaterStore: FindDevice %s %s.\n",
             search.found ? "Found" : "Not Found", search.key.c_str());
    return search.found;
}

} // namespace

UpdaterStoreItem::UpdaterStoreItem(const char* basePath, const char* name, store_item_t type)
    : basePath_(basePath ? basePath : ""), name_(name ? name : ""), type_(type) {
    // Only a directory has an attribute file; loading one elsewhere would create it below a
    // file, or at the root ("//.settings") for an item without names.
    if (!IsValid() || type_ != STORE_ITEM_DIRECTORY) return;
    const std::string settings =
        BuildPath(Path().c_str(), KeyValueStore::DEFAULT_FILENAME, nullptr);
    // A load replaces a file it cannot open with a new one: only a missing file may be.
    if (aFile* file = aFile_Open(settings.c_str(), aFileModeReadOnly)) {
        aFile_Close(&file);
    } else if (errno != ENOENT) {
        Log::log(DEBUG_Updater, "UpdaterStore: cannot read attributes [%s] (%s)\n",
                 settings.c_str(), ErrorText(errno).c_str());
        return;
    }
    attributes_.Load(settings.c_str());
}

UpdaterStoreItem UpdaterStoreItem::Listed(const char* basePath, const char* name,
                                          store_item_t type) {
    UpdaterStoreItem item;
    item.basePath_ = basePath ? basePath : "";
    item.name_ = name ? name : "";
    item.type_ = type;
    return item;
}

bool UpdaterStoreItem::IsValid() const {
    return !basePath_.empty() && !name_.empty();
}

std::string UpdaterStoreItem::Path() const {
    return BuildPath(basePath_.c_str(), name_.c_str(), nullptr);
}

bool UpdaterStoreItem::SaveAttributes() {
    if (attributes_.Path().empty()) return false;
    attributes_.Save(nullptr);
    return !attributes_.IsDirty();
}

aErr UpdaterStoreItem::WriteFile(const char* fileName, const uint8_t* data, size_t length) {
    if (!data) return aErrNotFound;
    if (!IsValid() || !PlainName(fileName)) return aErrParam;
    const std::string directory = Path();
    const std::string path = BuildPath(directory.c_str(), fileName, nullptr);
    // Hidden and beside the target: a killed write's leftover is never listed as a build,
    // and the rename stays within one file system.
    const std::string hidden = std::string(".") + fileName + ".tmp." + std::to_string(getpid());
    const std::string temporary = BuildPath(directory.c_str(), hidden.c_str(), nullptr);

    aFile* file = aFile_Open(temporary.c_str(), aFileModeWriteOnly);
    if (!file) {
        Log::log(DEBUG_Updater, "UpdaterStore: cannot create [%s] (%s)\n", temporary.c_str(),
                 ErrorText(errno).c_str());
        return aErrNotFound;
    }
    // Unbuffered, so that a short write shows in the count of the call that makes it.
    size_t written = 0;
    bool whole = aFile_SetUnbuffered(file) == aErrNone &&
                 aFile_Write(file, data, length, &written) == aErrNone && written == length;
    int error = errno;
    aFile_Close(&file);
    if (whole && rename(temporary.c_str(), path.c_str()) == 0) return aErrNone;
    if (whole) error = errno;
    Log::log(DEBUG_Updater, "UpdaterStore: cannot write [%s]: %zu of %zu bytes (%s)\n",
             path.c_str(), written, length, ErrorText(error).c_str());
    aFile_Delete(temporary.c_str());
    return aErrIO;
}

BirdFile UpdaterStoreItem::ReadBirdFile(const char* fileName) const {
    if (!IsValid())
        throw std::runtime_error(std::string("UpdaterStore: no device directory to read ") +
                                 (fileName ? fileName : "") + " from");
    if (!PlainName(fileName))
        throw std::runtime_error("UpdaterStore: invalid file name [" +
                                 std::string(fileName ? fileName : "") + "] in " + Path());
    const std::string path = BuildPath(Path().c_str(), fileName, nullptr);
    if (!BirdFile::VerifyFile(path.c_str())) {
        std::string text = "Invalid bird " + path;
        // Why it would not open says more than the path alone.
        if (aFile* file = aFile_Open(path.c_str(), aFileModeReadOnly))
            aFile_Close(&file);
        else
            text += ": " + ErrorText(errno);
        throw std::runtime_error(text);
    }
    return BirdFile(path.c_str());
}

bool UpdaterStoreItem::FileExists(const char* name) const {
    return IsValid() && Find(Path(), name, nullptr, false);
}

UpdaterStore::UpdaterStore(const char* basePath) : basePath_(basePath ? basePath : "") {
    if (basePath_.empty()) throw std::runtime_error("UpdaterStore: no base directory given");
    _ensure_directory(basePath_.c_str());
}

std::string UpdaterStore::DeviceName(uint32_t serial) {
    char name[16];
    snprintf(name, sizeof name, "%08X", serial);
    return name;
}

UpdaterStoreItem UpdaterStore::AddDevice(uint32_t serial) {
    return AddDevice(DeviceName(serial).c_str());
}

UpdaterStoreItem UpdaterStore::AddDevice(const char* name) {
    if (!PlainName(name))
        throw std::runtime_error("UpdaterStore: invalid device name [" +
                                 std::string(name ? name : "") + "]");
    _ensure_directory(BuildPath(basePath_.c_str(), name, nullptr).c_str());
    return UpdaterStoreItem(basePath_.c_str(), name, STORE_ITEM_DIRECTORY);
}

bool UpdaterStore::FindDevice(const char* name, UpdaterStoreItem* item) {
    return Find(basePath_, name, item, true);
}

bool UpdaterStore::FindDevice(uint32_t serial, UpdaterStoreItem* item) {
    return FindDevice(DeviceName(serial).c_str(), item);
}

bool UpdaterStore::FindLocalBuilds(uint32_t serial, std::vector<UpdaterStoreItem>& items) {
    const std::string name = DeviceName(serial);
    // Without an item: a listing reads the store and creates no attribute file.
    if (!FindDevice(name.c_str(), nullptr)) return true;
    listing_t listing{BuildPath(basePath_.c_str(), name.c_str(), nullptr), &items};
    if (aDirectory_List(listing.directory.c_str(), _find_items, &listing) == aErrNone) return true;
    Log::log(DEBUG_Updater, "UpdaterStore: cannot list [%s] (%s)\n", listing.directory.c_str(),
             ErrorText(errno).c_str());
    return false;
}
