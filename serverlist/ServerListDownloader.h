// The downloaded list of zones and servers. Reads bin\srvListUrl.xml (under the data
// directory, then inside the packs) for up to five list addresses and bin\inner.dat for the
// mode, downloads the list from the first address that answers, and fills the server vector
// it is given (the updater's), each server with the download addresses of its type, sorted
// for display.
#pragma once

#include <array>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "engine/Kernel/Singleton.h"
#include "engine/Xml/XMLHandler.h"
#include "serverlist/ServerRecord.h"

namespace lume {

class MessageTarget;

// One download address of a server type.
struct PatchItem {
    std::string address;  // host part, narrow
    std::string path;     // written directly after the host
    int32_t flag = 0;     // 1 primary, 2 mirror, 3 fallback, others unused
};

class ServerListDownloader : public XMLHandler<ServerListDownloader>,
                             public Singleton<ServerListDownloader> {
public:
    static constexpr int kSlots = 5;
    static constexpr int32_t kConnectTimeoutMs = 2000;
    static constexpr char16_t kAddressFile[] = u"bin\\srvListUrl.xml";
    static constexpr char16_t kInnerMarker[] = u"bin\\inner.dat";

    // Reads the list addresses and the mode once. The result message (6025) goes to target,
    // the servers into servers; both must outlive the downloader. Called on the window's
    // thread.
    ServerListDownloader(MessageTarget& target, std::vector<ServerRecord>& servers);
    ~ServerListDownloader() override;

    // Downloads and parses the list, trying startSlot first, then 0..4; posts 6025 and
    // returns the slot that worked (0 when none did). Blocks the calling thread.
    int download(int startSlot);
    std::u16string defaultServer() const { return defaultServer_; }

    const std::array<std::u16string, kSlots>& slots() const { return slots_; }
    bool innerMode() const { return inner_; }
    const std::map<int32_t, std::vector<PatchItem>>& groups() const { return groups_; }
    const std::vector<std::pair<std::u16string, std::u16string>>& loginServers(int which) const {
        return login_[which == 0 ? 0 : 1];
    }

    // Parses a downloaded list into the servers and sorts them (the download's
    // second half; also used by tests). A list that does not parse leaves the servers, the
    // default server, the address groups and the login servers as they were.
    bool parseList(std::string_view bytes);

    // The display order: lower rank first; then new before not new; then the shorter name;
    // then the UTF-16 little-endian bytes of the names.
    static bool comesBefore(const ServerRecord& a, const ServerRecord& b);

private:
    // bin\srvListUrl.xml
    class AddressFile : public XMLHandler<AddressFile> {
    public:
        explicit AddressFile(std::array<std::u16string, kSlots>& slots);
        void onUrl(const XMLAttributes& a);

    private:
        std::array<std::u16string, kSlots>& slots_;
    };

    void onItemsStart(const XMLAttributes& a);
    void onItemsEnd();
    void onServerItem(const XMLAttributes& a);
    void onZones(const XMLAttributes& a);
    void onZone(const XMLAttributes& a);
    void onLoginList(const XMLAttributes& a);
    void onLogin(const XMLAttributes& a);

    MessageTarget& target_;
    std::vector<ServerRecord>& servers_;
    std::array<std::u16string, kSlots> slots_;
    bool inner_ = false;
    std::map<int32_t, std::vector<PatchItem>> groups_;
    int32_t openType_ = 0;
    std::vector<PatchItem> openItems_;
    std::vector<std::pair<std::u16string, std::u16string>> login_[2];
    std::u16string defaultServer_;
};

}  // namespace lume
