#include "platform/PeVersion.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/support/PeImage.h"
#include "tests/support/Sandbox.h"

namespace {

using lume::test::PeImage;
using platform::FileVersion;

std::optional<FileVersion> versionOf(const std::string& bytes) {
    lume::test::Sandbox box;
    box.writeFile("a.exe", bytes);
    return platform::readFileVersion(u"a.exe");
}

TEST(PeVersion, ReadsTheFixedFileVersionOfBothFormats) {
    EXPECT_EQ(versionOf(PeImage::build(0x00020001, 0x00040003)),
              (FileVersion{0x00020001, 0x00040003}));
    EXPECT_EQ(versionOf(PeImage::build(7, 0xFFFFFFFF, true)), (FileVersion{7, 0xFFFFFFFF}));
}

TEST(PeVersion, FilesWithoutAReadableVersionHaveNone) {
    const uint32_t rsrc = PeImage::kRaw;
    const std::vector<std::pair<const char*, std::function<void(std::string&)>>> damage = {
        {"PE header past the end", [](std::string& b) { PeImage::put32(b, 0x3C, 0xFFFFFFF0u); }},
        {"resource outside every section", [](std::string& b) { PeImage::put32(b, 0xC8, 0x9000); }},
        {"icons only", [=](std::string& b) { PeImage::put32(b, rsrc + PeImage::kTypeEntry, 3); }},
        {"subdirectory past the section",
         [=](std::string& b) { PeImage::put32(b, rsrc + PeImage::kTypeEntry + 4, 0x8000FFF0u); }},
        {"entry count past the section",
         [=](std::string& b) { PeImage::put16(b, rsrc + PeImage::kNameDir + 14, 0xFFFF); }},
        {"data outside every section",
         [=](std::string& b) { PeImage::put32(b, rsrc + PeImage::kDataEntry, 0x7000); }},
        {"value too short",
         [=](std::string& b) { PeImage::put16(b, rsrc + PeImage::kVersionBlock + 2, 40); }},
        {"no signature",
         [=](std::string& b) { PeImage::put32(b, rsrc + PeImage::kVersionBlock + 40, 0); }},
    };
    for (const auto& [name, change] : damage) {
        std::string bytes = PeImage::build(1, 2);
        change(bytes);
        EXPECT_FALSE(versionOf(bytes).has_value()) << name;
    }
    EXPECT_FALSE(versionOf(PeImage::build(1, 2).substr(0, PeImage::kRaw + 100)).has_value());
    EXPECT_FALSE(versionOf("#!/bin/sh\necho client 1\n").has_value());
    EXPECT_FALSE(platform::readFileVersion(u"missing.exe").has_value());
}

}  // namespace
