// The fetch shared by the file list, the sub file lists and the release manifest: one GET of
// the list, a second address only when the first attempt fails or delivers bytes the
// release does not name.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "transfer/TransferSettings.h"

namespace lume {

class GrowingMemoryStream;
class UrlFile;

constexpr uint32_t kListReserve = 0x100000;  // most lists fit without growing
constexpr int32_t kListConnectTimeoutMs = 30000;

enum class ListFetch {
    kFetched,
    kUnreachable,  // no address delivered the list (or the fetch was cut short)
    kUnverified,   // delivered, but the check refused what every address sent
};

// Decides whether the bytes of a fetched list may be used; the bytes are the sink's.
using ListCheck = std::function<bool(std::string_view bytes)>;

// The address of a release: serverUrl(host) + path ("http://" unless the host says
// "https://"); and of one of its files, that and "/" + tail.
std::u16string releaseBase(std::string_view host, std::string_view path);
std::u16string releaseUrl(std::string_view host, std::string_view path, std::u16string_view tail);

// One attempt: starts from an empty sink, so bytes of a failed attempt never end up in front
// of the next one. Fails when the transfer fails, the status is outside 200-299, or the list
// outgrows the sink's limit. On success the sink is positioned at 0.
[[nodiscard]] bool fetchOnce(UrlFile& transfer, std::u16string_view url, GrowingMemoryStream& sink);

// url, then backUrl when the first attempt fails or check refuses its bytes (no check: any
// bytes do). Called on the caller's thread; it owns the transfer handle for the call.
// stopping, when given, is asked while the transfer runs: true cuts the fetch short (the
// thread that fetches has been asked to stop), and no second address is tried. settings:
// the update's proxy, bandwidth limit and HTTP/2 without TLS.
[[nodiscard]] ListFetch fetchList(std::u16string_view url, std::u16string_view backUrl,
                                  GrowingMemoryStream& sink, const ListCheck& check = {},
                                  const std::function<bool()>& stopping = {},
                                  const TransferSettings& settings = {});

}  // namespace lume
