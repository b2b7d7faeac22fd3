#include "engine/Kernel/Format.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "platform/Text.h"

namespace lume {

int64_t FormatArg::asSigned() const {
    switch (kind_) {
        case Kind::Signed:
            return wide64_ ? i_ : static_cast<int32_t>(i_);
        case Kind::Unsigned:
            return wide64_ ? static_cast<int64_t>(u_)
                           : static_cast<int32_t>(static_cast<uint32_t>(u_));
        case Kind::Double:
            return static_cast<int64_t>(d_);
        case Kind::Pointer:
            return static_cast<int64_t>(reinterpret_cast<uintptr_t>(p_));
        default:
            return 0;
    }
}

uint64_t FormatArg::asUnsigned() const {
    switch (kind_) {
        case Kind::Signed:
            return wide64_ ? static_cast<uint64_t>(i_) : static_cast<uint32_t>(i_);
        case Kind::Unsigned:
            return wide64_ ? u_ : static_cast<uint32_t>(u_);
        case Kind::Double:
            return static_cast<uint64_t>(d_);
        case Kind::Pointer:
            return reinterpret_cast<uintptr_t>(p_);
        default:
            return 0;
    }
}

double FormatArg::asDouble() const {
    switch (kind_) {
        case Kind::Signed:
            return static_cast<double>(i_);
        case Kind::Unsigned:
            return static_cast<double>(u_);
        case Kind::Double:
            return d_;
        default:
            return 0.0;
    }
}

namespace {

struct Directive {
    std::string flags;
    int width = -1;
    int precision = -1;
    char conversion = 0;
};

// The output side differs only in how texts and literal pattern pieces are converted.
struct WideSink {
    std::u16string out;
    void literal(std::u16string_view s) { out.append(s); }
    void ascii(const std::string& s) { out.append(platform::asciiToWide(s)); }
    std::u16string text(const FormatArg& a) const {
        return a.kind() == FormatArg::Kind::Wide ? std::u16string(a.wide())
                                                 : platform::narrowToWide(a.narrow());
    }
    void put(const std::u16string& s) { out.append(s); }
    void padding(size_t n, char c) { out.append(n, static_cast<char16_t>(c)); }
    void character(uint64_t code) { out.push_back(static_cast<char16_t>(code)); }
};

struct NarrowSink {
    std::string out;
    void literal(std::string_view utf8) { out.append(platform::utf8ToNarrow(utf8)); }
    void ascii(const std::string& s) { out.append(s); }
    std::string text(const FormatArg& a) const {
        return a.kind() == FormatArg::Kind::Wide ? platform::wideToNarrow(a.wide())
                                                 : std::string(a.narrow());
    }
    void put(const std::string& s) { out.append(s); }
    void padding(size_t n, char c) { out.append(n, c); }
    void character(uint64_t code) {
        if (code < 0x80) {
            out.push_back(static_cast<char>(code));
        } else {
            out.append(platform::wideToNarrow(std::u16string(1, static_cast<char16_t>(code))));
        }
    }
};

std::string numberText(const Directive& directive, const FormatArg& arg) {
    // Rebuild a printf conversion with a fixed length modifier so that snprintf reads exactly
    // the type we pass.
    // Appended piece by piece: GCC 12 warns falsely about "." + std::string at -O3.
    std::string f = "%";
    f += directive.flags;
    if (directive.width >= 0) {
        f += std::to_string(directive.width);
    }
    if (directive.precision >= 0) {
        f += '.';
        f += std::to_string(directive.precision);
    }
    // Room for the widest double (309 digits) plus the requested width and precision,
    // both capped at 4096 by the parser.
    std::string buffer(
        static_cast<size_t>(400 + std::max(directive.width, 0) + std::max(directive.precision, 0)),
        '\0');
    int n = 0;
    switch (directive.conversion) {
        case 'd':
        case 'i':
            f += "lld";
            n = std::snprintf(buffer.data(), buffer.size(), f.c_str(),
                              static_cast<long long>(arg.asSigned()));
            break;
        case 'u':
        case 'x':
        case 'X':
        case 'o':
            f += "ll";
            f += directive.conversion;
            n = std::snprintf(buffer.data(), buffer.size(), f.c_str(),
                              static_cast<unsigned long long>(arg.asUnsigned()));
            break;
        case 'p':
            f += "p";
            n = std::snprintf(
                buffer.data(), buffer.size(), f.c_str(),
                arg.kind() == FormatArg::Kind::Pointer
                    ? arg.pointer()
                    : reinterpret_cast<const void*>(static_cast<uintptr_t>(arg.asUnsigned())));
            break;
        default:  // f F e E g G
            f += directive.conversion;
            n = std::snprintf(buffer.data(), buffer.size(), f.c_str(), arg.asDouble());
            break;
    }
    if (n < 0) {
        return {};
    }
    buffer.resize(std::min(static_cast<size_t>(n), buffer.size() - 1));
    return buffer;
}

template <class Char, class Sink>
void formatInto(std::basic_string_view<Char> pattern, std::span<const FormatArg> args, Sink& sink) {
    size_t next = 0;
    size_t i = 0;
    size_t literalStart = 0;
    const size_t n = pattern.size();
    auto flushLiteral = [&](size_t end) {
        if (end > literalStart) {
            sink.literal(pattern.substr(literalStart, end - literalStart));
        }
    };
    while (i < n) {
        if (pattern[i] != '%') {
            ++i;
            continue;
        }
        flushLiteral(i);
        const size_t specStart = i;
        ++i;
        if (i < n && pattern[i] == '%') {
            sink.ascii("%");
            ++i;
            literalStart = i;
            continue;
        }
        Directive directive;
        while (i < n && (pattern[i] == '-' || pattern[i] == '+' || pattern[i] == ' ' ||
                         pattern[i] == '0' || pattern[i] == '#')) {
            directive.flags.push_back(static_cast<char>(pattern[i]));
            ++i;
        }
        auto readNumber = [&](int& target) {
            if (i < n && pattern[i] == '*') {
                ++i;
                target = next < args.size() ? static_cast<int>(args[next++].asSigned()) : 0;
                if (target < 0) {
                    directive.flags.push_back('-');
                    target = -target;
                }
                return;
            }
            int value = -1;
            while (i < n && pattern[i] >= '0' && pattern[i] <= '9') {
                value = (value < 0 ? 0 : value) * 10 + (pattern[i] - '0');
                if (value > 4096) {
                    value = 4096;  // a width beyond this is a broken pattern, not a request
                }
                ++i;
            }
            target = value;
        };
        readNumber(directive.width);
        if (i < n && pattern[i] == '.') {
            ++i;
            readNumber(directive.precision);
            if (directive.precision < 0) {
                directive.precision = 0;
            }
        }
        // Length modifiers carry no meaning here: the argument knows its own width.
        while (i < n &&
               (pattern[i] == 'h' || pattern[i] == 'l' || pattern[i] == 'L' || pattern[i] == 'z' ||
                pattern[i] == 'j' || pattern[i] == 't' || pattern[i] == 'q')) {
            ++i;
        }
        if (i + 2 < n && pattern[i] == 'I' && pattern[i + 1] == '6' && pattern[i + 2] == '4') {
            i += 3;
        }
        if (i >= n) {
            // A pattern that ends inside a conversion prints the rest as it stands.
            literalStart = specStart;
            break;
        }
        const Char c = pattern[i++];
        literalStart = i;
        const bool known = c == 'd' || c == 'i' || c == 'u' || c == 'x' || c == 'X' || c == 'o' ||
                           c == 'c' || c == 's' || c == 'S' || c == 'p' || c == 'f' || c == 'F' ||
                           c == 'e' || c == 'E' || c == 'g' || c == 'G';
        if (!known || next >= args.size()) {
            // Unknown conversions and missing arguments stay visible in the output.
            sink.literal(pattern.substr(specStart, i - specStart));
            continue;
        }
        directive.conversion = static_cast<char>(c);
        const FormatArg& arg = args[next++];
        const bool isText =
            arg.kind() == FormatArg::Kind::Narrow || arg.kind() == FormatArg::Kind::Wide;
        const bool leftAlign = directive.flags.find('-') != std::string::npos;
        if (c == 's' || c == 'S' || isText) {
            auto text = isText ? sink.text(arg) : decltype(sink.text(arg)){};
            if (!isText) {
                // A number printed with %s: show the number rather than nothing.
                Directive as = directive;
                as.conversion = arg.kind() == FormatArg::Kind::Double
                                    ? 'g'
                                    : (arg.kind() == FormatArg::Kind::Signed ? 'd' : 'u');
                as.width = -1;
                as.precision = -1;
                as.flags.clear();
                Sink tmp;
                tmp.ascii(numberText(as, arg));
                text = tmp.out;
            }
            if (directive.precision >= 0 &&
                text.size() > static_cast<size_t>(directive.precision)) {
                text.resize(static_cast<size_t>(directive.precision));
            }
            const size_t pad =
                directive.width > 0 && text.size() < static_cast<size_t>(directive.width)
                    ? directive.width - text.size()
                    : 0;
            if (!leftAlign) {
                sink.padding(pad, ' ');
            }
            sink.put(text);
            if (leftAlign) {
                sink.padding(pad, ' ');
            }
        } else if (c == 'c') {
            const size_t pad = directive.width > 1 ? static_cast<size_t>(directive.width - 1) : 0;
            if (!leftAlign) {
                sink.padding(pad, ' ');
            }
            sink.character(arg.asUnsigned() & 0xFFFF);
            if (leftAlign) {
                sink.padding(pad, ' ');
            }
        } else {
            sink.ascii(numberText(directive, arg));
        }
    }
    flushLiteral(n);
}

}  // namespace

std::u16string formatWide(std::u16string_view pattern, std::span<const FormatArg> args) {
    WideSink sink;
    formatInto(pattern, args, sink);
    return std::move(sink.out);
}

std::string formatNarrow(std::string_view utf8Pattern, std::span<const FormatArg> args) {
    NarrowSink sink;
    formatInto(utf8Pattern, args, sink);
    return std::move(sink.out);
}

}  // namespace lume
