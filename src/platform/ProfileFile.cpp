#include "platform/ProfileFile.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <optional>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace norva {

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string trim(const std::string& s) {
    std::size_t b = 0, e = s.size();
    while (b < e && isBlank(s[b]))
        ++b;
    while (e > b && isBlank(s[e - 1]))
        --e;
    return s.substr(b, e - b);
}

bool sameName(const std::string& a, const std::string& b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z')
            x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<char>(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}

// "[name]" gives name; anything else gives nothing.
std::optional<std::string> sectionName(const std::string& line) {
    const std::string t = trim(line);
    if (t.size() < 2 || t.front() != '[')
        return std::nullopt;
    const std::size_t close = t.find(']');
    if (close == std::string::npos)
        return std::nullopt;
    return trim(t.substr(1, close - 1));
}

bool isComment(const std::string& line) {
    const std::string t = trim(line);
    return !t.empty() && (t.front() == ';' || t.front() == '#');
}

// For a key line, its key; for anything else, nothing.
std::optional<std::string> keyName(const std::string& line) {
    if (isComment(line))
        return std::nullopt;
    const std::size_t eq = line.find('=');
    if (eq == std::string::npos)
        return std::nullopt;
    return trim(line.substr(0, eq));
}

// Cuts to at most `max` UTF-8 characters without splitting one.
std::string capCharacters(const std::string& s, std::size_t max) {
    std::size_t chars = 0;
    for (std::size_t i = 0; i < s.size(); ++i) {
        const auto byte = static_cast<unsigned char>(s[i]);
        if ((byte & 0xC0) != 0x80) {
            if (chars == max)
                return s.substr(0, i);
            ++chars;
        }
    }
    return s;
}

struct Location {
    std::optional<std::size_t> section; // index of the section's header line
    std::optional<std::size_t> key;     // index of the key's line
    std::size_t sectionEnd = 0;         // one past the section's last key line
};

Location locate(const std::vector<std::string>& lines, const std::string& section,
                const std::string& key) {
    Location loc;
    bool inside = false;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (auto name = sectionName(lines[i])) {
            if (inside)
                break; // only the first section of that name counts
            if (sameName(*name, section)) {
                inside = true;
                loc.section = i;
                loc.sectionEnd = i + 1;
            }
            continue;
        }
        if (!inside)
            continue;
        if (auto k = keyName(lines[i])) {
            loc.sectionEnd = i + 1;
            if (!loc.key && sameName(*k, key))
                loc.key = i;
        } else if (!trim(lines[i]).empty()) {
            loc.sectionEnd = i + 1;
        }
    }
    return loc;
}

FileOps systemOps;

// The file's lines, without their line ends (LF or CRLF) and without a UTF-8 byte-order mark
// at the start, which `bom` reports.
std::vector<std::string> splitLines(const std::string& content, bool* bom) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    if (bom)
        *bom = false;
    if (content.rfind("\xEF\xBB\xBF", 0) == 0) {
        start = 3;
        if (bom)
            *bom = true;
    }
    while (start < content.size()) {
        std::size_t end = content.find('\n', start);
        if (end == std::string::npos)
            end = content.size();
        std::string line = content.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(std::move(line));
        start = end + 1;
    }
    return lines;
}

} // namespace

ProfileFile::ProfileFile(std::filesystem::path path, FileOps* ops)
    : path_(std::move(path)), ops_(ops ? ops : &systemOps) {}

bool ProfileFile::readAll(int fd, std::string& content) const {
    char buffer[65536];
    for (;;) {
        const ssize_t n = ops_->read(fd, buffer, sizeof buffer);
        if (n == 0)
            return true;
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        content.append(buffer, static_cast<std::size_t>(n));
    }
}

std::string ProfileFile::read(const std::string& section, const std::string& key,
                              const std::string& fallback) const {
    std::string content;
    const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return fallback;
    const bool whole = readAll(fd, content);
    ::close(fd);
    if (!whole)
        return fallback;
    const auto lines = splitLines(content, nullptr);
    const Location loc = locate(lines, section, key);
    if (!loc.key)
        return fallback;
    const std::string& line = lines[*loc.key];
    std::string value = trim(line.substr(line.find('=') + 1));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front())
        value = value.substr(1, value.size() - 2);
    return capCharacters(value, MaxValueLength);
}

bool ProfileFile::write(const std::string& section, const std::string& key,
                        const std::string& value) {
    return write({{section, key, value}});
}

bool ProfileFile::write(const std::vector<Entry>& entries) {
    if (entries.empty())
        return true;
    // A value with a line break would turn into several lines and corrupt the file.
    for (const Entry& e : entries)
        if (e.value.find_first_of("\r\n") != std::string::npos ||
            e.key.find_first_of("\r\n=") != std::string::npos ||
            e.section.find_first_of("\r\n]") != std::string::npos)
            return false;

    // The old file is opened for reading and writing, as a write in place would open it,
    // so the kernel applies this user's rights to it (owner, mode, read-only mount) before
    // the rename below, which needs only the folder's, could replace it. Its content comes
    // from the same descriptor: a file that cannot be read to its end is refused, not taken
    // for an empty one.
    std::string old;
    mode_t mode = S_IRUSR | S_IWUSR;
    const int oldFd = ::open(path_.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (oldFd >= 0) {
        struct stat st {};
        // Only a regular file is replaced; one its owner made read-only is refused, even for
        // root, who may open it all the same.
        const bool usable = ::fstat(oldFd, &st) == 0 && S_ISREG(st.st_mode) &&
                            (st.st_mode & S_IWUSR) != 0 && readAll(oldFd, old);
        ::close(oldFd);
        if (!usable)
            return false;
        mode = st.st_mode & 07777;
    } else if (errno != ENOENT) {
        return false;
    }

    bool bom = false;
    auto lines = splitLines(old, &bom);
    // Each entry lands where a write of it alone would put it, in the order given.
    for (const Entry& e : entries) {
        const Location loc = locate(lines, e.section, e.key);
        std::string entry = e.key + "=" + e.value;
        if (loc.key) {
            lines[*loc.key] = std::move(entry);
        } else if (loc.section) {
            lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(loc.sectionEnd),
                         std::move(entry));
        } else {
            lines.push_back("[" + e.section + "]");
            lines.push_back(std::move(entry));
        }
    }

    std::ostringstream out;
    if (bom)
        out << "\xEF\xBB\xBF";
    for (const auto& l : lines)
        out << l << '\n';
    const std::string content = out.str();

    // Appended rather than "." + name: GCC 12 at -O3 reports a false -Wrestrict inside
    // operator+ of a literal and a std::string.
    std::string hidden = ".";
    hidden.append(path_.filename().string()).append(".XXXXXX");
    std::string tmpl = (path_.parent_path() / hidden).string();
    if (path_.parent_path().empty())
        tmpl = hidden;
    const int fd = ::mkstemp(tmpl.data());
    if (fd < 0)
        return false;
    bool ok = ::fchmod(fd, mode) == 0;
    std::size_t done = 0;
    while (ok && done < content.size()) {
        const ssize_t n = ops_->write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            ok = false;
        else
            done += static_cast<std::size_t>(n);
    }
    ok = ok && ops_->fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    ok = ok && ops_->rename(tmpl.c_str(), path_.c_str()) == 0;
    if (!ok)
        ::unlink(tmpl.c_str());
    return ok;
}

} // namespace norva
