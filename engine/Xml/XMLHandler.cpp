#include "engine/Xml/XMLHandler.h"

#include <expat.h>

#include <algorithm>
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

// How a document reaches the handler
//
// libexpat reads the document as a stream: every chunk handed to it produces the events it
// completes, and only an unfinished piece of markup waits inside the parser for the next
// chunk. The layer therefore holds one chunk (64 KiB, more only while a single piece of
// markup is longer) and the text of the current text child, and never the whole document.
//
// Documents are in the narrow code page, which libexpat does not know. The parser is given
// an encoding of its own instead, whatever the document declares: every byte below 0x80 is
// itself and every byte b from 0x80 up is the character U+4E00 + b, a CJK ideograph. So the
// markup keeps its meaning, the code page's double bytes are letters wherever XML wants a
// name ("<文件 名称=...>" in GBK parses like ASCII names), and every character of the
// parser's output maps back to exactly the byte it came from. The few character references
// above 0x7F that a document may carry are written into the bytes before the parser sees
// them, as the code page's bytes for the character ('?' where it has none; UTF-8 bytes would
// read back as other characters), so every ideograph in the output stands for one byte of
// the document.
//
// Before the parser, ReferenceFilter keeps a lenient reading of '&' that hand-written files
// (server lists with URLs in them) depend on: an '&' that does not start one of the five
// predefined references or a character reference becomes "&amp;", so it reads as itself.
// As a side effect no general entity is ever expanded, whatever a document declares.

constexpr size_t kChunk = 64 * 1024;
// A text child longer than this refuses the document, and so do more bytes than this fed
// without the parser completing anything (a tag, comment or processing instruction it would
// have to hold whole).
constexpr size_t kMaxToken = 1024 * 1024;
constexpr size_t kMaxDepth = 100;
constexpr char32_t kByteBase = 0x4E00;  // byte b >= 0x80 reads as U+4E00 + b
constexpr char kEncodingName[] = "x-lume-narrow-bytes";

int XMLCALL narrowBytesEncoding(void*, const XML_Char*, XML_Encoding* info) {
    for (int b = 0; b < 0x100; ++b) {
        info->map[b] = b < 0x80 ? b : static_cast<int>(kByteBase) + b;
    }
    info->data = nullptr;
    info->convert = nullptr;
    info->release = nullptr;
    return XML_STATUS_OK;
}

bool isXmlChar(uint32_t c) {
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
           (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

// The character c as bytes of the narrow code page ('?' when the code page has none).
std::string narrowCharacter(uint32_t c) {
    std::u16string wide;
    if (c >= 0x10000) {
        wide = {static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)),
                static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF))};
    } else {
        wide = {static_cast<char16_t>(c)};
    }
    return platform::wideToNarrow(wide);
}

// The rewriting of '&' described above, on the raw bytes as they stream past. It follows
// just enough of the markup to leave comments, CDATA sections and processing instructions
// alone; everywhere else (text, tags, attribute values) '&' starts a reference or is
// escaped. On documents that are not well-formed its guesses may differ from the parser's,
// which only changes how a document the parser then refuses was rewritten.
class ReferenceFilter {
public:
    // Appends the rewritten form of bytes to out; a reference cut by the end of bytes waits
    // for the next call.
    void filter(std::string_view bytes, std::string& out);
    // The end of the document: a reference still open is ordinary text.
    void finish(std::string& out) {
        if (context_ == Context::kReference) {
            settle(out, false);
        }
        context_ = Context::kMarkup;
    }

private:
    enum class Context : uint8_t {
        kMarkup,       // text, tags and attribute values
        kLess,         // after '<'
        kBang,         // after "<!"
        kCommentOpen,  // inside "<!--", run_ characters of "--" seen
        kCdataOpen,    // inside "<![CDATA[", run_ characters of "[CDATA[" seen
        kComment,      // until "-->"
        kCdata,        // until "]]>"
        kInstruction,  // until "?>"
        kReference,    // reference_ holds "&..." not yet settled
    };
    // Longer than any reference the layer expands ("&#x10FFFF;" and a few leading zeros).
    static constexpr size_t kMaxReference = 32;

    void settle(std::string& out, bool terminated);

    Context context_ = Context::kMarkup;
    uint8_t run_ = 0;
    std::string reference_;
};

void ReferenceFilter::filter(std::string_view bytes, std::string& out) {
    static constexpr std::string_view kCommentOpen = "--";
    static constexpr std::string_view kCdataOpen = "[CDATA[";
    size_t i = 0;
    while (i < bytes.size()) {
        const char c = bytes[i];
        switch (context_) {
            case Context::kMarkup: {
                size_t end = i;
                while (end < bytes.size() && bytes[end] != '<' && bytes[end] != '&') {
                    ++end;
                }
                out.append(bytes.substr(i, end - i));
                if (end < bytes.size()) {
                    if (bytes[end] == '<') {
                        out += '<';
                        context_ = Context::kLess;
                    } else {
                        reference_.assign(1, '&');
                        context_ = Context::kReference;
                    }
                    ++end;
                }
                i = end;
                continue;
            }
            case Context::kLess:
                if (c == '!' || c == '?') {
                    out += c;
                    ++i;
                    context_ = c == '!' ? Context::kBang : Context::kInstruction;
                    run_ = 0;
                } else {
                    context_ = Context::kMarkup;  // c is read again there
                }
                continue;
            case Context::kBang:
                context_ = c == '-'   ? Context::kCommentOpen
                           : c == '[' ? Context::kCdataOpen
                                      : Context::kMarkup;  // a declaration: c read again
                run_ = 0;
                continue;
            case Context::kCommentOpen:
            case Context::kCdataOpen: {
                const bool comment = context_ == Context::kCommentOpen;
                const std::string_view open = comment ? kCommentOpen : kCdataOpen;
                if (c != open[run_]) {
                    context_ = Context::kMarkup;  // not well-formed; c read again
                    continue;
                }
                out += c;
                ++i;
                if (++run_ == open.size()) {
                    context_ = comment ? Context::kComment : Context::kCdata;
                    run_ = 0;
                }
                continue;
            }
            case Context::kComment:
            case Context::kCdata:
            case Context::kInstruction: {
                // The closing pattern is one character repeated (run_ times so far), then '>'.
                const char mark = context_ == Context::kComment ? '-'
                                  : context_ == Context::kCdata ? ']'
                                                                : '?';
                const uint8_t needed = context_ == Context::kInstruction ? 1 : 2;
                out += c;
                ++i;
                if (c == mark) {
                    run_ = std::min<uint8_t>(run_ + 1, needed);
                } else if (c == '>' && run_ == needed) {
                    context_ = Context::kMarkup;
                } else {
                    run_ = 0;
                }
                continue;
            }
            case Context::kReference: {
                const bool referenceChar = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') ||
                                           (c >= 'A' && c <= 'Z') || c == '#';
                if (c == ';') {
                    reference_ += c;
                    ++i;
                    settle(out, true);
                } else if (referenceChar && reference_.size() < kMaxReference) {
                    reference_ += c;
                    ++i;
                } else {
                    settle(out, false);  // c read again in the markup
                }
                continue;
            }
        }
    }
}

void ReferenceFilter::settle(std::string& out, bool terminated) {
    context_ = Context::kMarkup;
    if (terminated) {
        const std::string_view name(reference_.data() + 1, reference_.size() - 2);
        if (name == "lt" || name == "gt" || name == "amp" || name == "quot" || name == "apos") {
            out += reference_;
            return;
        }
        if (!name.empty() && name[0] == '#') {
            const bool hex = name.size() > 1 && name[1] == 'x';
            const std::string_view digits = name.substr(hex ? 2 : 1);
            uint32_t value = 0;
            bool number = !digits.empty();
            for (const char d : digits) {
                const int v = hexDigit(static_cast<unsigned char>(d));
                if (v < 0 || v >= (hex ? 16 : 10)) {
                    number = false;
                    break;
                }
                value = std::min<uint32_t>(value * (hex ? 16 : 10) + static_cast<uint32_t>(v),
                                           0x110000);  // beyond Unicode stays beyond it
            }
            if (number) {
                if (value >= 0x80 && isXmlChar(value)) {
                    out += narrowCharacter(value);
                } else {
                    // The parser expands an ASCII character and refuses the document for
                    // one that XML forbids, "&#0;" among them.
                    out += reference_;
                }
                return;
            }
        }
    }
    out += "&amp;";
    out.append(reference_, 1);
}

// Bytes of the narrow code page from the parser's output (UTF-8 of the encoding above).
// False for a character no byte maps to, which the parser cannot produce.
bool parserTextToBytes(std::string_view text, std::string& out) {
    out.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        const auto b0 = static_cast<unsigned char>(text[i]);
        if (b0 < 0x80) {
            out += static_cast<char>(b0);
            continue;
        }
        if ((b0 & 0xF0) != 0xE0 || i + 2 >= text.size()) {
            return false;
        }
        const auto b1 = static_cast<unsigned char>(text[i + 1]);
        const auto b2 = static_cast<unsigned char>(text[i + 2]);
        const char32_t c =
            (char32_t{b0 & 0x0Fu} << 12) | (char32_t{b1 & 0x3Fu} << 6) | char32_t{b2 & 0x3Fu};
        if ((b1 & 0xC0) != 0x80 || (b2 & 0xC0) != 0x80 || c < kByteBase + 0x80 ||
            c > kByteBase + 0xFF) {
            return false;
        }
        out += static_cast<char>(c - kByteBase);
        i += 2;
    }
    return true;
}

// Element names, attributes and texts are bytes in the narrow code page. Almost all of them
// are plain ASCII, which every code page this program meets maps to itself, so those skip the
// converter; whether the code page really keeps ASCII is checked once.
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

bool onlyWhiteSpace(std::string_view text) {
    for (const char c : text) {
        if (c != ' ' && c != '\t' && c != '\n' && c != '\r') {
            return false;
        }
    }
    return true;
}

// One parse call: the parser, the open elements and the text being gathered. Expat calls
// back into it from XML_Parse, on the thread that parses.
class Document {
public:
    explicit Document(XMLHandlerBase& handler) : handler_(handler) { failed_ = !start(); }
    ~Document() {
        if (parser_ != nullptr) {
            XML_ParserFree(parser_);
        }
    }
    Document(const Document&) = delete;
    Document& operator=(const Document&) = delete;

    // The next bytes of the document. False once it cannot parse.
    bool feed(std::string_view bytes);
    // The end of the document. True when it parsed.
    bool finish();
    // A NUL byte has ended the document: nothing after it is read.
    bool ended() const { return ended_ || failed_; }
    // How many bytes to read next: a chunk, doubled for each chunk in a row that completed
    // nothing (one long piece of markup), so that the parser does not scan that piece again
    // for every small chunk.
    size_t nextChunk() const { return kChunk << std::min<unsigned>(stalls_, 4); }

private:
    bool start();
    bool take(std::string_view raw, bool last);
    bool parseFiltered(std::string_view bytes, bool last);
    void fail() {
        if (!failed_) {
            failed_ = true;
            XML_StopParser(parser_, XML_FALSE);
        }
    }
    void flushText();
    void deliverText();
    bool toWide(std::string_view parsed, std::u16string& out);

    static void XMLCALL onStart(void* data, const XML_Char* name, const XML_Char** attributes);
    static void XMLCALL onEnd(void* data, const XML_Char* name);
    static void XMLCALL onText(void* data, const XML_Char* text, int length);
    static void XMLCALL onCdataStart(void* data);
    static void XMLCALL onCdataEnd(void* data);
    static void XMLCALL onComment(void* data, const XML_Char*);
    static void XMLCALL onInstruction(void* data, const XML_Char*, const XML_Char*);
    static void XMLCALL onDoctype(void* data, const XML_Char*, const XML_Char*, const XML_Char*,
                                  int internalSubset);
    static void XMLCALL onOther(void* data, const XML_Char*, int);
    // Every callback first notes that the parser completed something.
    static Document& called(void* data) {
        auto& document = *static_cast<Document*>(data);
        document.progressed_ = true;
        return document;
    }

    XMLHandlerBase& handler_;
    XML_Parser parser_ = nullptr;
    ReferenceFilter filter_;
    bool failed_ = false;
    bool ended_ = false;
    bool headRead_ = false;
    std::string head_;      // the first bytes, until the byte order mark is decided
    std::string filtered_;  // one chunk after ReferenceFilter
    std::string rest_;      // a further top-level element and what follows it
    uint64_t fed_ = 0;      // bytes given to the current parser
    std::string tail_;      // the last bytes given to it, for a top-level element cut there
    bool progressed_ = false;
    unsigned stalls_ = 0;
    size_t stalled_ = 0;  // bytes fed since the parser last completed anything
    std::vector<std::u16string> open_;
    std::string text_;
    std::string bytes_;  // conversion scratch
};

bool Document::start() {
    if (parser_ != nullptr) {
        XML_ParserFree(parser_);
    }
    // The encoding given here overrides whatever the document declares.
    parser_ = XML_ParserCreate(kEncodingName);
    if (parser_ == nullptr) {
        return false;
    }
    XML_SetUnknownEncodingHandler(parser_, narrowBytesEncoding, nullptr);
    XML_SetUserData(parser_, this);
    XML_SetElementHandler(parser_, onStart, onEnd);
    XML_SetCharacterDataHandler(parser_, onText);
    XML_SetCdataSectionHandler(parser_, onCdataStart, onCdataEnd);
    XML_SetCommentHandler(parser_, onComment);
    XML_SetProcessingInstructionHandler(parser_, onInstruction);
    XML_SetStartDoctypeDeclHandler(parser_, onDoctype);
    // Everything else (declarations, white space outside the elements): only progress. The
    // "Expand" form keeps the parser's own handling of what it passes on.
    XML_SetDefaultHandlerExpand(parser_, onOther);
    fed_ = 0;
    tail_.clear();
    return true;
}

bool Document::feed(std::string_view bytes) {
    return ended() ? !failed_ : take(bytes, false);
}

bool Document::finish() {
    return !failed_ && take({}, true) && !failed_;
}

bool Document::take(std::string_view raw, bool last) {
    if (const size_t nul = raw.find('\0'); nul != std::string_view::npos) {
        raw = raw.substr(0, nul);
        ended_ = true;
    }
    if (!headRead_) {
        // A UTF-8 byte order mark says nothing the fixed encoding does not; it is skipped.
        head_.append(raw);
        if (head_.size() < 3 && !last && !ended_) {
            return true;
        }
        headRead_ = true;
        raw = head_;
        if (raw.substr(0, 3) == "\xEF\xBB\xBF") {
            raw.remove_prefix(3);
        }
    }
    filtered_.clear();
    filter_.filter(raw, filtered_);
    if (last) {
        filter_.finish(filtered_);
    }
    head_.clear();
    return parseFiltered(filtered_, last);
}

bool Document::parseFiltered(std::string_view bytes, bool last) {
    for (;;) {
        progressed_ = false;
        const bool parsed =
            XML_Parse(parser_, bytes.data(), static_cast<int>(bytes.size()), last) == XML_STATUS_OK;
        if (failed_) {
            return false;
        }
        const uint64_t before = fed_;
        fed_ += bytes.size();
        if (parsed) {
            stalled_ = progressed_ ? 0 : stalled_ + bytes.size();
            stalls_ = progressed_ ? 0 : stalls_ + 1;
            if (stalled_ > kMaxToken) {
                failed_ = true;
                return false;
            }
            tail_.append(bytes.substr(bytes.size() - std::min<size_t>(bytes.size(), 16)));
            tail_.erase(0, tail_.size() - std::min<size_t>(tail_.size(), 16));
            return true;
        }
        // Another top-level element after the first: a parser of its own reads it and what
        // follows. The parser stops as soon as it has seen "<" and a name character, so the
        // element starts in these bytes or in the few before them that it was holding (a "<"
        // at their end). Anything else after the first element (text, a declaration) is
        // refused.
        const auto at = static_cast<uint64_t>(XML_GetCurrentByteIndex(parser_));
        if (XML_GetErrorCode(parser_) != XML_ERROR_JUNK_AFTER_DOC_ELEMENT || at >= fed_ ||
            (at < before && before - at > tail_.size())) {
            failed_ = true;
            return false;
        }
        std::string rest = at < before ? tail_.substr(tail_.size() - (before - at)) : "";
        rest.append(bytes.substr(at < before ? 0 : at - before));
        if (rest.size() < 2 || rest[0] != '<' || rest[1] == '?' || rest[1] == '!' || !start()) {
            failed_ = true;
            return false;
        }
        rest_ = std::move(rest);
        bytes = rest_;
        stalled_ = 0;
    }
}

void Document::flushText() {
    if (!text_.empty() && !open_.empty() && !onlyWhiteSpace(text_)) {
        deliverText();
    }
    text_.clear();
}

void Document::deliverText() {
    std::u16string text;
    if (!toWide(text_, text)) {
        fail();
        return;
    }
    text_.clear();
    handler_.text(open_.back(), text);
}

bool Document::toWide(std::string_view parsed, std::u16string& out) {
    bool ascii = true;
    for (size_t i = 0; i < parsed.size() && ascii; ++i) {
        ascii = static_cast<unsigned char>(parsed[i]) < 0x80;
    }
    if (ascii && codePageKeepsAscii()) {
        out.assign(parsed.begin(), parsed.end());
        return true;
    }
    if (!parserTextToBytes(parsed, bytes_)) {
        return false;
    }
    out = platform::narrowToWide(bytes_);
    return true;
}

void Document::onStart(void* data, const XML_Char* name, const XML_Char** attributes) {
    Document& d = called(data);
    if (d.failed_) {
        return;
    }
    d.flushText();
    if (d.open_.size() >= kMaxDepth) {
        d.fail();
        return;
    }
    std::u16string wideName;
    XMLAttributes list;
    size_t count = 0;
    while (attributes[2 * count] != nullptr) {
        ++count;
    }
    list.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        std::u16string key, value;
        if (!d.toWide(attributes[2 * i], key) || !d.toWide(attributes[2 * i + 1], value)) {
            d.fail();
            return;
        }
        list.add(std::move(key), std::move(value));
    }
    if (!d.toWide(name, wideName)) {
        d.fail();
        return;
    }
    d.open_.push_back(std::move(wideName));
    d.handler_.startElement(d.open_.back(), list);
}

void Document::onEnd(void* data, const XML_Char*) {
    Document& d = called(data);
    if (d.failed_ || d.open_.empty()) {
        return;
    }
    d.flushText();
    if (d.failed_) {
        return;
    }
    const std::u16string name = std::move(d.open_.back());
    d.open_.pop_back();
    d.handler_.endElement(name);
}

void Document::onText(void* data, const XML_Char* text, int length) {
    Document& d = called(data);
    if (d.failed_) {
        return;
    }
    d.text_.append(text, static_cast<size_t>(length));
    if (d.text_.size() > kMaxToken) {
        d.fail();
    }
}

void Document::onCdataStart(void* data) {
    Document& d = called(data);
    if (!d.failed_) {
        d.flushText();
    }
}

void Document::onCdataEnd(void* data) {
    // A CDATA section is a text child even when empty or only white space.
    Document& d = called(data);
    if (!d.failed_ && !d.open_.empty()) {
        d.deliverText();
    }
    d.text_.clear();
}

void Document::onComment(void* data, const XML_Char*) {
    Document& d = called(data);
    if (!d.failed_) {
        d.flushText();
    }
}

void Document::onInstruction(void* data, const XML_Char*, const XML_Char*) {
    onComment(data, nullptr);
}

void Document::onDoctype(void* data, const XML_Char*, const XML_Char*, const XML_Char*,
                         int internalSubset) {
    Document& d = called(data);
    if (internalSubset != 0) {
        d.fail();
    }
}

void Document::onOther(void* data, const XML_Char*, int) {
    called(data);
}

bool readDocument(XMLHandlerBase& handler, Stream& stream) {
    Document document(handler);
    // As many bytes as the stream holds, from its position on (fewer remain when that is not
    // the start).
    uint32_t left = stream.size();
    std::string chunk;
    while (left != 0 && !document.ended()) {
        const auto want = static_cast<uint32_t>(std::min<size_t>(document.nextChunk(), left));
        chunk.resize(want);
        uint32_t got = 0;
        if (!stream.read(chunk.data(), want, &got)) {
            return false;
        }
        if (got == 0) {
            break;
        }
        left -= std::min(got, left);
        if (!document.feed(std::string_view(chunk.data(), std::min(got, want)))) {
            return false;
        }
    }
    return document.finish();
}

bool readDocument(XMLHandlerBase& handler, std::string_view bytes) {
    Document document(handler);
    while (!bytes.empty() && !document.ended()) {
        const size_t n = std::min(document.nextChunk(), bytes.size());
        if (!document.feed(bytes.substr(0, n))) {
            return false;
        }
        bytes.remove_prefix(n);
    }
    return document.finish();
}
}  // namespace

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
    const bool parsed = readDocument(*this, stream);
    endDocument(parsed);
    return parsed;
}

bool XMLHandlerBase::parseFile(std::u16string_view path, bool lookInData) {
    File file;
    const bool opened = lookInData ? file.openInData(path, 0, true) : file.open(path, 0);
    const bool parsed = opened && readDocument(*this, file);
    endDocument(parsed);
    return parsed;
}

bool XMLHandlerBase::parseBytes(std::string_view bytes) {
    const bool parsed = readDocument(*this, bytes);
    endDocument(parsed);
    return parsed;
}

}  // namespace lume
