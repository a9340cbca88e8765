#include "platform/InstanceLock.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace norva {

namespace {

// Creates `dir` when missing and says whether it is a place no other user can reach: a
// real folder (not a link to one), owned by `uid`, closed to everyone else. In a folder
// like /tmp anyone may create this user's folder first, or a link by its name.
bool privateFolder(const std::filesystem::path& dir, uid_t uid) {
    if (::mkdir(dir.c_str(), 0700) == 0)
        ::chmod(dir.c_str(), 0700); // a umask may have taken bits away; no one else can
                                    // have replaced a folder this user just made
    struct stat st {};
    return ::lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == uid &&
           (st.st_mode & 07777) == 0700;
}

} // namespace

InstanceLock::~InstanceLock() {
    release();
}

void InstanceLock::release() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

bool InstanceLock::acquire(const std::filesystem::path& path, std::chrono::milliseconds timeout) {
    if (path.empty())
        return true;
    // A link in place of the lock file is not followed, so the guard never creates or locks
    // a file somewhere else.
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd_ < 0)
        return true;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (::flock(fd_, LOCK_EX | LOCK_NB) == 0)
            return true;
        if (errno != EWOULDBLOCK && errno != EINTR)
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

InstanceLock::Places InstanceLock::Places::fromEnvironment() {
    Places places;
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime)
        places.runtimeDir = runtime;
    std::error_code noTmpdir; // $TMPDIR naming no folder
    places.tmpRoot = std::filesystem::temp_directory_path(noTmpdir);
    if (noTmpdir)
        places.tmpRoot = "/tmp";
    if (const char* cache = std::getenv("XDG_CACHE_HOME"); cache && *cache)
        places.cacheHome = cache;
    else if (const char* home = std::getenv("HOME"); home && *home)
        places.cacheHome = std::filesystem::path(home) / ".cache";
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) == 0)
        places.host = host;
    places.uid = ::geteuid();
    return places;
}

std::filesystem::path InstanceLock::defaultPath(const std::string& name) {
    return pathIn(name, Places::fromEnvironment());
}

std::filesystem::path InstanceLock::pathIn(const std::string& name, const Places& places) {
    if (!places.runtimeDir.empty())
        return places.runtimeDir / name;
    const std::filesystem::path tmp = places.tmpRoot / ("NorvaHB-" + std::to_string(places.uid));
    if (privateFolder(tmp, places.uid))
        return tmp / name;
    if (!places.cacheHome.empty()) {
        std::error_code ignored;
        std::filesystem::create_directories(places.cacheHome, ignored);
        const std::filesystem::path home = places.cacheHome / ("NorvaHB-" + places.host);
        if (privateFolder(home, places.uid))
            return home / name;
    }
    return {};
}

} // namespace norva
