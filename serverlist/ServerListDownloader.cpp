#include "serverlist/ServerListDownloader.h"

#include <algorithm>
#include <cstring>

#include "engine/FileSystem/File.h"
#include "engine/FileSystem/GrowingMemoryStream.h"
#include "engine/Kernel/Logger.h"
#include "engine/Kernel/MessageTarget.h"
#include "platform/Text.h"
#include "transfer/UrlFile.h"

namespace lume {

ServerListDownloader::AddressFile::AddressFile(std::array<std::u16string, kSlots>& slots)
    : slots_(slots) {
    onStart(u"url", &AddressFile::onUrl);
}

void ServerListDownloader::AddressFile::onUrl(const XMLAttributes& a) {
    const int32_t type = a.readInt(u"type", -1);
    if (type < 0 || type >= kSlots) {
        return;
    }
    slots_[static_cast<size_t>(type)] = a.readString(u"path");
}

ServerListDownloader::ServerListDownloader(MessageTarget& target,
                                           std::vector<ServerRecord>& servers)
    : target_(target), servers_(servers) {
    onStart(u"items", &ServerListDownloader::onItemsStart);
    onEnd(u"items", &ServerListDownloader::onItemsEnd);
    onStart(u"serverItem", &ServerListDownloader::onServerItem);
    onStart(u"zones", &ServerListDownloader::onZones);
    onStart(u"zone", &ServerListDownloader::onZone);
    onStart(u"loginSrvList", &ServerListDownloader::onLoginList);
    onStart(u"loginSrv", &ServerListDownloader::onLogin);

    inner_ = File::isFile(kInnerMarker);
    AddressFile addresses(slots_);
    if (!addresses.parseFile(kAddressFile, true)) {
        // A missing or broken address file leaves every slot empty: each download attempt
        // then fails and the window says the list could not be fetched.
        slots_.fill(std::u16string());
        logW_m1(u"服务器列表地址文件%s无法读取", kAddressFile);
    }
}

ServerListDownloader::~ServerListDownloader() {
    withdrawInstance();
}

int ServerListDownloader::download(int startSlot) {
    groups_.clear();
    login_[0].clear();
    login_[1].clear();
    startSlot = std::clamp(startSlot, 0, kSlots - 1);

    UrlFile transfer;
    GrowingMemoryStream list(0x100000);
    int worked = -1;
    std::vector<int> order{startSlot};
    for (int slot = 0; slot < kSlots; ++slot) {
        if (slot != startSlot) {
            order.push_back(slot);
        }
    }
    for (int slot : order) {
        list.clear();
        if (transfer.downloadToStream(slots_[static_cast<size_t>(slot)], list, kConnectTimeoutMs) &&
            !list.overflowed()) {
            worked = slot;
            break;
        }
    }
    if (worked < 0) {
        target_.post(kMsgServerList, 0, 0);
        return 0;
    }
    parseList(std::string_view(reinterpret_cast<const char*>(list.data()), list.size()));
    target_.post(kMsgServerList, 1, 0);
    return worked;
}

bool ServerListDownloader::parseList(std::string_view bytes) {
    // The events of a list that fails part-way have changed the servers and the rest
    // already: a list that does not parse puts back what there was.
    auto servers = servers_;
    auto groups = groups_;
    auto login0 = login_[0];
    auto login1 = login_[1];
    auto defaultServer = defaultServer_;
    openItems_.clear();
    const bool parsed = parseBytes(bytes);
    if (!parsed) {
        servers_ = std::move(servers);
        groups_ = std::move(groups);
        login_[0] = std::move(login0);
        login_[1] = std::move(login1);
        defaultServer_ = std::move(defaultServer);
        logW_m1(u"服务器列表无法解析");
    }
    std::stable_sort(servers_.begin(), servers_.end(), comesBefore);
    return parsed;
}

bool ServerListDownloader::comesBefore(const ServerRecord& a, const ServerRecord& b) {
    if (a.rank != b.rank) {
        return a.rank < b.rank;
    }
    if (a.isNew != b.isNew) {
        return a.isNew;
    }
    if (a.name.size() != b.name.size()) {
        return a.name.size() < b.name.size();
    }
    // The bytes of little-endian UTF-16, low byte first, as a byte-wise compare sees them.
    return std::memcmp(a.name.data(), b.name.data(), a.name.size() * sizeof(char16_t)) < 0;
}

void ServerListDownloader::onItemsStart(const XMLAttributes& a) {
    openType_ = a.readInt(u"type", 0);
    openItems_.clear();
}

void ServerListDownloader::onItemsEnd() {
    groups_[openType_] = std::move(openItems_);
    openItems_.clear();
}

void ServerListDownloader::onServerItem(const XMLAttributes& a) {
    PatchItem item;
    item.address = platform::wideToNarrow(a.readString(u"addr"));
    item.path = platform::wideToNarrow(a.readString(u"path"));
    item.flag = a.readInt(u"flag", 0);
    openItems_.push_back(std::move(item));
}

void ServerListDownloader::onZones(const XMLAttributes& a) {
    defaultServer_ = a.readString(u"default");
    servers_.clear();
}

void ServerListDownloader::onZone(const XMLAttributes& a) {
    const int32_t type = a.readInt(u"type", 0);
    auto group = groups_.find(type);
    if (group == groups_.end()) {
        return;
    }
    const bool outer = a.readBool(u"outer", false);
    if (inner_ == outer) {
        return;  // inner mode lists only inner servers, outer mode only outer ones
    }
    ServerRecord s;
    s.name = a.readString(u"name");
    s.id = a.readInt(u"id", 0);
    s.loginAddress = a.readString(u"addr");
    s.loginPort = a.readString(u"port");
    s.hint = a.readString(u"hint");
    for (const PatchItem& item : group->second) {
        if (item.flag == 1) {
            s.primaryAddress = item.address;
            s.primaryPath = item.path;
        } else if (item.flag == 2) {
            s.mirrors.emplace_back(item.address, item.path);
        } else if (item.flag == 3) {
            s.fallbackAddress = item.address;
            s.fallbackPath = item.path;
        }
    }
    s.group = type >= 10 ? type / 10 - 1 : 0;
    s.zone = a.readInt(u"zone", 0);
    s.isNew = a.readBool(u"new", false);
    const std::u16string* rank = a.find(u"default");
    s.rank = rank == nullptr ? 100 : XMLAttributes::parseInt(*rank);
    s.test = a.readBool(u"test", false);
    servers_.push_back(std::move(s));
}

void ServerListDownloader::onLoginList(const XMLAttributes&) {
    login_[0].clear();
    login_[1].clear();
}

void ServerListDownloader::onLogin(const XMLAttributes& a) {
    const int32_t flag = a.readInt(u"flag", -1);
    if (flag == 0 || flag == 1) {
        login_[flag].emplace_back(a.readString(u"addr"), a.readString(u"port"));
    }
}

}  // namespace lume
