#include "settings/SettingsFile.h"

#include <cstdlib>
#include <optional>
#include <system_error>
#include <utility>

namespace norva {

namespace {

std::optional<long long> parseInteger(const std::string& text) {
    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
        negative = text[i] == '-';
        ++i;
    }
    int base = 10;
    if (text.compare(i, 2, "0x") == 0 || text.compare(i, 2, "0X") == 0) {
        base = 16;
        i += 2;
    } else if (i < text.size() && text[i] == '$') {
        base = 16;
        i += 1;
    }
    if (i >= text.size())
        return std::nullopt;
    long long value = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            return std::nullopt;
        value = value * base + digit;
        if (value > 0xFFFFFFFFLL)
            return std::nullopt;
    }
    return negative ? -value : value;
}

} // namespace

SettingsFile::SettingsFile(const std::filesystem::path& folder, FileOps* ops)
    : file_(folder / FileName, ops) {}

std::filesystem::path SettingsFile::DefaultFolder() {
    std::filesystem::path folder;
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && *config)
        folder = config;
    else if (const char* home = std::getenv("HOME"); home && *home)
        folder = std::filesystem::path(home) / ".config";
    else
        folder = ".";
    std::error_code ignored;
    std::filesystem::create_directories(folder, ignored);
    return folder;
}

std::string SettingsFile::ReadString(const std::string& section, const std::string& key,
                                     const std::string& fallback) const {
    return file_.read(section, key, fallback);
}

void SettingsFile::WriteString(const std::string& section, const std::string& key,
                               const std::string& value) {
    if (!file_.write(section, key, value))
        throw SettingsWriteError(std::string("Unable to write to ") + FileName);
}

bool SettingsFile::ReadBool(const std::string& section, const std::string& key,
                            bool fallback) const {
    const auto value = parseInteger(file_.read(section, key, ""));
    if (!value)
        return fallback;
    return *value != 0;
}

void SettingsFile::WriteBool(const std::string& section, const std::string& key, bool value) {
    WriteString(section, key, value ? "1" : "0");
}

std::string SettingsFile::ReadString(const TextKey& key, std::string_view fallback) const {
    return ReadString(std::string(key.section), std::string(key.name), std::string(fallback));
}

void SettingsFile::WriteString(const TextKey& key, const std::string& value) {
    WriteString(std::string(key.section), std::string(key.name), value);
}

bool SettingsFile::ReadBool(const FlagKey& key) const {
    return ReadBool(std::string(key.section), std::string(key.name), key.fallback);
}

void SettingsFile::WriteBool(const FlagKey& key, bool value) {
    WriteBool(std::string(key.section), std::string(key.name), value);
}

SettingsFile::Entry SettingsFile::Text(const TextKey& key, std::string value) {
    return {std::string(key.section), std::string(key.name), std::move(value)};
}

SettingsFile::Entry SettingsFile::Flag(const FlagKey& key, bool value) {
    return {std::string(key.section), std::string(key.name), value ? "1" : "0"};
}

void SettingsFile::WriteAll(const std::vector<Entry>& entries) {
    if (!file_.write(entries))
        throw SettingsWriteError(std::string("Unable to write to ") + FileName);
}

} // namespace norva
