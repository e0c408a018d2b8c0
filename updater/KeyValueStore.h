// A small settings file of key=value lines, held as a sorted map; saved whole by replacing the
// old file, so a save cut short never leaves a half-written one.
#pragma once

#include <cstdint>
#include <map>
#include <string>

class KeyValueStore {
  public:
    static constexpr const char* DEFAULT_FILENAME = ".settings";
    static constexpr const char* KEY_CREATED_TIME = "CREATED_TIME";
    static constexpr const char* KEY_UPDATED_TIME = "UPDATED_TIME";

    explicit KeyValueStore(const char* path = nullptr);

    // Null when the key is absent.
    const char* operator[](const char* key) const;

    // These four add an absent key with an empty value (the store stays clean), so a later
    // Save writes it; the default is returned for an absent or empty value.
    int GetInt(const char* key, int fallback);
    uint32_t GetHex(const char* key, uint32_t fallback);
    bool GetBOOL(const char* key, bool fallback);
    double GetDouble(const char* key, double fallback);
    // Never adds a key.
    std::string GetString(const char* key, const char* fallback) const;

    // The setters refuse (false, nothing stored) a null key or value, a key holding "=" or a
    // newline, a value holding a newline, and a line longer than a load reads (2047 characters
    // with its newline): each would read back as other entries, or end the next load.
    bool Add(const char* key, int value);
    bool Add(const char* key, double value);
    bool Add(const char* key, const char* value);
    bool Add(const char* key, const std::string& value);
    bool AddHex(const char* key, uint32_t value);
    bool Add(const KeyValueStore& other);
    bool Clear();

    // Adds the file's entries; a file that cannot be opened is created.
    void Load(const char* path);
    // Writes every entry to a temporary file beside the target and renames it over the target;
    // on any failure the old file is kept and the store stays dirty.
    void Save(const char* path);

    const std::string& Path() const { return path_; }
    const std::map<std::string, std::string>& Entries() const { return entries_; }
    bool IsDirty() const { return dirty_; }

  private:
    bool Set(const char* key, const std::string& text);
    // The value of key, added empty when absent; null for a key that cannot be stored.
    const std::string* Lookup(const char* key);
    void ParseLine(const char* line, size_t length);

    std::string path_;
    std::map<std::string, std::string> entries_;
    bool dirty_ = false;
};
