// The event-driven XML layer under every XML file of the program (file lists, server list,
// layout file): a document streams through libexpat in bounded chunks, and every element,
// attribute and text is handed on as it is read, converted from the narrow code page to wide
// text. No tree of the document is ever built, so a list of millions of entries costs only
// what its consumer keeps.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace lume {

class Stream;

// The attributes of one element. Each reader takes the attribute's name and a default that
// stands for an absent attribute.
class XMLAttributes {
public:
    // The parser refuses documents that repeat an attribute; should two names still meet after
    // conversion, the first is kept.
    void add(std::u16string name, std::u16string value);
    bool has(std::u16string_view name) const { return find(name) != nullptr; }
    // Null when absent.
    const std::u16string* find(std::u16string_view name) const;
    size_t size() const { return values_.size(); }
    void reserve(size_t count) { values_.reserve(count); }
    // f(name, value) for every attribute, in document order.
    template <class F>
    void forEach(F&& f) const {
        for (const auto& [name, value] : values_) {
            f(name, value);
        }
    }

    std::u16string readString(std::u16string_view name, std::u16string_view fallback = {}) const;
    // Decimal, with optional leading ASCII white space and sign; reading stops at the first
    // character that is not a digit. No digits, or a value outside the signed 32-bit range,
    // reads as 0.
    int32_t readInt(std::u16string_view name, int32_t fallback = 0) const;
    // The same for unsigned 32-bit values. As with strtoul, a '-' negates modulo 2^32 ("-1"
    // reads as 4294967295); a magnitude beyond 32 bits reads as 0.
    uint32_t readUInt(std::u16string_view name, uint32_t fallback = 0) const;
    // The boolean text rule (readBoolText): an empty value is true, "yes" is false.
    bool readBool(std::u16string_view name, bool fallback = false) const;
    // Base 16, with optional white space, sign and "0x" prefix; reading stops at the first
    // character that is not a hexadecimal digit. An absent attribute, a value without digits
    // and a value beyond 32 bits all read as 0: a checksum or key cut to its low bits would be
    // a plausible wrong value, 0 is recognisably none.
    uint32_t readHex(std::u16string_view name) const;

    // The number rules on their own, for texts that are not attributes.
    static int32_t parseInt(std::u16string_view text);
    static uint32_t parseUInt(std::u16string_view text);
    static uint32_t parseHex(std::u16string_view text);

private:
    // Elements carry a handful of attributes: a linear search beats hashing them.
    std::vector<std::pair<std::u16string, std::u16string>> values_;
};

// The base of every XML consumer: the events of a document, and the parse entry points.
// A handler is used on one thread at a time (the thread that calls parse), which is also the
// thread every event is called on.
class XMLHandlerBase {
public:
    virtual ~XMLHandlerBase() = default;

    virtual void startElement(const std::u16string& name, const XMLAttributes& attributes) {
        (void)name;
        (void)attributes;
    }
    virtual void endElement(const std::u16string& name) { (void)name; }
    // Once per text child of the element called name: the text between two pieces of markup
    // (tags, comments, processing instructions), and each CDATA section on its own. Text made
    // only of white space between markup is not a child and is not delivered.
    virtual void text(const std::u16string& name, const std::u16string& text) {
        (void)name;
        (void)text;
    }
    // Once at the end of every parse call, with what the call returns. Events are delivered
    // while the document is read, so a document that fails late (a syntax error, a cut-off
    // download) has already delivered the events before the fault: on false, a consumer
    // drops whatever those events gathered, so that a document that does not parse leaves
    // nothing behind.
    virtual void endDocument(bool parsed) { (void)parsed; }

    // Parses the stream from its current position to its end, reading it in bounded chunks.
    // False when the stream cannot be read or the document does not parse; events up to the
    // fault may have been delivered (see endDocument). A NUL byte ends the document.
    //
    // What is accepted: well-formed XML, in the narrow code page whatever the declaration
    // says (a UTF-8 byte order mark is skipped), with two leniencies that hand-written files
    // rely on: an '&' that does not start one of the five predefined references or a
    // character reference is an ordinary character ("a.php?x=1&y=2"), and several top-level
    // elements follow one another. Refused: a document type declaration with an internal
    // subset (its entities and attribute defaults are never applied), a character reference
    // to a character XML forbids ("&#0;": a name is never cut short at it), elements nested
    // deeper than 100, a text child longer than 1 MiB, and a tag or comment still unfinished
    // after more than 1 MiB (those of up to 1 MiB always pass; a little longer may pass).
    bool parse(Stream& stream);
    // With lookInData the path is opened through File::openInData (under "..\data\", then
    // inside the packs); otherwise exactly as given. False when it does not open or parse
    // (endDocument(false) either way).
    bool parseFile(std::u16string_view path, bool lookInData = true);
    // The document's bytes, in the narrow code page; they need no terminating zero.
    bool parseBytes(std::string_view bytes);
};

// A consumer T (deriving from XMLHandler<T>) registers member functions by element name in
// its constructor; names match exactly, and elements without a handler are ignored.
template <class T>
class XMLHandler : public XMLHandlerBase {
public:
    using StartHandler = void (T::*)(const XMLAttributes&);
    using EndHandler = void (T::*)();
    using TextHandler = void (T::*)(const std::u16string&);

    void startElement(const std::u16string& name, const XMLAttributes& attributes) override {
        if (auto it = startHandlers_.find(name); it != startHandlers_.end()) {
            (static_cast<T*>(this)->*(it->second))(attributes);
        }
    }
    void endElement(const std::u16string& name) override {
        if (auto it = endHandlers_.find(name); it != endHandlers_.end()) {
            (static_cast<T*>(this)->*(it->second))();
        }
    }
    void text(const std::u16string& name, const std::u16string& text) override {
        if (auto it = textHandlers_.find(name); it != textHandlers_.end()) {
            (static_cast<T*>(this)->*(it->second))(text);
        }
    }

protected:
    void onStart(std::u16string name, StartHandler handler) {
        startHandlers_[std::move(name)] = handler;
    }
    void onEnd(std::u16string name, EndHandler handler) { endHandlers_[std::move(name)] = handler; }
    void onText(std::u16string name, TextHandler handler) {
        textHandlers_[std::move(name)] = handler;
    }

private:
    std::unordered_map<std::u16string, StartHandler> startHandlers_;
    std::unordered_map<std::u16string, EndHandler> endHandlers_;
    std::unordered_map<std::u16string, TextHandler> textHandlers_;
};

}  // namespace lume
