#include "transfer/RangeAnswer.h"

#include <curl/curl.h>

#include <cctype>
#include <charconv>

namespace lume {

namespace {

std::string_view trim(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) {
        text.remove_prefix(1);
    }
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
        text.remove_suffix(1);
    }
    return text;
}

bool equalsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

bool readNumber(std::string_view text, uint64_t& out) {
    text = trim(text);
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out);
    return !text.empty() && error == std::errc() && end == text.data() + text.size();
}

// "bytes FIRST-LAST/TOTAL" (TOTAL may be "*"), the unit in any case.
bool rangeIs(std::string_view value, uint64_t first, uint64_t last) {
    value = trim(value);
    if (value.size() < 6 || !equalsNoCase(value.substr(0, 5), "bytes") ||
        !std::isspace(static_cast<unsigned char>(value[5]))) {
        return false;
    }
    value = trim(value.substr(6));
    const size_t dash = value.find('-');
    const size_t slash = value.find('/');
    if (dash == std::string_view::npos || slash == std::string_view::npos || slash < dash) {
        return false;
    }
    uint64_t gotFirst = 0;
    uint64_t gotLast = 0;
    uint64_t total = 0;
    const std::string_view totalText = trim(value.substr(slash + 1));
    return readNumber(value.substr(0, dash), gotFirst) &&
           readNumber(value.substr(dash + 1, slash - dash - 1), gotLast) && gotFirst == first &&
           gotLast == last && (totalText == "*" || (readNumber(totalText, total) && total > last));
}

std::string headerValue(CURL* curl, const char* name) {
    curl_header* header = nullptr;
    if (curl_easy_header(curl, name, 0, CURLH_HEADER, -1, &header) != CURLHE_OK ||
        header == nullptr || header->value == nullptr) {
        return {};
    }
    return header->value;
}

}  // namespace

RangeAnswer checkRangeAnswer(long status, std::string_view contentRange,
                             std::string_view contentEncoding, uint64_t first, uint64_t last) {
    if (status != 206) {
        return RangeAnswer::kStatus;
    }
    if (!rangeIs(contentRange, first, last)) {
        return RangeAnswer::kContentRange;
    }
    contentEncoding = trim(contentEncoding);
    if (!contentEncoding.empty() && !equalsNoCase(contentEncoding, "identity")) {
        return RangeAnswer::kEncoding;
    }
    return RangeAnswer::kGood;
}

RangeAnswer checkRangeAnswer(void* handle, uint64_t first, uint64_t last,
                             std::string& description) {
    CURL* curl = static_cast<CURL*>(handle);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    const std::string range = headerValue(curl, "Content-Range");
    const std::string encoding = headerValue(curl, "Content-Encoding");
    const RangeAnswer answer = checkRangeAnswer(status, range, encoding, first, last);
    if (answer != RangeAnswer::kGood) {
        description = "status " + std::to_string(status) + ", Content-Range '" + range +
                      "', Content-Encoding '" + encoding + "'";
    }
    return answer;
}

}  // namespace lume
