// The XML layer: the events for sample documents (tests/data/xml/*.xml against their .events
// traces: a document that does not parse lists the events delivered before its fault), read
// whole and one byte at a time, the attribute readers' number and boolean rules, and documents
// that must be refused. (Where a file is looked for: File::openInData in StreamTest.)
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/FileSystem/MemoryStream.h"
#include "engine/Xml/XMLHandler.h"
#include "platform/Text.h"
#include "tests/update/UpdateTestData.h"

namespace lume {
namespace {

namespace fs = std::filesystem;

using test::utf8;

// Writes every event as one line: "start name a="v"", "text name "t"", "end name".
class Recorder : public XMLHandlerBase {
public:
    void startElement(const std::u16string& name, const XMLAttributes& attributes) override {
        std::vector<std::pair<std::u16string, std::u16string>> sorted;
        attributes.forEach(
            [&](const std::u16string& n, const std::u16string& v) { sorted.emplace_back(n, v); });
        std::sort(sorted.begin(), sorted.end());
        trace.append("start ").append(utf8(name));
        for (const auto& [n, v] : sorted) {
            trace.append(" ").append(utf8(n)).append("=\"").append(utf8(v)).append("\"");
        }
        trace += "\n";
    }
    void endElement(const std::u16string& name) override {
        trace.append("end ").append(utf8(name)).append("\n");
    }
    void text(const std::u16string& name, const std::u16string& text) override {
        trace.append("text ").append(utf8(name)).append(" \"").append(utf8(text)).append("\"\n");
    }

    std::string trace;
};

// Hands out one byte per read, so that the parser's chunks end at every place once.
struct Trickle : MemoryStream {
    using MemoryStream::MemoryStream;
    bool read(void* buffer, uint32_t, uint32_t* count) override {
        return MemoryStream::read(buffer, 1, count);
    }
};

TEST(XMLWalk, SampleDocumentsStreamsAndDocumentsRefusedWhole) {
    int cases = 0;
    for (const auto& item : fs::directory_iterator(fs::path(LUME_TEST_DATA_DIR) / "xml")) {
        if (item.path().extension() == ".xml") {
            Recorder r;
            const bool parsed = r.parseFile(platform::utf8ToWide(item.path().string()), false);
            EXPECT_EQ(parsed ? r.trace : "parse error\n" + r.trace,
                      test::sample("xml/" + item.path().stem().string() + ".events"))
                << item.path().filename();
            const std::string bytes = test::readBytes(item.path());
            Trickle trickle(static_cast<uint32_t>(bytes.size()) + 1);
            ASSERT_TRUE(trickle.write(bytes.data(), static_cast<uint32_t>(bytes.size())) &&
                        trickle.seek(0));
            Recorder slow;
            EXPECT_EQ(slow.parse(trickle), parsed) << item.path().filename();
            EXPECT_EQ(slow.trace, r.trace) << item.path().filename();
            ++cases;
        }
    }
    EXPECT_GE(cases, 14);
    const std::string doc = "<a><b k=\"v\"/>t</a>";
    MemoryStream stream(64);
    ASSERT_TRUE(stream.write(doc.data(), static_cast<uint32_t>(doc.size())) && stream.seek(0));
    Recorder fromStream, cut;
    ASSERT_TRUE(fromStream.parse(stream));
    EXPECT_EQ(fromStream.trace, "start a\nstart b k=\"v\"\nend b\ntext a \"t\"\nend a\n");
    // Bytes after a terminating zero are never seen: the document ends there.
    EXPECT_TRUE(cut.parseBytes(std::string("<a/>\0<b/>", 9)));
    EXPECT_EQ(cut.trace, "start a\nend a\n");
    // Too deep, a tag or text too long to hold, junk, a document type that could declare
    // entities or attribute defaults, a NUL reference that would cut the name: refused.
    auto nested = [](size_t depth) {
        std::string open, close;
        for (size_t i = 0; i < depth; ++i) {
            open += "<f>";
            close += "</f>";
        }
        return open + close;
    };
    Recorder shallow;
    ASSERT_TRUE(shallow.parseBytes(nested(90)));
    EXPECT_EQ(std::count(shallow.trace.begin(), shallow.trace.end(), '\n'), 180);
    std::string junk;
    for (int i = 0; i < 4096; ++i) {
        junk.push_back(static_cast<char>((i * 151 + 7) & 0xFF));
    }
    const std::string huge(2 << 20, 'x');
    for (const std::string& bad :
         {nested(5000), nested(200000), junk, "<a v=\"" + huge + "\"/>", "<a>" + huge + "</a>",
          std::string("<!DOCTYPE a [<!ATTLIST a d CDATA 'x'>]><a/>"),
          std::string("<f n=\"evil&#0;.dll\"/>")}) {
        Recorder r;
        EXPECT_FALSE(r.parseBytes(bad)) << bad.substr(0, 60);
    }
}

TEST(XMLAttributes, NumberBooleanAndNameRules) {
    // The attribute text, then what the signed, unsigned and hexadecimal readers give.
    const std::tuple<std::u16string, int32_t, uint32_t, uint32_t> numbers[] = {
        {u"42", 42, 42, 0x42},
        {u"  \t\r\n+17", 17, 17, 0x17},
        {u"-1", -1, 0xFFFFFFFFu, 0xFFFFFFFFu},
        {u"2147483647", 2147483647, 2147483647u, 0},
        {u"2147483648", 0, 2147483648u, 0},
        {u"-2147483648", INT32_MIN, 2147483648u, 0},
        {u"-2147483649", 0, 2147483647u, 0},
        {u"4294967295", 0, 4294967295u, 0},
        {u"99999999999999999999999999999999999999", 0, 0, 0},
        {u"12abc", 12, 12, 0x12ABC},
        {u"ffffffff", 0, 0, 0xFFFFFFFFu},
        {u"FfFfFfFf0", 0, 0, 0},
        {u"0x1F", 0, 0, 0x1F},
        {u"0xg", 0, 0, 0},
        {u"-0x10", 0, 0, 0xFFFFFFF0u},
        {u"", 0, 0, 0},
        {u"--1", 0, 0, 0},
        {u"abc", 0, 0, 0xABC},
        {u"1.9", 1, 1, 1},
        {u"1e5", 1, 1, 0x1E5},
        {u"\u00A05", 0, 0, 0},       // only ASCII white space is skipped
        {u"\uFF11\uFF12", 0, 0, 0},  // full-width digits are not digits
        {u"7\u4E2D", 7, 7, 7}};      // non-ASCII ends the digits
    for (const auto& [text, asInt, asUInt, asHex] : numbers) {
        XMLAttributes a;
        a.add(u"n", text);
        EXPECT_EQ(a.readInt(u"n", 555), asInt) << utf8(text);
        EXPECT_EQ(a.readUInt(u"n", 555), asUInt) << utf8(text);
        EXPECT_EQ(a.readHex(u"n"), asHex) << utf8(text);
    }
    // Absent: the defaults (the hexadecimal reader has none: 0). Present booleans follow the
    // kernel's text rule. Names are case-sensitive; the first of two equal names is kept.
    XMLAttributes a;
    EXPECT_EQ(std::tuple(a.readInt(u"n", -7), a.readUInt(u"n", 9), a.readHex(u"n"),
                         a.readString(u"n", u"dflt")),
              std::tuple(-7, 9u, 0u, u"dflt"));
    a.add(u"empty", u"");
    a.add(u"yes", u"yes");
    a.add(u"shi", u"是");
    a.add(u"Key", u"upper");
    a.add(u"Key", u"again");
    EXPECT_TRUE(a.readBool(u"empty", false) && a.readBool(u"shi", false));
    EXPECT_FALSE(a.readBool(u"yes", true) || a.readBool(u"absent", false));
    EXPECT_TRUE(a.readBool(u"absent", true));
    EXPECT_EQ(a.readString(u"Key"), u"upper");
    EXPECT_FALSE(a.has(u"key") || a.has(u"n"));
}

}  // namespace
}  // namespace lume
