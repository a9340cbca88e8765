#pragma once

#include "platform/Error.h"
#include "platform/ProfileFile.h"
#include "settings/SettingsKeys.h"

#include <filesystem>
#include <string>
#include <vector>

namespace norva {

// Raised when the settings file cannot be written: "Unable to write to NorvaHB".
class SettingsWriteError : public Error {
public:
    using Error::Error;
};

// The program's settings: one INI file named "NorvaHB". Nothing is cached; every read goes
// to the file and every write goes to it at once (see ProfileFile for the file rules).
class SettingsFile {
public:
    static constexpr const char* FileName = "NorvaHB";

    // `folder` holds the file; the program passes DefaultFolder(), tests their own. `ops`
    // makes the file's system calls (null: the system's own); tests pass one that fails.
    explicit SettingsFile(const std::filesystem::path& folder, FileOps* ops = nullptr);

    // $XDG_CONFIG_HOME, or ~/.config, created when missing.
    static std::filesystem::path DefaultFolder();

    const std::filesystem::path& path() const { return file_.path(); }

    std::string ReadString(const std::string& section, const std::string& key,
                           const std::string& fallback) const;
    void WriteString(const std::string& section, const std::string& key, const std::string& value);

    // Decimal, or hexadecimal with "0x"/"0X"/"$"; non-zero is true. A missing key, an empty
    // value or anything that is not an integer gives `fallback`.
    bool ReadBool(const std::string& section, const std::string& key, bool fallback) const;
    void WriteBool(const std::string& section, const std::string& key, bool value);

    // The same, for a key named in SettingsKeys.h, with that key's own fallback or another.
    std::string ReadString(const TextKey& key) const { return ReadString(key, key.fallback); }
    std::string ReadString(const TextKey& key, std::string_view fallback) const;
    void WriteString(const TextKey& key, const std::string& value);
    bool ReadBool(const FlagKey& key) const;
    void WriteBool(const FlagKey& key, bool value);

    // Several values stored at once: all of them in one replacement of the file, or, when
    // the write is refused ("Unable to write to NorvaHB"), none. Build them with Text/Flag.
    using Entry = ProfileFile::Entry;
    static Entry Text(const TextKey& key, std::string value);
    static Entry Flag(const FlagKey& key, bool value);
    void WriteAll(const std::vector<Entry>& entries);

private:
    ProfileFile file_;
};

} // namespace norva
