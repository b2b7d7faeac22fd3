// The launcher's own files under bin\: the player's last server choice and the browser
// variant in config.ini, and the version text of version.dat.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/IniFile.h"
#include "serverlist/ServerRecord.h"

namespace lume {

class LauncherSettings {
public:
    static constexpr char16_t kConfigPath[] = u"bin\\config.ini";
    static constexpr int kDefaultZoneType = 4;

    // A missing file gives the defaults; writes create it.
    explicit LauncherSettings(std::u16string path = kConfigPath);

    std::u16string serverName() const;
    // The server list slot that worked last time (default 4).
    int zoneType() const;
    // The browser variant ("type" of section "other", default 0).
    int browserVariant() const;

    void setZoneType(int slot);
    // Remembers the chosen server: its id, group, login address and port, and name.
    void rememberServer(const ServerRecord& server);
    // Writes the settings changed since the last save into the file as it is now on disk,
    // so that what others wrote meanwhile (the update records the newest accepted release
    // there) is kept. A file that cannot be written is logged; the settings hold for this
    // run all the same.
    [[nodiscard]] bool save();

private:
    void set(std::u16string_view section, std::u16string_view key, std::u16string_view value);

    struct Change {
        std::u16string section;
        std::u16string key;
        std::u16string value;
    };
    std::u16string path_;
    platform::IniFile ini_;
    std::vector<Change> changes_;
};

// The fourth tab-separated field of version.dat, or empty when there are fewer fields or
// no file.
std::u16string readVersionText(std::u16string_view path = u"bin\\version.dat");

}  // namespace lume
