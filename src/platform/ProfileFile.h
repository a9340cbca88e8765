#pragma once

#include "platform/FileOps.h"

#include <filesystem>
#include <string>
#include <vector>

namespace norva {

// A small INI ("profile") file service: sections in brackets, key=value lines.
//
// - Section and key names match without regard to ASCII case.
// - A read trims blanks around the value and removes one pair of enclosing single or
//   double quotes; it returns at most 2047 characters.
// - A present key with an empty value is not missing.
// - Nothing is cached: every call reads the file again.
// - A write replaces the value in place, or appends the key to its section, or the
//   section to the file. The new content goes to a temporary file in the same folder that
//   is then renamed over the old one, so a crash or a full disk never leaves a
//   half-written file. A new file is readable by its owner only.
// - A write to an existing file that this user may not both read and write in place
//   (another user's file that is not open to this user for both, a file of mode 0200 or
//   0400, a read-only mount), or that cannot be read to its end, is refused and leaves the file as
//   it was: the replacement would otherwise drop every line that could not be read, or hand the
//   user a file that was not theirs to change. A read of a file that cannot be read gives the
//   fallback.
// - Lines the service does not understand (comments, lines without "=") are kept as they
//   are. A UTF-8 byte-order mark and CRLF line ends are accepted.
class ProfileFile {
public:
    static constexpr std::size_t MaxValueLength = 2047;

    // `ops` makes the system calls (see FileOps); null means the system's own. It must
    // outlive this object.
    explicit ProfileFile(std::filesystem::path path, FileOps* ops = nullptr);

    const std::filesystem::path& path() const { return path_; }

    // The stored value, or `fallback` when the file, the section or the key is missing.
    std::string read(const std::string& section, const std::string& key,
                     const std::string& fallback) const;

    // False when the platform refused the write; the file is then unchanged.
    bool write(const std::string& section, const std::string& key, const std::string& value);

    // One value to store, for the write of several at once.
    struct Entry {
        std::string section;
        std::string key;
        std::string value;
    };
    // Stores every entry, in their order, in one replacement of the file: afterwards the file
    // holds all of them or, when the write is refused (false), none, as it was. A key given
    // twice keeps the last value. Settings that belong together (a user name and its
    // password) thus never end up half changed.
    bool write(const std::vector<Entry>& entries);

private:
    // The whole content of the open file `fd`; false on a read error.
    bool readAll(int fd, std::string& content) const;

    std::filesystem::path path_;
    FileOps* ops_;
};

} // namespace norva
