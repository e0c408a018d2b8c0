// The updater's local store: a base directory with one directory per device, named by its
// serial number, holding the device's BIRD files and its attribute file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "BirdFile.h"
#include "KeyValueStore.h"
#include "aError.h"

enum store_item_t : uint8_t {
    STORE_ITEM_FILE = 0,
    STORE_ITEM_DIRECTORY = 1,
    STORE_ITEM_NONE = 2,
};

// One entry of the store (a device directory, or a file in one) and, for a directory, its
// attribute file. A plain value: copies share nothing but the files on disk.
class UpdaterStoreItem {
  public:
    UpdaterStoreItem() = default;
    // A directory item loads the attribute file in basePath/name, creating it when missing;
    // one that exists but cannot be read is left as it is, and the item then has none. Other
    // items have no attribute file and leave the disk alone.
    UpdaterStoreItem(const char* basePath, const char* name, store_item_t type);
    // The same entry without reading or creating its attribute file, for listings.
    static UpdaterStoreItem Listed(const char* basePath, const char* name, store_item_t type);

    // Base path and name are both set.
    bool IsValid() const;

    // Replaces fileName in the item's directory with exactly these bytes, through a temporary
    // file and a rename: an interrupted or failed write leaves the old file whole.
    // aErrNotFound for null data or a file that cannot be created, aErrParam for an invalid
    // item or a fileName that is not a plain entry name, aErrIO when the bytes could not all
    // be written or the file not replaced.
    aErr WriteFile(const char* fileName, const uint8_t* data, size_t length);
    // Throws std::runtime_error: "Invalid bird <path>" when the file is missing, unreadable or
    // no BIRD file, the loader's own text when it cannot be loaded, and a store text for an
    // invalid item or name.
    BirdFile ReadBirdFile(const char* fileName) const;
    // Whether the item's directory holds an entry of exactly this name.
    bool FileExists(const char* name) const;

    const std::string& BasePath() const { return basePath_; }
    const std::string& Name() const { return name_; }
    store_item_t Type() const { return type_; }
    // basePath/name.
    std::string Path() const;
    KeyValueStore& Attributes() { return attributes_; }
    const KeyValueStore& Attributes() const { return attributes_; }
    // Saves the attributes to the file they came from; false when the item has none (a save
    // would otherwise write ".settings" in the current directory) or the save failed.
    bool SaveAttributes();

  private:
    std::string basePath_;
    std::string name_;
    store_item_t type_ = STORE_ITEM_NONE;
    KeyValueStore attributes_;
};

// The store's base directory; every operation of the updater that touches the store opens its
// own.
class UpdaterStore {
  public:
    // Creates the base directory and its parents (mode 0755) when missing; throws
    // std::runtime_error when it is a file or cannot be made.
    explicit UpdaterStore(const char* basePath);

    const char* BasePath() const { return basePath_.c_str(); }
    // The device's directory name: eight upper-case hexadecimal digits.
    static std::string DeviceName(uint32_t serial);

    // Creates the device's directory when missing and returns its item; throws
    // std::runtime_error when it cannot, or when name is not a plain entry name.
    UpdaterStoreItem AddDevice(uint32_t serial);
    UpdaterStoreItem AddDevice(const char* name);
    // Whether the base directory holds a directory of exactly this name; on success the item
    // (when given) is replaced by that directory's, its attributes loaded afresh, otherwise
    // it is left as it was.
    bool FindDevice(const char* name, UpdaterStoreItem* item);
    bool FindDevice(uint32_t serial, UpdaterStoreItem* item);
    // Appends an item for every entry of the device's directory that is not hidden (a name
    // beginning with "."), in the directory's order, without touching the disk. True also
    // when the device has no directory; false when its directory cannot be read.
    bool FindLocalBuilds(uint32_t serial, std::vector<UpdaterStoreItem>& items);

  private:
    std::string basePath_;
};
