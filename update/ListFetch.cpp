#include "update/ListFetch.h"

#include "engine/FileSystem/GrowingMemoryStream.h"
#include "platform/Text.h"
#include "transfer/Https.h"
#include "transfer/UrlFile.h"

namespace lume {

std::u16string releaseBase(std::string_view host, std::string_view path) {
    return platform::narrowToWide(serverUrl(host) + std::string(path));
}

std::u16string releaseUrl(std::string_view host, std::string_view path, std::u16string_view tail) {
    std::u16string url = releaseBase(host, path);
    url += u'/';
    url += tail;
    return url;
}

bool fetchOnce(UrlFile& transfer, std::u16string_view url, GrowingMemoryStream& sink) {
    sink.clear();
    return transfer.downloadToStream(url, sink, kListConnectTimeoutMs) && !sink.overflowed() &&
           sink.seek(0);
}

ListFetch fetchList(std::u16string_view url, std::u16string_view backUrl, GrowingMemoryStream& sink,
                    const ListCheck& check, const std::function<bool()>& stopping,
                    const TransferSettings& settings) {
    UrlFile transfer;
    transfer.setTransferSettings(settings);
    if (stopping) {
        transfer.setProgressHook([&stopping](double, double) { return stopping() ? 1 : 0; });
    }
    bool refused = false;
    for (const std::u16string_view address : {url, backUrl}) {
        if (stopping && stopping()) {
            break;
        }
        if (!fetchOnce(transfer, address, sink)) {
            continue;
        }
        if (!check ||
            check(std::string_view(reinterpret_cast<const char*>(sink.data()), sink.size()))) {
            return ListFetch::kFetched;
        }
        refused = true;
    }
    sink.clear();
    return refused ? ListFetch::kUnverified : ListFetch::kUnreachable;
}

}  // namespace lume
