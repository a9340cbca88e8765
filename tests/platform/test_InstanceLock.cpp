#include "platform/InstanceLock.h"
#include "support/TempDir.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace std::chrono_literals;
using norva::InstanceLock;
namespace fs = std::filesystem;

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

// --- Where the lock lives without $XDG_RUNTIME_DIR -----------------------------------------

constexpr uid_t Nobody = 65534;
constexpr const char* LockName = "VeltrasysNorvaHB.exe";

// A temporary folder like /tmp (everyone may create in it, sticky) and a home, both private
// to the test.
class LockPlace : public testing::Test {
protected:
    LockPlace() {
        fs::create_directory(tmp);
        ::chmod(tmp.c_str(), 01777);
        ::chmod(dir.path().c_str(), 0755);
        places.tmpRoot = tmp;
        places.cacheHome = dir / "home" / ".cache";
        places.host = "pc1";
        places.uid = ::getuid();
    }

    // The folder in the temporary folder that is this user's by name.
    fs::path TmpFolder() const { return tmp / ("NorvaHB-" + std::to_string(places.uid)); }
    fs::path HomeFolder() const { return places.cacheHome / "NorvaHB-pc1"; }

    // A real folder of this user's that only this user may use.
    void ExpectPrivate(const fs::path& folder) const {
        struct stat st {};
        ASSERT_EQ(::lstat(folder.c_str(), &st), 0) << folder;
        EXPECT_TRUE(S_ISDIR(st.st_mode)) << folder;
        EXPECT_EQ(st.st_uid, places.uid) << folder;
        EXPECT_EQ(st.st_mode & 07777, 0700u) << folder;
    }

    norva::test::TempDir dir;
    fs::path tmp = dir / "tmp";
    InstanceLock::Places places;
};

TEST_F(LockPlace, RuntimeFolderComesFirst) {
    places.runtimeDir = dir / "run";
    EXPECT_EQ(InstanceLock::pathIn(LockName, places), dir / "run" / LockName);
    EXPECT_TRUE(fs::is_empty(tmp));
}

struct TmpCase {
    const char* name;
    std::function<void(const fs::path&)> prepare; // given the folder; empty: nothing there
    bool used;                                    // the folder is used, else the home one
};

void PrintTo(const TmpCase& c, std::ostream* os) {
    *os << c.name;
}

class TmpFolderState : public LockPlace, public testing::WithParamInterface<TmpCase> {};

// The folder in the temporary folder is used only when it is a real folder of this user's
// that no one else may enter; anything else there may be another user's doing, so the lock
// goes to the home folder, which no one else can create, and the start goes on.
TEST_P(TmpFolderState, IsUsedOnlyWhenItIsPrivate) {
    const TmpCase& c = GetParam();
    if (c.prepare)
        c.prepare(TmpFolder());
    if (HasFatalFailure() || IsSkipped())
        return;
    struct stat before {};
    const bool existed = ::lstat(TmpFolder().c_str(), &before) == 0;

    const fs::path path = InstanceLock::pathIn(LockName, places);
    if (c.used) {
        EXPECT_EQ(path, TmpFolder() / LockName);
        ExpectPrivate(TmpFolder());
        EXPECT_FALSE(fs::exists(places.cacheHome));
    } else {
        EXPECT_EQ(path, HomeFolder() / LockName);
        ExpectPrivate(HomeFolder());
        struct stat after {};
        ASSERT_EQ(::lstat(TmpFolder().c_str(), &after), 0);
        EXPECT_TRUE(existed && after.st_mode == before.st_mode && after.st_uid == before.st_uid)
            << "what was in the temporary folder was changed";
    }
    InstanceLock lock;
    EXPECT_TRUE(lock.acquire(path, 0ms));
    EXPECT_TRUE(fs::is_regular_file(path));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TmpFolderState,
    testing::Values(TmpCase{"Missing", {}, true},
                    TmpCase{"OwnPrivateFolder",
                            [](const fs::path& f) {
                                fs::create_directory(f);
                                ::chmod(f.c_str(), 0700);
                            },
                            true},
                    TmpCase{"OpenToOthers",
                            [](const fs::path& f) {
                                fs::create_directory(f);
                                ::chmod(f.c_str(), 0777);
                            },
                            false},
                    TmpCase{"SymbolicLinkToAPrivateFolder",
                            [](const fs::path& f) {
                                const fs::path target = f.parent_path() / "elsewhere";
                                fs::create_directory(target);
                                ::chmod(target.c_str(), 0700);
                                fs::create_directory_symlink(target, f);
                            },
                            false},
                    TmpCase{"AFile", [](const fs::path& f) { std::ofstream(f) << "x"; }, false},
                    TmpCase{"AnotherUsersFolder",
                            [](const fs::path& f) {
                                if (::geteuid() != 0)
                                    GTEST_SKIP() << "giving a folder to another user needs root";
                                fs::create_directory(f);
                                ::chmod(f.c_str(), 0700);
                                ASSERT_EQ(::chown(f.c_str(), Nobody, Nobody), 0)
                                    << std::strerror(errno);
                            },
                            false}),
    [](const testing::TestParamInfo<TmpCase>& p) { return std::string(p.param.name); });

TEST_F(LockPlace, NoUsablePlaceLeavesTheStartUnguarded) {
    fs::create_directory(TmpFolder());
    ::chmod(TmpFolder().c_str(), 0777);
    places.cacheHome.clear();
    const fs::path path = InstanceLock::pathIn(LockName, places);
    EXPECT_NE(path.parent_path(), TmpFolder());
    InstanceLock lock;
    EXPECT_TRUE(lock.acquire(path, 0ms));
}

// A link in place of the lock file is not followed: the guard does not work then, but it
// never creates or locks a file elsewhere.
TEST_F(LockPlace, LockFileLinkIsNotFollowed) {
    const fs::path folder = dir / "private";
    fs::create_directory(folder);
    const fs::path target = dir / "target";
    fs::create_symlink(target, folder / LockName);
    InstanceLock lock;
    EXPECT_TRUE(lock.acquire(folder / LockName, 0ms));
    EXPECT_FALSE(fs::exists(target));
}

// The fault as it happens: another user creates this user's folder in the temporary folder,
// open to all, and holds the lock in it. This user's copy still starts, at once.
TEST_F(LockPlace, AnotherUserHoldingTheTmpFolderDoesNotStopTheStart) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "playing another user needs root";
    int ready[2], go[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(go), 0);
    const fs::path folder = TmpFolder();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(ready[0]);
        ::close(go[1]);
        char ok = '0';
        if (::setgroups(0, nullptr) == 0 && ::setgid(Nobody) == 0 && ::setuid(Nobody) == 0 &&
            ::mkdir(folder.c_str(), 0777) == 0 && ::chmod(folder.c_str(), 0777) == 0) {
            const int fd = ::open((folder / LockName).c_str(), O_RDWR | O_CREAT, 0666);
            if (fd >= 0 && ::fchmod(fd, 0666) == 0 && ::flock(fd, LOCK_EX) == 0)
                ok = '1';
        }
        (void)!::write(ready[1], &ok, 1);
        char c;
        (void)!::read(go[0], &c, 1);
        ::_exit(0);
    }
    ::close(ready[1]);
    ::close(go[0]);
    char ok = 0;
    EXPECT_EQ(::read(ready[0], &ok, 1), 1);
    ::close(ready[0]);
    const bool held = ok == '1';

    if (held) {
        InstanceLock lock;
        EXPECT_TRUE(lock.acquire(InstanceLock::pathIn(LockName, places), 1000ms));
    }
    ::close(go[1]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!held)
        GTEST_SKIP() << "root cannot become uid " << Nobody << " here";
}

} // namespace
