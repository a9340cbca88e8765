#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <sys/types.h>

namespace norva {

// The single-instance guard: an exclusive lock on a file, held until the process ends.
// The kernel drops the lock when the process ends, however it ends, so a crash never
// leaves a stale lock behind.
class InstanceLock {
public:
    // What decides where the lock file lives; fromEnvironment() gives the program's own,
    // tests give folders of their own.
    struct Places {
        std::filesystem::path runtimeDir; // $XDG_RUNTIME_DIR; empty when unset
        std::filesystem::path tmpRoot;    // the system's temporary folder
        std::filesystem::path cacheHome;  // $XDG_CACHE_HOME or ~/.cache; empty when unknown
        std::string host;                 // this machine's name
        uid_t uid = 0;                    // this user (the effective id, which owns what it makes)

        static Places fromEnvironment();
    };

    InstanceLock() = default;
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    // Gives the lock up before the process ends, so another copy may start.
    void release();

    // Waits at most `timeout` for the lock on `path` (created when missing, never through a
    // symbolic link). True when this process may run: it holds the lock, or the lock file
    // could not be used at all, or `path` is empty (a guard that cannot work must not keep
    // the program from starting).
    bool acquire(const std::filesystem::path& path, std::chrono::milliseconds timeout);

    // Where the guard's file `name` lives: pathIn(name, Places::fromEnvironment()).
    static std::filesystem::path defaultPath(const std::string& name);

    // Where the lock file `name` lives, the first of:
    // 1. $XDG_RUNTIME_DIR, which the login manager makes for this user alone;
    // 2. "NorvaHB-<uid>" in the temporary folder, created 0700 when missing, and used only
    //    if it is a real folder (not a link) owned by this user with mode 0700. Anyone may
    //    create that name in /tmp first; a folder another user made, or opened to others,
    //    could hold a lock that keeps this user's copy from starting;
    // 3. "NorvaHB-<host>" in the user's cache folder ($XDG_CACHE_HOME or ~/.cache), under
    //    the same rule. No other user can create anything there. The cache folder, not the
    //    settings folder, because the lock is throw-away state; the machine's name, because
    //    a home shared between machines must not let a copy on one stop a copy on another.
    // Empty when none of them will do: acquire() then lets the program start unguarded.
    // Copies of one user agree on the place, since a folder that passed the check stays
    // theirs; only a user who took the folder in /tmp and later removes it can split them,
    // which lets a second copy start (it then finds the command port taken), never stops one.
    static std::filesystem::path pathIn(const std::string& name, const Places& places);

private:
    int fd_ = -1;
};

} // namespace norva
