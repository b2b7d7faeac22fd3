#include "update/ReleaseManifest.h"

#include <charconv>
#include <vector>

namespace lume {

namespace {

constexpr std::string_view kHeader = "lume-release-manifest 1";

template <class T>
bool readNumber(std::string_view text, T& value) {
    if (text.empty() || (text.size() > 1 && text[0] == '0')) {
        return false;
    }
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size();
}

// "key value" with exactly one space; the value is the rest of the line.
bool field(std::string_view line, std::string_view key, std::string_view& value) {
    if (line.size() <= key.size() + 1 || line.substr(0, key.size()) != key ||
        line[key.size()] != ' ') {
        return false;
    }
    value = line.substr(key.size() + 1);
    return true;
}

bool validPath(std::string_view path) {
    if (path.empty()) {
        return false;
    }
    for (char c : path) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            return false;
        }
    }
    return true;
}

}  // namespace

const ManifestFile* ReleaseManifest::find(std::string_view path) const {
    const auto found = files.find(path);
    return found == files.end() ? nullptr : &found->second;
}

std::string ReleaseManifest::text() const {
    std::string out(kHeader);
    out += "\nversion " + std::to_string(version) + "\nexpires " + std::to_string(expires) + "\n";
    for (const auto& [path, file] : files) {
        out += "file " + std::to_string(file.size) + " " + toHex(file.sha256) + " " + path + "\n";
    }
    return out;
}

bool ReleaseManifest::parse(std::string_view text, ReleaseManifest& manifest, std::string& error) {
    manifest = ReleaseManifest();
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        if (end == std::string_view::npos) {
            error = "the last line has no line feed";
            return false;
        }
        lines.push_back(text.substr(0, end));
        text.remove_prefix(end + 1);
    }
    std::string_view value;
    if (lines.size() < 3 || lines[0] != kHeader) {
        error = "not a release manifest of version 1";
        return false;
    }
    if (!field(lines[1], "version", value) || !readNumber(value, manifest.version)) {
        error = "no valid version";
        return false;
    }
    if (!field(lines[2], "expires", value) || !readNumber(value, manifest.expires)) {
        error = "no valid expiry";
        return false;
    }
    for (size_t i = 3; i < lines.size(); ++i) {
        error = "line " + std::to_string(i + 1) + " is not a valid file line";
        if (!field(lines[i], "file", value)) {
            return false;
        }
        const size_t sizeEnd = value.find(' ');
        ManifestFile file;
        if (sizeEnd == std::string_view::npos || !readNumber(value.substr(0, sizeEnd), file.size)) {
            return false;
        }
        value.remove_prefix(sizeEnd + 1);
        if (value.size() < 66 || value[64] != ' ' || !fromHex(value.substr(0, 64), file.sha256)) {
            return false;
        }
        const std::string_view path = value.substr(65);
        if (!validPath(path)) {
            return false;
        }
        if (!manifest.files.emplace(std::string(path), file).second) {
            error = "the path " + std::string(path) + " is listed twice";
            return false;
        }
    }
    error.clear();
    return true;
}

}  // namespace lume
