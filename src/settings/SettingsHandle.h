#pragma once

#include "settings/SettingsFile.h"

#include <filesystem>
#include <optional>

namespace norva {

// The program's one open settings file, shared by every component that reads or writes a
// setting. The main window opens it in its start-up sequence and closes it when it closes;
// before the one and after the other there is no file, and every use raises "The settings
// file is not open" (an error like any other handler error). Components keep a reference to
// the handle, never to the file, so none can outlive the close with a file of its own.
// Used on the user-interface thread only.
class SettingsHandle {
public:
    // Opens the file "NorvaHB" in `folder` (see SettingsFile); a file already open is
    // replaced.
    void open(const std::filesystem::path& folder, FileOps* ops = nullptr);
    void close();
    bool isOpen() const { return file_.has_value(); }

    // The open file; raises Error("The settings file is not open") when there is none.
    SettingsFile& file();
    const SettingsFile& file() const;

private:
    std::optional<SettingsFile> file_;
};

} // namespace norva
