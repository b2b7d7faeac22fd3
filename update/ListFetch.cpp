#include "update/ListFetch.h"

#include "engine/FileSystem/GrowingMemoryStream.h"
#include "transfer/UrlFile.h"

namespace lume {

namespace {

bool attempt(UrlFile& transfer, std::u16string_view url, GrowingMemoryStream& sink) {
    sink.clear();
    return transfer.downloadToStream(url, sink, kListConnectTimeoutMs) && !sink.overflowed() &&
           sink.seek(0);
}

}  // namespace

bool fetchList(std::u16string_view url, std::u16string_view backUrl, GrowingMemoryStream& sink,
               const std::function<bool()>& stopping) {
    UrlFile transfer;
    if (stopping) {
        transfer.setProgressHook([&stopping](double, double) { return stopping() ? 1 : 0; });
    }
    if (attempt(transfer, url, sink)) {
        return true;
    }
    return !(stopping && stopping()) && attempt(transfer, backUrl, sink);
}

}  // namespace lume
