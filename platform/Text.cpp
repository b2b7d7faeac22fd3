#include "platform/Text.h"

#include <iconv.h>

#include <bit>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace platform {

namespace {

constexpr const char* kWideName =
    std::endian::native == std::endian::little ? "UTF-16LE" : "UTF-16BE";
constexpr char16_t kWideReplacement = 0xFFFD;
constexpr char kNarrowReplacement = '?';
const iconv_t kNoConverter = reinterpret_cast<iconv_t>(-1);

std::string upperAscii(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return out;
}

bool isUtf8Name(std::string_view name) {
    const std::string upper = upperAscii(name);
    return upper == "UTF-8" || upper == "UTF8";
}

// Double-byte code pages of the GBK family: a lead byte 0x81-0xFE takes a trail byte with it,
// so an unmapped pair is skipped as one character rather than leaving its trail byte behind.
bool isGbkName(std::string_view name) {
    const std::string upper = upperAscii(name);
    return upper == "GBK" || upper == "CP936" || upper == "MS936" || upper == "WINDOWS-936" ||
           upper == "GB18030" || upper == "GB2312" || upper == "EUC-CN";
}

enum class Encoding { Wide, Narrow, Utf8 };

enum Direction { kWideToNarrow, kNarrowToWide, kUtf8ToWide, kWideToUtf8, kUtf8ToNarrow, kCount };

struct DirectionInfo {
    Encoding from;
    Encoding to;
};

constexpr DirectionInfo kDirections[kCount] = {
    {Encoding::Wide, Encoding::Narrow}, {Encoding::Narrow, Encoding::Wide},
    {Encoding::Utf8, Encoding::Wide},   {Encoding::Wide, Encoding::Utf8},
    {Encoding::Utf8, Encoding::Narrow},
};

const char* iconvName(Encoding encoding) {
    switch (encoding) {
        case Encoding::Wide:
            return kWideName;
        case Encoding::Utf8:
            return "UTF-8";
        case Encoding::Narrow:
            break;
    }
    return codePage().c_str();
}

iconv_t openConverter(Direction direction) {
    const DirectionInfo& info = kDirections[direction];
    return ::iconv_open(iconvName(info.to), iconvName(info.from));
}

// Set once this thread's cache is gone, so conversions made by later thread-exit or static
// destructors fall back to a converter of their own instead of touching a dead object.
thread_local bool t_cacheDestroyed = false;

// iconv descriptors are not thread-safe and costly to open, hence one set per thread.
struct ConverterCache {
    iconv_t converters[kCount];
    bool opened[kCount] = {};

    ~ConverterCache() {
        t_cacheDestroyed = true;
        for (int i = 0; i < kCount; ++i) {
            if (opened[i] && converters[i] != kNoConverter) {
                ::iconv_close(converters[i]);
            }
        }
    }

    iconv_t get(Direction direction) {
        if (!opened[direction]) {
            converters[direction] = openConverter(direction);
            opened[direction] = true;
        }
        return converters[direction];
    }
};

thread_local ConverterCache t_cache;

// Length of the maximal ill-formed (or unconvertible) UTF-8 subpart starting at p, so that
// one replacement stands for it and conversion resumes at the next possible character.
size_t utf8BadLength(const unsigned char* p, size_t left) {
    const unsigned char lead = p[0];
    size_t need = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead < 0x80) {
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        need = 2;
    } else if (lead == 0xE0) {
        need = 3;
        low = 0xA0;
    } else if ((lead >= 0xE1 && lead <= 0xEC) || lead == 0xEE || lead == 0xEF) {
        need = 3;
    } else if (lead == 0xED) {
        need = 3;
        high = 0x9F;
    } else if (lead == 0xF0) {
        need = 4;
        low = 0x90;
    } else if (lead >= 0xF1 && lead <= 0xF3) {
        need = 4;
    } else if (lead == 0xF4) {
        need = 4;
        high = 0x8F;
    } else {
        return 1;
    }
    size_t i = 1;
    if (i >= left || p[i] < low || p[i] > high) {
        return 1;
    }
    for (++i; i < need; ++i) {
        if (i >= left || p[i] < 0x80 || p[i] > 0xBF) {
            return i;
        }
    }
    return need;
}

bool isValidUtf8(std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    size_t left = text.size();
    while (left > 0) {
        if (*p < 0x80) {
            ++p;
            --left;
            continue;
        }
        const size_t bad = utf8BadLength(p, left);
        // A well-formed multi-byte character is the only case reported with its full length.
        const unsigned char lead = *p;
        const size_t expected = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
        if (lead < 0xC2 || lead > 0xF4 || bad != expected) {
            return false;
        }
        p += bad;
        left -= bad;
    }
    return true;
}

size_t badInputLength(Encoding from, const char* in, size_t left) {
    const auto* p = reinterpret_cast<const unsigned char*>(in);
    switch (from) {
        case Encoding::Wide: {
            if (left < 2 * sizeof(char16_t)) {
                return left;
            }
            char16_t first = 0;
            char16_t second = 0;
            std::memcpy(&first, in, sizeof first);
            std::memcpy(&second, in + sizeof first, sizeof second);
            const bool pair =
                first >= 0xD800 && first <= 0xDBFF && second >= 0xDC00 && second <= 0xDFFF;
            return pair ? 2 * sizeof(char16_t) : sizeof(char16_t);
        }
        case Encoding::Utf8:
            return utf8BadLength(p, left);
        case Encoding::Narrow:
            if (isUtf8Name(codePage())) {
                return utf8BadLength(p, left);
            }
            if (isGbkName(codePage()) && left >= 2 && p[0] >= 0x81 && p[0] <= 0xFE &&
                p[1] >= 0x40 && p[1] <= 0xFE && p[1] != 0x7F) {
                return 2;
            }
            return 1;
    }
    return 1;
}

template <class CharT>
void appendUnit(std::basic_string<CharT>& out, size_t& used, CharT unit) {
    if (used == out.size()) {
        out.resize(out.size() * 2 + 16);
    }
    out[used++] = unit;
}

// Without a converter (an encoding iconv does not know) only ASCII survives.
template <class CharT>
std::basic_string<CharT> convertAsciiOnly(const char* in, size_t inBytes, Encoding from,
                                          CharT replacement) {
    std::basic_string<CharT> out;
    if (from == Encoding::Wide) {
        for (size_t i = 0; i + 1 < inBytes; i += 2) {
            char16_t unit = 0;
            std::memcpy(&unit, in + i, sizeof unit);
            out.push_back(unit < 0x80 ? static_cast<CharT>(unit) : replacement);
        }
    } else {
        for (size_t i = 0; i < inBytes; ++i) {
            const auto byte = static_cast<unsigned char>(in[i]);
            out.push_back(byte < 0x80 ? static_cast<CharT>(byte) : replacement);
        }
    }
    return out;
}

template <class CharT>
std::basic_string<CharT> convertWith(iconv_t cd, Direction direction, const char* in,
                                     size_t inBytes, CharT replacement) {
    const Encoding from = kDirections[direction].from;
    if (cd == kNoConverter) {
        return convertAsciiOnly(in, inBytes, from, replacement);
    }
    ::iconv(cd, nullptr, nullptr, nullptr, nullptr);

    std::basic_string<CharT> out(inBytes + 16, CharT());
    size_t used = 0;
    char* inPtr = const_cast<char*>(in);
    size_t inLeft = inBytes;
    bool flushing = false;
    for (;;) {
        char* outPtr = reinterpret_cast<char*>(out.data() + used);
        size_t outLeft = (out.size() - used) * sizeof(CharT);
        const size_t before = outLeft;
        const size_t result = flushing ? ::iconv(cd, nullptr, nullptr, &outPtr, &outLeft)
                                       : ::iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
        const int err = errno;
        used += (before - outLeft) / sizeof(CharT);
        if (result != static_cast<size_t>(-1)) {
            if (flushing) {
                break;
            }
            flushing = true;
            continue;
        }
        if (err == E2BIG) {
            out.resize(out.size() * 2 + 16);
            continue;
        }
        if (flushing) {
            break;
        }
        appendUnit(out, used, replacement);
        if (err == EILSEQ) {
            const size_t skip = badInputLength(from, inPtr, inLeft);
            inPtr += skip;
            inLeft -= skip;
        } else {
            // An incomplete character at the end (EINVAL) or anything unexpected: the rest
            // cannot be converted, and one replacement stands for it.
            inLeft = 0;
        }
        if (inLeft == 0) {
            flushing = true;
        }
    }
    out.resize(used);
    return out;
}

template <class CharT>
std::basic_string<CharT> convert(Direction direction, const void* in, size_t inBytes,
                                 CharT replacement) {
    if (inBytes == 0) {
        return {};
    }
    const char* bytes = static_cast<const char*>(in);
    if (t_cacheDestroyed) {
        iconv_t cd = openConverter(direction);
        std::basic_string<CharT> out = convertWith(cd, direction, bytes, inBytes, replacement);
        if (cd != kNoConverter) {
            ::iconv_close(cd);
        }
        return out;
    }
    return convertWith(t_cache.get(direction), direction, bytes, inBytes, replacement);
}

std::string resolveCodePage() {
    const char* env = std::getenv("LUME_CODEPAGE");
    if (env == nullptr || *env == '\0') {
        return "GBK";
    }
    // An encoding iconv does not know would turn every non-ASCII text into replacements.
    iconv_t probe = ::iconv_open("UTF-8", env);
    if (probe == kNoConverter) {
        return "GBK";
    }
    ::iconv_close(probe);
    return env;
}

}  // namespace

const std::string& codePage() {
    static const std::string name = resolveCodePage();
    return name;
}

std::u16string narrowToWide(std::string_view narrow) {
    return convert(kNarrowToWide, narrow.data(), narrow.size(), kWideReplacement);
}

std::string wideToNarrow(std::u16string_view wide) {
    return convert(kWideToNarrow, wide.data(), wide.size() * sizeof(char16_t), kNarrowReplacement);
}

std::u16string utf8ToWide(std::string_view utf8) {
    return convert(kUtf8ToWide, utf8.data(), utf8.size(), kWideReplacement);
}

std::string wideToUtf8(std::u16string_view wide) {
    return convert(kWideToUtf8, wide.data(), wide.size() * sizeof(char16_t), kNarrowReplacement);
}

std::string utf8ToNarrow(std::string_view utf8) {
    if (isUtf8Name(codePage()) && isValidUtf8(utf8)) {
        return std::string(utf8);
    }
    return convert(kUtf8ToNarrow, utf8.data(), utf8.size(), kNarrowReplacement);
}

std::u16string asciiToWide(std::string_view ascii) {
    std::u16string out;
    out.reserve(ascii.size());
    for (const char c : ascii) {
        const auto byte = static_cast<unsigned char>(c);
        out.push_back(byte < 0x80 ? static_cast<char16_t>(byte) : kWideReplacement);
    }
    return out;
}

std::vector<std::string> splitText(std::string_view text, char separator) {
    std::vector<std::string> parts;
    for (size_t start = 0;;) {
        const size_t end = text.find(separator, start);
        parts.emplace_back(text.substr(start, end == std::string_view::npos ? end : end - start));
        if (end == std::string_view::npos) {
            return parts;
        }
        start = end + 1;
    }
}

}  // namespace platform
