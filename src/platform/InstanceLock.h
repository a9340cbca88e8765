#pragma once

#include <chrono>
#include <filesystem>

namespace norva {

// The single-instance guard: an exclusive lock on a file, held until the process ends.
// The kernel drops the lock when the process ends, however it ends, so a crash never
// leaves a stale lock behind.
class InstanceLock {
public:
    InstanceLock() = default;
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    // Gives the lock up before the process ends, so another copy may start.
    void release();

    // Waits at most `timeout` for the lock on `path` (created when missing). True when
    // this process may run: it holds the lock, or the lock file could not be used at all
    // (a guard that cannot work must not keep the program from starting).
    bool acquire(const std::filesystem::path& path, std::chrono::milliseconds timeout);

    // Where the guard's file lives: $XDG_RUNTIME_DIR, or a private per-user folder in /tmp.
    static std::filesystem::path defaultPath(const std::string& name);

private:
    int fd_ = -1;
};

} // namespace norva
