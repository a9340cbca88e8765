#include "platform/InstanceLock.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace norva {

InstanceLock::~InstanceLock() {
    release();
}

void InstanceLock::release() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

bool InstanceLock::acquire(const std::filesystem::path& path, std::chrono::milliseconds timeout) {
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
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

std::filesystem::path InstanceLock::defaultPath(const std::string& name) {
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime)
        return std::filesystem::path(runtime) / name;
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("NorvaHB-" + std::to_string(::getuid()));
    ::mkdir(dir.c_str(), 0700);
    return dir / name;
}

} // namespace norva
