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

void LauncherSettings::setZoneType(int slot) {
    ini_.setInt(u"server", u"zonetype", slot);
}

void LauncherSettings::rememberServer(const ServerRecord& server) {
    ini_.setInt(u"server", u"zone", server.id);
    ini_.setInt(u"server", u"type", server.group);
    ini_.set(u"server", u"loginaddress", server.loginAddress);
    ini_.set(u"server", u"loginport", server.loginPort);
    ini_.set(u"server", u"servername", server.name);
}

bool LauncherSettings::save() {
    if (ini_.save(path_)) {
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
