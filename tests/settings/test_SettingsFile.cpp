#include "settings/SettingsFile.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <vector>

using norva::SettingsFile;
using norva::test::TempDir;

namespace {

struct ReadCase {
    const char* name;
    const char* file;
    const char* section;
    const char* key;
    const char* fallback;
    const char* expected;
};

class SettingsRead : public testing::TestWithParam<ReadCase> {};

TEST_P(SettingsRead, ReturnsStoredValueOrDefault) {
    const auto& c = GetParam();
    TempDir dir;
    if (c.file)
        dir.write("NorvaHB", c.file);
    SettingsFile ini(dir.path());
    EXPECT_EQ(ini.ReadString(c.section, c.key, c.fallback), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SettingsRead,
    testing::Values(
        ReadCase{"NoFile", nullptr, "Setup", "Freq", "5", "5"},
        ReadCase{"EmptyFile", "", "Setup", "Freq", "5", "5"},
        ReadCase{"Plain", "[Setup]\nFreq=7\n", "Setup", "Freq", "5", "7"},
        ReadCase{"SectionCaseIgnored", "[Setup]\ncomFreq=9\n", "setup", "comFreq", "5", "9"},
        ReadCase{"KeyCaseIgnored", "[GSD]\nusername=bob\n", "GSD", "Username", "Ostra", "bob"},
        ReadCase{"BlanksTrimmed", "[Setup]\nPort =  9100  \n", "Setup", "Port", "1", "9100"},
        ReadCase{"PresentButEmpty", "[Setup]\nIPAddr=\n", "Setup", "IPAddr", "0.0.0.0", ""},
        ReadCase{"DoubleQuotesRemoved", "[GSD]\nPassword=\"a b\"\n", "GSD", "Password", "", "a b"},
        ReadCase{"SingleQuotesRemoved", "[GSD]\nPassword='x'\n", "GSD", "Password", "", "x"},
        ReadCase{"OnlyOnePairRemoved", "[GSD]\nPassword=''x''\n", "GSD", "Password", "", "'x'"},
        ReadCase{"MismatchedQuotesKept", "[GSD]\nPassword='x\"\n", "GSD", "Password", "", "'x\""},
        ReadCase{"LettersAreText", "[Setup]\nFreq=abc\n", "Setup", "Freq", "5", "abc"},
        ReadCase{"OtherSectionIgnored", "[Run]\nFreq=1\n", "Setup", "Freq", "5", "5"},
        ReadCase{"CrLfAndBom", "\xEF\xBB\xBF[Setup]\r\nFreq=3\r\n", "Setup", "Freq", "5", "3"},
        ReadCase{"CommentsSkipped", "[Setup]\n;Freq=1\n# x\nFreq=2\n", "Setup", "Freq", "5", "2"},
        ReadCase{"EqualsInValue", "[GSD]\nPassword=a=b\n", "GSD", "Password", "", "a=b"},
        ReadCase{"GarbageLinesSkipped", "junk\n[Setup]\nnoequals\nFreq=4\n", "Setup", "Freq", "5",
                 "4"}),
    [](const auto& p) { return std::string(p.param.name); });

struct BoolCase {
    const char* value; // nullptr: key missing
    bool fallback;
    bool expected;
};

class SettingsBool : public testing::TestWithParam<BoolCase> {};

TEST_P(SettingsBool, ReadsIntegersOnly) {
    const auto& c = GetParam();
    TempDir dir;
    dir.write("NorvaHB", c.value ? std::string("[Setup]\nNetwork=") + c.value + "\n" : "");
    EXPECT_EQ(SettingsFile(dir.path()).ReadBool("Setup", "Network", c.fallback), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, SettingsBool,
                         testing::Values(BoolCase{nullptr, false, false},
                                         BoolCase{nullptr, true, true}, BoolCase{"", true, true},
                                         BoolCase{"1", false, true}, BoolCase{"0", true, false},
                                         BoolCase{"2", false, true}, BoolCase{"-1", false, true},
                                         BoolCase{"true", false, false},
                                         BoolCase{"false", true, true},
                                         BoolCase{"0x10", false, true},
                                         BoolCase{"0X0", true, false}, BoolCase{"$1F", false, true},
                                         BoolCase{"0x", true, true}, BoolCase{"1x", false, false}));

TEST(SettingsWrite, CreatesFileOwnerOnlyAndReadsBack) {
    TempDir dir;
    SettingsFile ini(dir.path());
    ini.WriteBool("Run", "IsStarted", true);
    ini.WriteString("Setup", "Freq", "5");
    EXPECT_TRUE(ini.ReadBool("Run", "IsStarted", false));
    EXPECT_EQ(ini.ReadString("setup", "FREQ", ""), "5");
    EXPECT_EQ(dir.read("NorvaHB"), "[Run]\nIsStarted=1\n[Setup]\nFreq=5\n");
    struct stat st {};
    ASSERT_EQ(::stat((dir / "NorvaHB").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(SettingsWrite, ReplacesInPlaceAndKeepsUnrelatedLines) {
    TempDir dir;
    dir.write("NorvaHB", "; my notes\r\n[GSD]\r\nUsername=Ostra\r\nnot a key\r\n\r\n"
                         "[Setup]\r\nFreq=5\r\n");
    SettingsFile ini(dir.path());
    ini.WriteString("GSD", "username", "alice");
    ini.WriteString("gsd", "Password", "pw");
    ini.WriteString("GracefulRestart", "SourceIP", "");
    EXPECT_EQ(dir.read("NorvaHB"), "; my notes\n[GSD]\nusername=alice\nnot a key\nPassword=pw\n\n"
                                   "[Setup]\nFreq=5\n[GracefulRestart]\nSourceIP=\n");
    EXPECT_EQ(ini.ReadString("GSD", "Username", "Ostra"), "alice");
    EXPECT_EQ(ini.ReadString("GracefulRestart", "SourceIP", "x"), "");
}

// Several values at once land exactly where one write each would have put them; a key given
// twice keeps its last value; a bad value refuses the whole batch.
TEST(SettingsWrite, WriteAllStoresEveryValueAsSingleWritesWould) {
    const char* start = "; my notes\n[GSD]\nUsername=Ostra\n\n[Setup]\nFreq=5\n";
    const std::vector<SettingsFile::Entry> entries = {
        {"GSD", "username", "alice"}, {"gsd", "Password", "pw"}, {"Run", "IsStarted", "1"},
        {"Setup", "Freq", "6"},       {"Setup", "Freq", "7"},    {"Run", "Other", ""}};
    TempDir one, all;
    one.write("NorvaHB", start);
    all.write("NorvaHB", start);
    SettingsFile single(one.path());
    for (const auto& e : entries)
        single.WriteString(e.section, e.key, e.value);
    SettingsFile(all.path()).WriteAll(entries);
    EXPECT_EQ(all.read("NorvaHB"), one.read("NorvaHB"));
    EXPECT_EQ(all.read("NorvaHB"), "; my notes\n[GSD]\nusername=alice\nPassword=pw\n\n[Setup]\n"
                                   "Freq=7\n[Run]\nIsStarted=1\nOther=\n");

    TempDir fresh;
    SettingsFile ini(fresh.path());
    ini.WriteAll({SettingsFile::Text(norva::keys::Password, "pw"),
                  SettingsFile::Flag(norva::keys::IsStarted, true)});
    EXPECT_EQ(fresh.read("NorvaHB"), "[GSD]\nPassword=pw\n[Run]\nIsStarted=1\n");
    EXPECT_THROW(ini.WriteAll({SettingsFile::Text(norva::keys::Freq, "9"),
                               SettingsFile::Text(norva::keys::Password, "a\nb")}),
                 norva::SettingsWriteError);
    EXPECT_EQ(fresh.read("NorvaHB"), "[GSD]\nPassword=pw\n[Run]\nIsStarted=1\n");
}

TEST(SettingsWrite, RefusedWriteRaisesAndLeavesFileWhole) {
    TempDir dir;
    dir.write("NorvaHB", "[Setup]\nFreq=5\n");
    ::chmod((dir / "NorvaHB").c_str(), 0400);
    SettingsFile ini(dir.path());
    try {
        ini.WriteString("Setup", "Freq", "9");
        FAIL() << "write to a read-only file succeeded";
    } catch (const norva::SettingsWriteError& e) {
        EXPECT_STREQ(e.what(), "Unable to write to NorvaHB");
    }
    EXPECT_EQ(dir.read("NorvaHB"), "[Setup]\nFreq=5\n");
}

TEST(SettingsWrite, MissingFolderIsRefused) {
    TempDir dir;
    SettingsFile ini(dir / "does-not-exist");
    EXPECT_THROW(ini.WriteBool("Run", "IsStarted", true), norva::SettingsWriteError);
}

TEST(SettingsWrite, LineBreakInValueIsRefusedNotInjected) {
    TempDir dir;
    SettingsFile ini(dir.path());
    EXPECT_THROW(ini.WriteString("GSD", "Password", "x\n[Run]\nIsStarted=1"),
                 norva::SettingsWriteError);
    EXPECT_FALSE(ini.ReadBool("Run", "IsStarted", false));
}

TEST(SettingsRead, LongValueIsCutTo2047Characters) {
    TempDir dir;
    const std::string longValue(5000, 'k');
    dir.write("NorvaHB", "[GSD]\nPassword=" + longValue + "\n");
    EXPECT_EQ(SettingsFile(dir.path()).ReadString("GSD", "Password", ""),
              longValue.substr(0, 2047));
}

} // namespace
