// The settings file under hostile conditions: files that are not INI at all, files far too
// big, writes the system refuses or that fail halfway, and files this user may not read or
// write. Whatever the file holds, a read gives the stored value or the default, a write
// keeps every line it does not change, and a refused write leaves the old file whole and
// says "Unable to write to NorvaHB".
#include "settings/SettingsFile.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <grp.h>
#include <optional>
#include <random>
#include <sched.h>
#include <set>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using norva::SettingsFile;
using norva::SettingsWriteError;
using norva::test::TempDir;
namespace fs = std::filesystem;

namespace {

std::string RandomBytes(std::size_t size, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> byte(0, 255);
    std::string out(size, '\0');
    for (auto& c : out)
        c = static_cast<char>(byte(rng));
    return out;
}

// About 10 MB of well-formed key lines, with the program's own section at the very end, so
// every read has to go through all of it.
std::string TenMegabytesOfLines() {
    std::string out = "[Filler]\n";
    const std::string value(80, 'v');
    for (int i = 0; out.size() < 10 * 1024 * 1024; ++i)
        out += "key" + std::to_string(i) + "=" + value + "\n";
    return out + "[Setup]\nFreq=7\n";
}

// What a rewrite keeps of `content`: its lines as the file service reads them (a CR before
// each line end dropped, the last line ended), in their order.
std::string AsRewritten(const std::string& content) {
    std::string out;
    std::size_t start = 0;
    while (start < content.size()) {
        std::size_t end = content.find('\n', start);
        if (end == std::string::npos)
            end = content.size();
        std::string line = content.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        out += line + "\n";
        start = end + 1;
    }
    return out;
}

struct ReadCase {
    const char* name;
    std::function<std::string()> content; // empty function: no file at all
    const char* freq;                     // Setup/Freq read with default "5"
};

class OddFile : public testing::TestWithParam<ReadCase> {};

// The file is read, then written once, then read again: the reads give the stored value or
// the default, the write succeeds, and nothing that was in the file is lost by it.
TEST_P(OddFile, ReadsDefaultsAndWriteKeepsEverything) {
    TempDir dir;
    const ReadCase& c = GetParam();
    std::string before;
    if (c.content) {
        before = c.content();
        dir.write("NorvaHB", before);
    }
    SettingsFile ini(dir.path());

    EXPECT_EQ(ini.ReadString("Setup", "Freq", "5"), c.freq);
    EXPECT_EQ(ini.ReadString("GSD", "Username", "Ostra"), "Ostra");
    EXPECT_FALSE(ini.ReadBool("Run", "IsStarted", false));
    EXPECT_TRUE(ini.ReadBool("Setup", "Network", true));

    ASSERT_NO_THROW(ini.WriteBool("Run", "IsStarted", true));
    EXPECT_TRUE(ini.ReadBool("Run", "IsStarted", false));
    EXPECT_EQ(ini.ReadString("Setup", "Freq", "5"), c.freq);
    const std::string after = dir.read("NorvaHB");
    // Compared by hand: a failing EXPECT_EQ would print 10 MB.
    const std::string expected = AsRewritten(before) + "[Run]\nIsStarted=1\n";
    EXPECT_TRUE(after == expected)
        << "the write changed or dropped lines it did not own (" << before.size()
        << " bytes before, " << after.size() << " after, " << expected.size() << " expected)";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OddFile,
    testing::Values(
        ReadCase{"Missing", {}, "5"}, ReadCase{"Empty", [] { return std::string(); }, "5"},
        // 64 KB of random bytes: NULs, CRs, LFs, brackets and '=' all turn up in it.
        ReadCase{"BinaryGarbage", [] { return RandomBytes(64 * 1024, 20240611); }, "5"},
        ReadCase{"TenMegabytesOfLines", TenMegabytesOfLines, "7"},
        ReadCase{"TenMegabytesOnOneLine",
                 [] { return std::string(10 * 1024 * 1024, 'x') + "\n[Setup]\nFreq=7"; }, "7"},
        ReadCase{"KeyOf5000Characters",
                 [] { return "[Setup]\n" + std::string(5000, 'K') + "=long\nFreq=9\n"; }, "9"}),
    [](const testing::TestParamInfo<ReadCase>& p) { return std::string(p.param.name); });

TEST(LongKey, RoundTripsAndIsReplacedInPlace) {
    TempDir dir;
    SettingsFile ini(dir.path());
    const std::string key(5000, 'k');
    const std::string upper(5000, 'K');
    ini.WriteString("GSD", key, "first");
    ini.WriteString("GSD", "Password", "pw");
    ini.WriteString("GSD", upper, "second");
    EXPECT_EQ(ini.ReadString("gsd", key, ""), "second");
    EXPECT_EQ(ini.ReadString("GSD", "Password", ""), "pw");
    // One line for the key, spelt as last written.
    EXPECT_TRUE(dir.read("NorvaHB") == "[GSD]\n" + upper + "=second\nPassword=pw\n");
}

// --- Refused writes ------------------------------------------------------------------------

// Gives this test program a mount namespace of its own (as root directly, otherwise through a
// user namespace), so that the mounts below are seen by nobody else and vanish with the
// process even if it crashes. False where the system allows neither.
bool OwnMountNamespace() {
    static const bool ok = [] {
        if (::unshare(CLONE_NEWNS) != 0) {
            const uid_t uid = ::getuid();
            const gid_t gid = ::getgid();
            if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0)
                return false;
            std::ofstream("/proc/self/setgroups") << "deny";
            std::ofstream("/proc/self/uid_map") << "0 " << uid << " 1";
            std::ofstream("/proc/self/gid_map") << "0 " << gid << " 1";
        }
        return ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    }();
    return ok;
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::set<std::string> Names(const fs::path& folder) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.insert(entry.path().filename().string());
    return names;
}

// The faults the system makes on demand (a read-only file or folder, a disk really full)
// and those only an injected FileOps can make at the worst moment: the disk filling up
// halfway through the new file, a failing fsync, a rename that fails, an old file that
// cannot be read past its first bytes.
enum class Fault {
    ReadOnlyFile,
    ReadOnlyFolder,
    DiskFull,
    FullAfterPartialWrite,
    FsyncFails,
    RenameFails,
    ReadBreaksOff
};

// Passes every call to the system, except that the armed fault strikes the next call of
// its kind, once.
class FailingOps : public norva::FileOps {
public:
    void arm(Fault fault) {
        armed_ = fault;
        partDone_ = false;
    }
    void disarm() { armed_.reset(); }

    ssize_t read(int fd, void* buffer, std::size_t size) override {
        if (armed_ == Fault::ReadBreaksOff)
            return part(
                size, [&](std::size_t n) { return FileOps::read(fd, buffer, n); }, EIO);
        return FileOps::read(fd, buffer, size);
    }
    ssize_t write(int fd, const void* data, std::size_t size) override {
        if (armed_ == Fault::FullAfterPartialWrite)
            return part(
                size, [&](std::size_t n) { return FileOps::write(fd, data, n); }, ENOSPC);
        return FileOps::write(fd, data, size);
    }
    int fsync(int fd) override { return strike(Fault::FsyncFails, EIO) ? -1 : FileOps::fsync(fd); }
    int rename(const char* from, const char* to) override {
        return strike(Fault::RenameFails, ENOSPC) ? -1 : FileOps::rename(from, to);
    }

private:
    bool strike(Fault fault, int error) {
        if (armed_ != fault)
            return false;
        armed_.reset();
        errno = error;
        return true;
    }
    // The first call moves a few bytes, the next one fails.
    template <typename Call> ssize_t part(std::size_t size, Call call, int error) {
        if (!partDone_) {
            partDone_ = true;
            return call(std::min<std::size_t>(size, 10));
        }
        armed_.reset();
        errno = error;
        return -1;
    }

    std::optional<Fault> armed_;
    bool partDone_ = false;
};

struct FaultCase {
    const char* name;
    Fault fault;
};

void PrintTo(const FaultCase& c, std::ostream* os) {
    *os << c.name;
}

class RefusedWrite : public testing::TestWithParam<FaultCase> {
protected:
    void TearDown() override {
        if (mounted_)
            ::umount2(folder_.c_str(), MNT_DETACH);
        ::chmod(folder_.c_str(), 0700);
    }

    // Makes the fault happen in folder_, which holds the settings file and, for a full disk,
    // the filler; returns what takes it away again.
    std::function<void()> Inflict(Fault fault) {
        const fs::path file = folder_ / "NorvaHB";
        switch (fault) {
        case Fault::ReadOnlyFile:
            // The owner's write bit is what counts, also for root.
            ::chmod(file.c_str(), 0400);
            return [file] { ::chmod(file.c_str(), 0600); };
        case Fault::ReadOnlyFolder:
            if (!OwnMountNamespace()) {
                ::chmod(folder_.c_str(), 0555);
                return [this] { ::chmod(folder_.c_str(), 0700); };
            }
            // As root a folder's mode bits stop nothing; a read-only mount does.
            EXPECT_EQ(::mount(folder_.c_str(), folder_.c_str(), nullptr, MS_BIND, nullptr), 0)
                << std::strerror(errno);
            mounted_ = true;
            EXPECT_EQ(::mount(nullptr, folder_.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY,
                              nullptr),
                      0)
                << std::strerror(errno);
            return [this] {
                ::umount2(folder_.c_str(), MNT_DETACH);
                mounted_ = false;
            };
        case Fault::FullAfterPartialWrite:
        case Fault::FsyncFails:
        case Fault::RenameFails:
        case Fault::ReadBreaksOff:
            ops_.arm(fault);
            return [this] { ops_.disarm(); };
        case Fault::DiskFull: {
            const int fd = ::open((folder_ / "filler").c_str(), O_WRONLY | O_CREAT, 0600);
            EXPECT_GE(fd, 0) << std::strerror(errno);
            const std::string block(4096, 'f');
            while (::write(fd, block.data(), block.size()) > 0) {
            }
            EXPECT_EQ(errno, ENOSPC);
            ::close(fd);
            return [this] { fs::remove(folder_ / "filler"); };
        }
        }
        return {};
    }

    TempDir dir_; // outlives TearDown, so nothing is mounted on it when it is removed
    fs::path folder_ = dir_ / "settings";
    bool mounted_ = false;
    FailingOps ops_;
};

TEST_P(RefusedWrite, RaisesAndLeavesTheOldFileWhole) {
    const Fault fault = GetParam().fault;
    if (fault == Fault::ReadOnlyFolder && !OwnMountNamespace() && ::geteuid() == 0)
        GTEST_SKIP() << "a read-only folder needs a mount namespace of this test's own (this "
                        "root lacks CAP_SYS_ADMIN), and for root chmod 0555 stops nothing";
    if (fault == Fault::DiskFull && !OwnMountNamespace())
        GTEST_SKIP() << "a full disk needs a small tmpfs of this test's own: run as root, or "
                        "where user namespaces are allowed";
    fs::create_directory(folder_);
    if (fault == Fault::DiskFull) {
        ASSERT_EQ(::mount("tmpfs", folder_.c_str(), "tmpfs", 0, "size=64k,mode=0700"), 0)
            << std::strerror(errno);
        mounted_ = true;
    }

    SettingsFile ini(folder_, &ops_);
    ini.WriteString("Setup", "Freq", "5");
    ini.WriteString("GSD", "Password", std::string(1500, 'p'));
    const std::string before = ReadFile(folder_ / "NorvaHB");
    const auto takeAway = Inflict(fault);
    const std::set<std::string> names = Names(folder_);

    try {
        ini.WriteString("Setup", "Freq", "9");
        FAIL() << "the write was not refused";
    } catch (const SettingsWriteError& e) {
        EXPECT_STREQ(e.what(), "Unable to write to NorvaHB");
    }
    EXPECT_EQ(ReadFile(folder_ / "NorvaHB"), before);
    EXPECT_EQ(Names(folder_), names) << "a refused write left a file behind";
    EXPECT_EQ(ini.ReadString("Setup", "Freq", ""), "5");

    // Nothing is stuck: once the fault is gone, the same write goes through.
    takeAway();
    ASSERT_NO_THROW(ini.WriteString("Setup", "Freq", "9"));
    EXPECT_EQ(ini.ReadString("Setup", "Freq", ""), "9");
    EXPECT_EQ(ini.ReadString("GSD", "Password", ""), std::string(1500, 'p'));
}

// Several values written at once under the same faults: the file keeps every old value or
// takes every new one, never a part (a new user name beside the old password).
TEST_P(RefusedWrite, ABatchIsStoredWholeOrNotAtAll) {
    const Fault fault = GetParam().fault;
    if (fault == Fault::ReadOnlyFolder && !OwnMountNamespace() && ::geteuid() == 0)
        GTEST_SKIP() << "a read-only folder needs a mount namespace of this test's own";
    if (fault == Fault::DiskFull && !OwnMountNamespace())
        GTEST_SKIP() << "a full disk needs a small tmpfs of this test's own";
    fs::create_directory(folder_);
    if (fault == Fault::DiskFull) {
        ASSERT_EQ(::mount("tmpfs", folder_.c_str(), "tmpfs", 0, "size=64k,mode=0700"), 0)
            << std::strerror(errno);
        mounted_ = true;
    }
    SettingsFile ini(folder_, &ops_);
    ini.WriteAll({{"GSD", "Username", "old"}, {"GSD", "Password", std::string(1500, 'p')}});
    const std::string before = ReadFile(folder_ / "NorvaHB");
    const std::vector<SettingsFile::Entry> batch = {
        {"GSD", "username", "new"}, {"GSD", "Password", "fresh"}, {"Run", "IsStarted", "1"}};
    const auto takeAway = Inflict(fault);
    const std::set<std::string> names = Names(folder_);

    EXPECT_THROW(ini.WriteAll(batch), SettingsWriteError);
    EXPECT_EQ(ReadFile(folder_ / "NorvaHB"), before);
    EXPECT_EQ(Names(folder_), names) << "a refused write left a file behind";

    takeAway();
    ASSERT_NO_THROW(ini.WriteAll(batch));
    EXPECT_EQ(ini.ReadString("GSD", "Username", ""), "new");
    EXPECT_EQ(ini.ReadString("GSD", "Password", ""), "fresh");
    EXPECT_TRUE(ini.ReadBool("Run", "IsStarted", false));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RefusedWrite,
    testing::Values(FaultCase{"ReadOnlyFile", Fault::ReadOnlyFile},
                    FaultCase{"ReadOnlyFolder", Fault::ReadOnlyFolder},
                    FaultCase{"DiskFull", Fault::DiskFull},
                    FaultCase{"FullAfterPartialWrite", Fault::FullAfterPartialWrite},
                    FaultCase{"FsyncFails", Fault::FsyncFails},
                    FaultCase{"RenameFails", Fault::RenameFails},
                    FaultCase{"ReadBreaksOff", Fault::ReadBreaksOff}),
    [](const testing::TestParamInfo<FaultCase>& p) { return std::string(p.param.name); });

// --- Files this user may not read or write ------------------------------------------------

constexpr uid_t Nobody = 65534;
constexpr int CannotSwitchUser = 77;

// Runs `body` where file permissions bind: as root, in a child process that has become
// `nobody` (root reads and writes whatever it likes, so a test run as root would prove
// nothing); otherwise right here. The child's failed expectations are printed by the child
// and make it end non-zero. False when root cannot switch users here.
bool RunUnprivileged(const std::function<void()>& body) {
    if (::geteuid() != 0) {
        body();
        return true;
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(Nobody) != 0 || ::setuid(Nobody) != 0)
            ::_exit(CannotSwitchUser);
        body();
        ::_exit(testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    EXPECT_EQ(::waitpid(pid, &status, 0), pid);
    if (WIFEXITED(status) && WEXITSTATUS(status) == CannotSwitchUser)
        return false;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "the unprivileged part failed (its messages are above)";
    return true;
}

struct AccessCase {
    const char* name;
    bool foreign; // owned by another user (root) rather than by the user who runs NorvaHB
    mode_t mode;
    bool readable;
};

void PrintTo(const AccessCase& c, std::ostream* os) {
    *os << c.name;
}

class ForbiddenFile : public testing::TestWithParam<AccessCase> {};

// The folder is the user's own, so a new file could be renamed over the old one; the old
// one must win all the same: a write raises and changes no byte, and a read gives what can
// be read (the stored value, or the defaults when nothing can).
TEST_P(ForbiddenFile, WriteRaisesAndChangesNothing) {
    const AccessCase& c = GetParam();
    const bool root = ::geteuid() == 0;
    if (c.foreign && !root)
        GTEST_SKIP() << "a file owned by another user needs root to set up";
    const uid_t user = root ? Nobody : ::getuid();
    const gid_t group = root ? Nobody : ::getgid();

    TempDir dir;
    ::chmod(dir.path().c_str(), 0755);
    const fs::path folder = dir / "settings";
    fs::create_directory(folder);
    // Root in a user namespace of its own (see OwnMountNamespace) has no other user to hand
    // files to.
    if (::chown(folder.c_str(), user, group) != 0)
        GTEST_SKIP() << "this root cannot give files to uid " << user << ": "
                     << std::strerror(errno);
    ::chmod(folder.c_str(), 0700);
    const fs::path control = folder / "control";
    fs::create_directory(control);
    ASSERT_EQ(::chown(control.c_str(), user, group), 0) << std::strerror(errno);
    const fs::path file = folder / "NorvaHB";
    const std::string before = "; kept by hand\n[Setup]\nFreq=7\n[GSD]\nPassword=secret\n";
    std::ofstream(file, std::ios::binary) << before;
    if (!c.foreign) {
        ASSERT_EQ(::chown(file.c_str(), user, group), 0) << std::strerror(errno);
    }
    ::chmod(file.c_str(), c.mode);
    struct stat was {};
    ASSERT_EQ(::stat(file.c_str(), &was), 0);
    const std::set<std::string> names = Names(folder);

    const bool ran = RunUnprivileged([&] {
        SettingsFile ini(folder);
        EXPECT_EQ(ini.ReadString("Setup", "Freq", "5"), c.readable ? "7" : "5");
        try {
            ini.WriteString("Setup", "Freq", "9");
            ADD_FAILURE() << "the write was not refused";
        } catch (const SettingsWriteError& e) {
            EXPECT_STREQ(e.what(), "Unable to write to NorvaHB");
        }
        EXPECT_THROW(ini.WriteBool("Run", "IsStarted", true), SettingsWriteError);
        // The refusal is the file's doing: this user may write a settings file of its own.
        EXPECT_NO_THROW(SettingsFile(control).WriteString("Setup", "Freq", "9"))
            << "this user may not write here at all: the case proves nothing";
    });
    if (!ran)
        GTEST_SKIP() << "root may not switch to uid " << Nobody << " here";

    struct stat now {};
    ASSERT_EQ(::stat(file.c_str(), &now), 0);
    EXPECT_EQ(now.st_ino, was.st_ino) << "the file was replaced";
    EXPECT_EQ(now.st_uid, was.st_uid);
    EXPECT_EQ(now.st_mode, was.st_mode);
    EXPECT_EQ(Names(folder), names) << "a refused write left a file behind";
    ::chmod(file.c_str(), c.mode | S_IRUSR); // so that a test run without root can look
    EXPECT_EQ(ReadFile(file), before);
}

INSTANTIATE_TEST_SUITE_P(Cases, ForbiddenFile,
                         testing::Values(AccessCase{"ForeignReadOnly", true, 0644, true},
                                         AccessCase{"OwnWriteOnly", false, 0200, false},
                                         AccessCase{"ForeignUnreadable", true, 0600, false}),
                         [](const testing::TestParamInfo<AccessCase>& p) {
                             return std::string(p.param.name);
                         });

} // namespace
