// printf-style formatting with the argument types checked at compile time: every argument
// is captured with its type, so "%s" with a number or "%d" with a text prints something
// sensible instead of reading garbage. Wide patterns are UTF-16; narrow patterns are UTF-8
// source literals and produce narrow code-page text, with narrow arguments copied as they
// are (they are already in the code page) and wide arguments converted.
//
// Conversions: d i u x X o c s S p f F e E g G %, with flags "-+ 0#", width, precision and
// '*'. Length modifiers (h hh l ll I64 z) are accepted and ignored: the argument's own
// type decides. As on Windows, a 32-bit argument printed with %d/%u/%x keeps 32 bits
// (4294967295 with %d prints -1).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

namespace lume {

class FormatArg {
public:
    enum class Kind { Signed, Unsigned, Double, Narrow, Wide, Pointer };

    template <class T>
    requires(std::is_integral_v<T> && !std::is_same_v<T, bool>) FormatArg(T v)
        : kind_(std::is_signed_v<T> ? Kind::Signed : Kind::Unsigned), wide64_(sizeof(T) > 4) {
        if constexpr (std::is_signed_v<T>) {
            i_ = static_cast<int64_t>(v);
        } else {
            u_ = static_cast<uint64_t>(v);
        }
    }
    FormatArg(bool v) : kind_(Kind::Signed), i_(v ? 1 : 0) {}
    template <class E>
    requires std::is_enum_v<E> FormatArg(E v)
        : FormatArg(static_cast<std::underlying_type_t<E>>(v)) {}
    FormatArg(double v) : kind_(Kind::Double), d_(v) {}
    FormatArg(float v) : kind_(Kind::Double), d_(v) {}
    FormatArg(const char* s) : kind_(Kind::Narrow), narrow_(s ? s : "") {}
    FormatArg(char* s) : FormatArg(static_cast<const char*>(s)) {}
    FormatArg(std::string_view s) : kind_(Kind::Narrow), narrow_(s) {}
    FormatArg(const std::string& s) : kind_(Kind::Narrow), narrow_(s) {}
    FormatArg(const char16_t* s) : kind_(Kind::Wide), wide_(s ? s : u"") {}
    FormatArg(char16_t* s) : FormatArg(static_cast<const char16_t*>(s)) {}
    FormatArg(std::u16string_view s) : kind_(Kind::Wide), wide_(s) {}
    FormatArg(const std::u16string& s) : kind_(Kind::Wide), wide_(s) {}
    FormatArg(const void* p) : kind_(Kind::Pointer), p_(p) {}
    FormatArg(void* p) : kind_(Kind::Pointer), p_(p) {}

    Kind kind() const { return kind_; }
    bool wide64() const { return wide64_; }
    int64_t asSigned() const;
    uint64_t asUnsigned() const;
    double asDouble() const;
    std::string_view narrow() const { return narrow_; }
    std::u16string_view wide() const { return wide_; }
    const void* pointer() const { return p_; }

private:
    Kind kind_;
    bool wide64_ = false;
    union {
        int64_t i_;
        uint64_t u_;
        double d_;
        const void* p_;
    };
    std::string_view narrow_;
    std::u16string_view wide_;
};

std::u16string formatWide(std::u16string_view pattern, std::span<const FormatArg> args);
std::string formatNarrow(std::string_view utf8Pattern, std::span<const FormatArg> args);

template <class... A>
std::u16string formatW(std::u16string_view pattern, const A&... args) {
    if constexpr (sizeof...(A) == 0) {
        return formatWide(pattern, {});
    } else {
        const FormatArg list[] = {FormatArg(args)...};
        return formatWide(pattern, list);
    }
}

template <class... A>
std::string formatA(std::string_view utf8Pattern, const A&... args) {
    if constexpr (sizeof...(A) == 0) {
        return formatNarrow(utf8Pattern, {});
    } else {
        const FormatArg list[] = {FormatArg(args)...};
        return formatNarrow(utf8Pattern, list);
    }
}

}  // namespace lume
