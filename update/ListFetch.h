// The fetch shared by the file list and the sub file lists: one GET of the list, a second
// address only when the first attempt fails.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

namespace lume {

class GrowingMemoryStream;

constexpr uint32_t kListReserve = 0x100000;  // most lists fit without growing
constexpr int32_t kListConnectTimeoutMs = 30000;

// Each attempt starts from an empty sink, so bytes of a failed attempt never end up in
// front of the next one. An attempt fails when the transfer fails, the status is outside
// 200-299, or the list outgrows the sink's limit. On success the sink is positioned at 0.
// Called on the caller's thread; it owns the transfer handle for the duration of the call.
// stopping, when given, is asked while the transfer runs: true cuts the fetch short (the
// thread that fetches has been asked to stop), and no second address is tried.
bool fetchList(std::u16string_view url, std::u16string_view backUrl, GrowingMemoryStream& sink,
               const std::function<bool()>& stopping = {});

}  // namespace lume
