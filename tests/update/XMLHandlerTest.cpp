// The XML layer: the walk's events for sample documents (tests/data/xml/*.xml against their
// .events traces), the attribute readers' number and boolean rules, where a file is looked
// for, and documents that must be refused whole.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/FileSystem/File.h"
#include "engine/FileSystem/MemoryStream.h"
#include "engine/Xml/XMLHandler.h"
#include "platform/Text.h"
#include "tests/support/Sandbox.h"
#include "tests/update/ListTestData.h"

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

TEST(XMLWalk, SampleDocumentsGiveTheirEventTraces) {
    const fs::path dir = test::dataPath("xml");
    int cases = 0;
    for (const auto& item : fs::directory_iterator(dir)) {
        if (item.path().extension() != ".xml") {
            continue;
        }
        fs::path expectedPath = item.path();
        expectedPath.replace_extension(".events");
        ASSERT_TRUE(fs::exists(expectedPath)) << expectedPath;
        const std::string expected = test::sampleBytes(expectedPath);

        Recorder recorder;
        const bool parsed = recorder.parseFile(platform::utf8ToWide(item.path().string()), false);
        const std::string got = parsed ? recorder.trace : "parse error\n" + recorder.trace;
        EXPECT_EQ(got, expected) << item.path().filename();
        ++cases;
    }
    EXPECT_GE(cases, 14);
}

TEST(XMLWalk, StreamsAreParsedFromTheirBytes) {
    const std::string doc = "<a><b k=\"v\"/>t</a>";
    MemoryStream stream(64);
    ASSERT_TRUE(stream.write(doc.data(), static_cast<uint32_t>(doc.size())));
    ASSERT_TRUE(stream.seek(0));
    Recorder recorder;
    ASSERT_TRUE(recorder.parse(stream));
    EXPECT_EQ(recorder.trace, "start a\nstart b k=\"v\"\nend b\ntext a \"t\"\nend a\n");
    // Bytes after a terminating zero are never seen: the document ends there.
    Recorder cut;
    EXPECT_TRUE(cut.parseBytes(std::string("<a/>\0<b/>", 9)));
    EXPECT_EQ(cut.trace, "start a\nend a\n");
}

TEST(XMLWalk, DeepAndJunkDocumentsNeverCrash) {
    auto nested = [](int depth) {
        std::string s;
        for (int i = 0; i < depth; ++i) {
            s += "<f n=\"" + std::to_string(i) + "\">";
        }
        for (int i = 0; i < depth; ++i) {
            s += "</f>";
        }
        return s;
    };
    Recorder shallow;
    ASSERT_TRUE(shallow.parseBytes(nested(90)));
    EXPECT_EQ(std::count(shallow.trace.begin(), shallow.trace.end(), '\n'), 180);
    EXPECT_EQ(shallow.trace.substr(shallow.trace.size() - 6), "end f\n");

    for (int depth : {5000, 200000}) {
        Recorder deep;
        EXPECT_FALSE(deep.parseBytes(nested(depth))) << depth;
        EXPECT_EQ(deep.trace, "");
    }
    std::string junk;
    for (int i = 0; i < 4096; ++i) {
        junk.push_back(static_cast<char>((i * 151 + 7) & 0xFF));
    }
    Recorder noise;
    EXPECT_FALSE(noise.parseBytes(junk));
    EXPECT_EQ(noise.trace, "");
}

class Lookup : public ::testing::Test {
protected:
    // The working directory is game/, so "..\data\" is data/ beside it.
    void SetUp() override {
        box.writeFile("game/bin/list.xml", "<where is=\"game\"/>");
        box.writeFile("data/bin/list.xml", "<where is=\"data\"/>");
        fs::current_path(fs::path(box.path()) / "game");
    }
    void TearDown() override { File::setPackFallback(nullptr); }

    static std::string where(std::u16string_view path, bool lookInData) {
        Recorder r;
        if (!r.parseFile(path, lookInData)) {
            return "none";
        }
        return r.trace;
    }

    test::Sandbox box;
};

std::unique_ptr<Stream> packedList(std::u16string_view path, int) {
    if (path != u"bin\\packed.xml") {
        return nullptr;
    }
    static const std::string doc = "<where is=\"pack\"/>";
    auto stream = std::make_unique<MemoryStream>(static_cast<uint32_t>(doc.size()));
    stream->write(doc.data(), static_cast<uint32_t>(doc.size()));
    stream->seek(0);
    return stream;
}

TEST_F(Lookup, DataDirectoryThenPacksOrThePathAsGiven) {
    File::setPackFallback(&packedList);
    EXPECT_EQ(where(u"bin\\list.xml", true), "start where is=\"data\"\nend where\n");
    EXPECT_EQ(where(u"bin\\list.xml", false), "start where is=\"game\"\nend where\n");
    EXPECT_EQ(where(u"bin\\packed.xml", true), "start where is=\"pack\"\nend where\n");
    // Asked for the path unchanged, the packs are not consulted either.
    EXPECT_EQ(where(u"bin\\packed.xml", false), "none");
    EXPECT_EQ(where(u"bin\\missing.xml", true), "none");
    EXPECT_EQ(where(u"bin", false), "none");  // a directory
}

// Each row: attribute text, then what the signed, unsigned and hexadecimal readers give.
struct NumberCase {
    std::u16string text;
    int32_t asInt;
    uint32_t asUInt;
    uint32_t asHex;
};

TEST(XMLAttributes, NumberRules) {
    const NumberCase cases[] = {
        {u"42", 42, 42, 0x42},
        {u"  \t\r\n+17", 17, 17, 0x17},
        {u"-1", -1, 0xFFFFFFFFu, 0xFFFFFFFFu},
        {u"2147483647", 2147483647, 2147483647u, 0},
        {u"2147483648", 0, 2147483648u, 0},
        {u"-2147483648", INT32_MIN, 2147483648u, 0},
        {u"-2147483649", 0, 2147483647u, 0},
        {u"4294967295", 0, 4294967295u, 0},
        {u"4294967296", 0, 0, 0},
        {u"99999999999999999999999999999999999999", 0, 0, 0},
        {u"12abc", 12, 12, 0x12ABC},
        {u"ffffffff", 0, 0, 0xFFFFFFFFu},
        {u"FfFfFfFf0", 0, 0, 0},
        {u"0x1F", 0, 0, 0x1F},
        {u"0x", 0, 0, 0},
        {u"0xg", 0, 0, 0},
        {u"-0x10", 0, 0, 0xFFFFFFF0u},
        {u"", 0, 0, 0},
        {u"+", 0, 0, 0},
        {u"--1", 0, 0, 0},
        {u"abc", 0, 0, 0xABC},
        {u"1.9", 1, 1, 1},
        {u"1e5", 1, 1, 0x1E5},
        {u"\u00A05", 0, 0, 0},       // only ASCII white space is skipped
        {u"\uFF11\uFF12", 0, 0, 0},  // full-width digits are not digits
        {u"7\u4E2D", 7, 7, 7},       // non-ASCII ends the digits
    };
    for (const NumberCase& c : cases) {
        XMLAttributes a;
        a.add(u"n", c.text);
        EXPECT_EQ(a.readInt(u"n", 555), c.asInt) << utf8(c.text);
        EXPECT_EQ(a.readUInt(u"n", 555), c.asUInt) << utf8(c.text);
        EXPECT_EQ(a.readHex(u"n"), c.asHex) << utf8(c.text);
    }
    // Absent: the defaults; the hexadecimal reader has none and gives 0.
    XMLAttributes none;
    EXPECT_EQ(none.readInt(u"n", -7), -7);
    EXPECT_EQ(none.readUInt(u"n", 9), 9u);
    EXPECT_EQ(none.readHex(u"n"), 0u);
    EXPECT_EQ(none.readString(u"n", u"dflt"), u"dflt");
    EXPECT_FALSE(none.has(u"n"));
}

TEST(XMLAttributes, BooleansAndNamesAreExact) {
    // The boolean text rule itself is the kernel's; here: present values go through it,
    // absent ones give the default.
    XMLAttributes a;
    a.add(u"empty", u"");
    a.add(u"yes", u"yes");
    a.add(u"shi", u"是");
    EXPECT_TRUE(a.readBool(u"empty", false));
    EXPECT_FALSE(a.readBool(u"yes", true));
    EXPECT_TRUE(a.readBool(u"shi", false));
    EXPECT_TRUE(a.readBool(u"absent", true));
    EXPECT_FALSE(a.readBool(u"absent", false));
    // Names are case-sensitive; the first of two equal names is kept.
    a.add(u"Key", u"upper");
    a.add(u"Key", u"again");
    EXPECT_EQ(a.readString(u"Key"), u"upper");
    EXPECT_FALSE(a.has(u"key"));
}

// A consumer with registered handlers: only exact names reach them.
class Consumer : public XMLHandler<Consumer> {
public:
    Consumer() {
        onStart(u"item", &Consumer::startItem);
        onEnd(u"item", &Consumer::endItem);
        onText(u"note", &Consumer::noteText);
    }
    void startItem(const XMLAttributes& a) { log.append("<").append(utf8(a.readString(u"id"))); }
    void endItem() { log += ">"; }
    void noteText(const std::u16string& t) { log.append("[").append(utf8(t)).append("]"); }

    std::string log;
};

TEST(XMLHandler, DispatchesByExactElementName) {
    Consumer c;
    ASSERT_TRUE(c.parseBytes(
        "<root><item id=\"1\"><Item id=\"x\"/><note>n1</note></item>"
        "<other><item id=\"2\">ignored text</item></other><NOTE>no</NOTE><note>n2</note></root>"));
    EXPECT_EQ(c.log, "<1[n1]><2>[n2]");
}

}  // namespace
}  // namespace lume
