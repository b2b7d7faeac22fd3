#include "launcher/core/Trace.h"

#include "platform/Text.h"
#include "update/Messages.h"
#include "update/Updater.h"

namespace lume {

namespace {

void appendJsonString(std::string& out, const std::string& utf8) {
    static const char* const kHex = "0123456789abcdef";
    out.push_back('"');
    for (unsigned char c : utf8) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20) {
                    out += "\\u00";
                    out.push_back(kHex[c >> 4]);
                    out.push_back(kHex[c & 0xF]);
                } else {
                    out.push_back(static_cast<char>(c));
                }
        }
    }
    out.push_back('"');
}

}  // namespace

std::string traceLine(const PostedMessage& message, const std::u16string* text) {
    std::string line = "{\"msg\":" + std::to_string(message.message) +
                       ",\"wParam\":" + std::to_string(message.wParam) +
                       ",\"lParam\":" + std::to_string(message.lParam);
    if (text != nullptr) {
        line += ",\"text\":";
        appendJsonString(line, platform::wideToUtf8(*text));
    }
    line += "}";
    return line;
}

bool Trace::open(const std::string& destination) {
    if (destination == "-") {
        out_ = stdout;
        ownsFile_ = false;
        return true;
    }
    out_ = std::fopen(destination.c_str(), "wb");
    ownsFile_ = out_ != nullptr;
    return out_ != nullptr;
}

Trace::~Trace() {
    if (ownsFile_ && out_ != nullptr) {
        std::fclose(out_);
    }
}

void Trace::record(const PostedMessage& message, Updater& updater) {
    if (out_ == nullptr) {
        return;
    }
    std::string line;
    if (message.message == kMsgText) {
        const std::u16string text = updater.text(message.wParam);
        line = traceLine(message, &text);
    } else {
        line = traceLine(message, nullptr);
    }
    line += "\n";
    std::fwrite(line.data(), 1, line.size(), out_);
    std::fflush(out_);
}

}  // namespace lume
