// The launcher's own files under bin\: the player's last server choice and the browser
// variant in config.ini, and the version text of version.dat.
#pragma once

#include <string>
#include <string_view>

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
    // A file that cannot be written is logged; the settings hold for this run all the same.
    [[nodiscard]] bool save();

private:
    std::u16string path_;
    platform::IniFile ini_;
};

// The fourth tab-separated field of version.dat, or empty when there are fewer fields or
// no file.
std::u16string readVersionText(std::u16string_view path = u"bin\\version.dat");

}  // namespace lume
