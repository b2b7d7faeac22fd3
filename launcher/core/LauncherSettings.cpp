#include "launcher/core/LauncherSettings.h"

#include <vector>

#include "engine/Kernel/Logger.h"
#include "platform/Files.h"
#include "platform/Text.h"

namespace lume {

LauncherSettings::LauncherSettings(std::u16string path) : path_(std::move(path)) {
    ini_.load(path_);
}

std::u16string LauncherSettings::serverName() const {
    return ini_.getString(u"server", u"servername", u"");
}

int LauncherSettings::zoneType() const {
    return ini_.getInt(u"server", u"zonetype", kDefaultZoneType);
}

int LauncherSettings::browserVariant() const {
    return ini_.getInt(u"other", u"type", 0);
}

void LauncherSettings::set(std::u16string_view section, std::u16string_view key,
                           std::u16string_view value) {
    ini_.set(section, key, value);
    changes_.push_back(Change{std::u16string(section), std::u16string(key), std::u16string(value)});
}

void LauncherSettings::setZoneType(int slot) {
    set(u"server", u"zonetype", platform::asciiToWide(std::to_string(slot)));
}

void LauncherSettings::rememberServer(const ServerRecord& server) {
    set(u"server", u"zone", platform::asciiToWide(std::to_string(server.id)));
    set(u"server", u"type", platform::asciiToWide(std::to_string(server.group)));
    set(u"server", u"loginaddress", server.loginAddress);
    set(u"server", u"loginport", server.loginPort);
    set(u"server", u"servername", server.name);
}

bool LauncherSettings::save() {
    platform::IniFile current;
    current.load(path_);
    for (const Change& change : changes_) {
        current.set(change.section, change.key, change.value);
    }
    if (current.save(path_)) {
        ini_ = std::move(current);
        changes_.clear();
        return true;
    }
    logW_0(u"写入 '%s' 失败", path_);
    return false;
}

std::u16string readVersionText(std::u16string_view path) {
    std::string content;
    if (!platform::readWholeFile(path, content)) {
        return {};
    }
    const std::vector<std::string> fields = platform::splitText(content, '\t');
    return fields.size() >= 4 ? platform::narrowToWide(fields[3]) : std::u16string();
}

}  // namespace lume
