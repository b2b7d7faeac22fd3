#include "transfer/TransferSettings.h"

#include <cmath>
#include <cstdlib>
#include <string>

namespace lume {

std::optional<uint64_t> parseRate(std::string_view text) {
    while (!text.empty() && text.back() == ' ') {
        text.remove_suffix(1);
    }
    while (!text.empty() && text.front() == ' ') {
        text.remove_prefix(1);
    }
    if (text.empty()) {
        return std::nullopt;
    }
    double unit = 1;
    switch (text.back()) {
        case 'k':
        case 'K':
            unit = 1024.0;
            break;
        case 'm':
        case 'M':
            unit = 1024.0 * 1024.0;
            break;
        case 'g':
        case 'G':
            unit = 1024.0 * 1024.0 * 1024.0;
            break;
        default:
            break;
    }
    if (unit != 1) {
        text.remove_suffix(1);
    }
    const std::string number(text);
    if (number.empty() || number.find_first_not_of("0123456789.") != std::string::npos) {
        return std::nullopt;
    }
    char* end = nullptr;
    const double value = std::strtod(number.c_str(), &end);
    if (end != number.c_str() + number.size() || !std::isfinite(value) || value * unit >= 1e18) {
        return std::nullopt;
    }
    return static_cast<uint64_t>(value * unit);
}

}  // namespace lume
