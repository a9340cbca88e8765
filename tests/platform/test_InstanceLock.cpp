#include "platform/InstanceLock.h"
#include "support/TempDir.h"

#include <chrono>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace std::chrono_literals;
using norva::InstanceLock;

namespace {

// Runs a child process that takes the lock, reports through a pipe, and holds it until told.
struct LockHolder {
    pid_t pid = -1;
    int release = -1;

    explicit LockHolder(const std::filesystem::path& path) {
        int ready[2], go[2];
        EXPECT_EQ(::pipe(ready), 0);
        EXPECT_EQ(::pipe(go), 0);
        pid = ::fork();
        if (pid == 0) {
            ::close(ready[0]);
            ::close(go[1]); // so that the parent closing its end is seen as end-of-file
            InstanceLock lock;
            const char ok = lock.acquire(path, 1000ms) ? '1' : '0';
            (void)!::write(ready[1], &ok, 1);
            char c;
            (void)!::read(go[0], &c, 1);
            ::_exit(0);
        }
        char ok = 0;
        EXPECT_EQ(::read(ready[0], &ok, 1), 1);
        EXPECT_EQ(ok, '1');
        release = go[1];
        ::close(ready[0]);
        ::close(ready[1]);
        ::close(go[0]);
    }
    void end() {
        ::close(release);
        int status = 0;
        ::waitpid(pid, &status, 0);
    }
};

TEST(InstanceLock, SecondCopyWaitsItsTimeThenGivesUp) {
    norva::test::TempDir dir;
    const auto path = dir / "VeltrasysNorvaHB.exe";
    LockHolder first(path);
    InstanceLock second;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(second.acquire(path, 300ms));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 290ms);
    first.end();
}

TEST(InstanceLock, LockOfAnEndedProcessIsFreeAtOnce) {
    norva::test::TempDir dir;
    const auto path = dir / "VeltrasysNorvaHB.exe";
    LockHolder first(path);
    first.end(); // ends without releasing anything: the kernel drops the lock
    InstanceLock next;
    EXPECT_TRUE(next.acquire(path, 0ms));
}

TEST(InstanceLock, UnusableLockFileDoesNotKeepTheProgramFromStarting) {
    InstanceLock lock;
    EXPECT_TRUE(lock.acquire("/nonexistent-folder/VeltrasysNorvaHB.exe", 100ms));
}

} // namespace
