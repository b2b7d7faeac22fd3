#include "launcher/core/ControlPostionConfig.h"

#include <optional>
#include <utility>

namespace lume {

namespace {

// "x,y" -> two base-10 integers; anything but exactly two parts is refused.
std::optional<std::pair<int32_t, int32_t>> splitPair(const std::u16string& text) {
    const size_t comma = text.find(u',');
    if (comma == std::u16string::npos || text.find(u',', comma + 1) != std::u16string::npos) {
        return std::nullopt;
    }
    return std::make_pair(XMLAttributes::parseInt(text.substr(0, comma)),
                          XMLAttributes::parseInt(text.substr(comma + 1)));
}

}  // namespace

ControlPostionConfig::ControlPostionConfig() {
    onStart(u"Controls", &ControlPostionConfig::onControls);
    onStart(u"Control", &ControlPostionConfig::onControl);
    onStart(u"Url", &ControlPostionConfig::onUrl);
}

bool ControlPostionConfig::load(std::u16string_view path) {
    return parseFile(path, false);
}

void ControlPostionConfig::endDocument(bool parsed) {
    if (!parsed) {
        controls_.clear();
        pages_.clear();
    }
}

void ControlPostionConfig::onControls(const XMLAttributes&) {
    controls_.clear();
}

void ControlPostionConfig::onControl(const XMLAttributes& a) {
    const auto pos = splitPair(a.readString(u"pos", u"0,0"));
    const auto size = splitPair(a.readString(u"size", u"0,0"));
    if (!pos || !size) {
        return;
    }
    Control c;
    c.x = pos->first;
    c.y = pos->second;
    c.width = size->first;
    c.height = size->second;
    c.prompt = a.readString(u"prompt");
    controls_[a.readString(u"name")] = std::move(c);
}

void ControlPostionConfig::onUrl(const XMLAttributes& a) {
    pages_[a.readString(u"name")] = a.readString(u"url");
}

LayoutRect ControlPostionConfig::rectangle(const std::u16string& name) const {
    auto it = controls_.find(name);
    if (it == controls_.end()) {
        return {};
    }
    const Control& c = it->second;
    return {c.x, c.y, c.x + c.width, c.y + c.height};
}

std::u16string ControlPostionConfig::prompt(const std::u16string& name) const {
    auto it = controls_.find(name);
    return it == controls_.end() ? std::u16string() : it->second.prompt;
}

std::u16string ControlPostionConfig::pageAddress(const std::u16string& name) const {
    auto it = pages_.find(name);
    return it == pages_.end() ? std::u16string() : it->second;
}

}  // namespace lume
