// The one open settings file the components share: no file before the start-up sequence
// opens it and none after the close, and then every use raises the same error.
#include "platform/Error.h"
#include "settings/SettingsHandle.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

using norva::SettingsHandle;
using norva::test::TempDir;

namespace {

// The text the user sees in the error box when a handler finds the file closed.
std::string closedError(const SettingsHandle& handle) {
    try {
        handle.file();
    } catch (const norva::Error& e) {
        return e.what();
    }
    return "<no error>";
}

TEST(SettingsHandle, RaisesBeforeOpenAndAfterCloseOnly) {
    TempDir dir;
    dir.write("NorvaHB", "[Setup]\nFreq=7\n");
    SettingsHandle MyIni;
    EXPECT_FALSE(MyIni.isOpen());
    EXPECT_EQ(closedError(MyIni), "The settings file is not open");

    MyIni.open(dir.path());
    ASSERT_TRUE(MyIni.isOpen());
    EXPECT_EQ(MyIni.file().ReadString(norva::keys::Freq), "7");
    MyIni.file().WriteBool(norva::keys::IsStarted, true);
    EXPECT_EQ(dir.read("NorvaHB"), "[Setup]\nFreq=7\n[Run]\nIsStarted=1\n");

    MyIni.close();
    EXPECT_FALSE(MyIni.isOpen());
    EXPECT_EQ(closedError(MyIni), "The settings file is not open");
    EXPECT_THROW(MyIni.file().WriteBool(norva::keys::IsStarted, false), norva::Error);
    EXPECT_EQ(dir.read("NorvaHB"), "[Setup]\nFreq=7\n[Run]\nIsStarted=1\n");
}

} // namespace
