#include "engine/Xml/XMLHandler.h"

#include <tinyxml2.h>

#include <cstring>
#include <limits>
#include <vector>

#include "engine/FileSystem/File.h"
#include "engine/Kernel/NameKey.h"
#include "platform/Text.h"

namespace lume {

namespace {

bool isSpace(char16_t c) {
    return c == u' ' || c == u'\t' || c == u'\n' || c == u'\v' || c == u'\f' || c == u'\r';
}

int hexDigit(char16_t c) {
    if (c >= u'0' && c <= u'9') {
        return c - u'0';
    }
    if (c >= u'a' && c <= u'f') {
        return c - u'a' + 10;
    }
    if (c >= u'A' && c <= u'F') {
        return c - u'A' + 10;
    }
    return -1;
}

struct Magnitude {
    bool negative = false;
    bool digits = false;
    bool overflow = false;  // beyond 32 bits
    uint32_t value = 0;
};

// White space, a sign, then digits of the base up to the first other character. Only ASCII
// counts: the hexadecimal reader works on the value converted to the narrow code page, where
// every non-ASCII character starts with a byte above 0x7F and so ends the digits just the same.
Magnitude readMagnitude(std::u16string_view text, int base) {
    Magnitude m;
    size_t i = 0;
    while (i < text.size() && isSpace(text[i])) {
        ++i;
    }
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) {
        m.negative = text[i] == u'-';
        ++i;
    }
    if (base == 16 && i + 1 < text.size() && text[i] == u'0' &&
        (text[i + 1] == u'x' || text[i + 1] == u'X') && i + 2 < text.size() &&
        hexDigit(text[i + 2]) >= 0) {
        i += 2;
    }
    uint64_t value = 0;
    for (; i < text.size(); ++i) {
        const int d = hexDigit(text[i]);
        if (d < 0 || d >= base) {
            break;
        }
        m.digits = true;
        value = value * static_cast<unsigned>(base) + static_cast<unsigned>(d);
        if (value > std::numeric_limits<uint32_t>::max()) {
            m.overflow = true;
            // Keep scanning only to stay a pure function of the digits; the value is lost.
            value = uint64_t{std::numeric_limits<uint32_t>::max()} + 1;
        }
    }
    m.value = static_cast<uint32_t>(value);
    return m;
}

uint32_t unsignedValue(const Magnitude& m) {
    if (!m.digits || m.overflow) {
        return 0;
    }
    return m.negative ? 0u - m.value : m.value;
}

// Element names, attributes and texts are bytes in the narrow code page. (A numeric character
// reference above 127 is expanded by tinyxml2 to UTF-8 bytes, which then read as code-page
// text like everything else; published lists write such text in the code page itself.) Almost all
// of them are plain ASCII, which every code page this program meets maps to itself, so those skip
// the converter; whether the code page really keeps ASCII is checked once.
bool codePageKeepsAscii() {
    static const bool keeps = [] {
        std::string ascii;
        for (int c = 1; c < 0x80; ++c) {
            ascii.push_back(static_cast<char>(c));
        }
        const std::u16string wide = platform::narrowToWide(ascii);
        if (wide.size() != ascii.size()) {
            return false;
        }
        for (size_t i = 0; i < ascii.size(); ++i) {
            if (wide[i] != static_cast<char16_t>(ascii[i])) {
                return false;
            }
        }
        return true;
    }();
    return keeps;
}

std::u16string fromCodePage(const char* bytes) {
    if (bytes == nullptr) {
        return {};
    }
    const size_t length = std::strlen(bytes);
    bool ascii = true;
    for (size_t i = 0; i < length && ascii; ++i) {
        ascii = static_cast<unsigned char>(bytes[i]) < 0x80;
    }
    if (ascii && codePageKeepsAscii()) {
        return std::u16string(bytes, bytes + length);
    }
    return platform::narrowToWide(std::string_view(bytes, length));
}

void enterElement(XMLHandlerBase& handler, const tinyxml2::XMLElement& element,
                  std::u16string& name) {
    name = fromCodePage(element.Name());
    XMLAttributes attributes;
    size_t count = 0;
    for (const tinyxml2::XMLAttribute* a = element.FirstAttribute(); a != nullptr; a = a->Next()) {
        ++count;
    }
    attributes.reserve(count);
    for (const tinyxml2::XMLAttribute* a = element.FirstAttribute(); a != nullptr; a = a->Next()) {
        attributes.add(fromCodePage(a->Name()), fromCodePage(a->Value()));
    }
    handler.startElement(name, attributes);
}

// Depth-first in document order, with an explicit stack so that the walk's own depth never
// depends on how deep the document nests.
void walk(XMLHandlerBase& handler, const tinyxml2::XMLDocument& document) {
    struct Frame {
        std::u16string name;
        const tinyxml2::XMLNode* next;
    };
    std::vector<Frame> stack;
    for (const tinyxml2::XMLElement* top = document.FirstChildElement(); top != nullptr;
         top = top->NextSiblingElement()) {
        stack.push_back({{}, top->FirstChild()});
        enterElement(handler, *top, stack.back().name);
        while (!stack.empty()) {
            const tinyxml2::XMLNode* node = stack.back().next;
            if (node == nullptr) {
                const std::u16string name = std::move(stack.back().name);
                stack.pop_back();
                handler.endElement(name);
                continue;
            }
            stack.back().next = node->NextSibling();
            if (const tinyxml2::XMLElement* child = node->ToElement()) {
                stack.push_back({{}, child->FirstChild()});
                enterElement(handler, *child, stack.back().name);
            } else if (const tinyxml2::XMLText* text = node->ToText()) {
                handler.text(stack.back().name, fromCodePage(text->Value()));
            }
        }
    }
}

}  // namespace

bool replaceNulReferences(std::string_view bytes, std::string& out) {
    // tinyxml2 reads "&#" digits ";" in decimal and "&#x" digits ";" in hexadecimal.
    const auto nulAt = [&](size_t at, size_t& end) {
        size_t i = at + 2;
        const bool hex = i < bytes.size() && bytes[i] == 'x';
        i += hex ? 1 : 0;
        const size_t digits = i;
        while (i < bytes.size() && bytes[i] == '0') {
            ++i;
        }
        end = i + 1;
        return i > digits && i < bytes.size() && bytes[i] == ';';
    };
    bool found = false;
    size_t copied = 0;
    for (size_t at = bytes.find("&#"); at != std::string_view::npos;
         at = bytes.find("&#", at + 2)) {
        size_t end = 0;
        if (!nulAt(at, end)) {
            continue;
        }
        if (!found) {
            out.clear();
            out.reserve(bytes.size());
            found = true;
        }
        out.append(bytes.substr(copied, at - copied));
        out.append("&#1;");
        copied = end;
    }
    if (found) {
        out.append(bytes.substr(copied));
    }
    return found;
}

void XMLAttributes::add(std::u16string name, std::u16string value) {
    if (find(name) == nullptr) {
        values_.emplace_back(std::move(name), std::move(value));
    }
}

const std::u16string* XMLAttributes::find(std::u16string_view name) const {
    for (const auto& [key, value] : values_) {
        if (key == name) {
            return &value;
        }
    }
    return nullptr;
}

std::u16string XMLAttributes::readString(std::u16string_view name,
                                         std::u16string_view fallback) const {
    const std::u16string* value = find(name);
    return value ? *value : std::u16string(fallback);
}

int32_t XMLAttributes::readInt(std::u16string_view name, int32_t fallback) const {
    const std::u16string* value = find(name);
    return value ? parseInt(*value) : fallback;
}

uint32_t XMLAttributes::readUInt(std::u16string_view name, uint32_t fallback) const {
    const std::u16string* value = find(name);
    return value ? parseUInt(*value) : fallback;
}

bool XMLAttributes::readBool(std::u16string_view name, bool fallback) const {
    const std::u16string* value = find(name);
    return value ? readBoolText(*value) : fallback;
}

uint32_t XMLAttributes::readHex(std::u16string_view name) const {
    const std::u16string* value = find(name);
    return value ? parseHex(*value) : 0;
}

int32_t XMLAttributes::parseInt(std::u16string_view text) {
    const Magnitude m = readMagnitude(text, 10);
    if (!m.digits || m.overflow) {
        return 0;
    }
    if (m.negative) {
        if (m.value > 0x80000000u) {
            return 0;
        }
        return static_cast<int32_t>(0u - m.value);
    }
    if (m.value > 0x7FFFFFFFu) {
        return 0;
    }
    return static_cast<int32_t>(m.value);
}

uint32_t XMLAttributes::parseUInt(std::u16string_view text) {
    return unsignedValue(readMagnitude(text, 10));
}

uint32_t XMLAttributes::parseHex(std::u16string_view text) {
    return unsignedValue(readMagnitude(text, 16));
}

bool XMLHandlerBase::parse(Stream& stream) {
    std::string bytes;
    if (!stream.readAll(bytes)) {
        endDocument(false);
        return false;
    }
    return parseBytes(bytes);
}

bool XMLHandlerBase::parseFile(std::u16string_view path, bool lookInData) {
    File file;
    const bool opened = lookInData ? file.openInData(path, 0, true) : file.open(path, 0);
    if (!opened) {
        endDocument(false);
        return false;
    }
    return parse(file);
}

bool XMLHandlerBase::parseBytes(std::string_view bytes) {
    // Entities are expanded and white space is kept as published. tinyxml2 copies the bytes
    // and terminates the copy itself, and refuses documents nested deeper than its limit.
    tinyxml2::XMLDocument document(true, tinyxml2::PRESERVE_WHITESPACE);
    std::string withoutNul;
    if (replaceNulReferences(bytes, withoutNul)) {
        bytes = withoutNul;
    }
    if (document.Parse(bytes.data(), bytes.size()) != tinyxml2::XML_SUCCESS) {
        endDocument(false);
        return false;
    }
    walk(*this, document);
    endDocument(true);
    return true;
}

}  // namespace lume
