// The message trace of both launchers: every message the updater posts, one JSON
// object per line, {"msg":6030,"wParam":3,"lParam":0,"text":"..."} (text only for 6030).
#pragma once

#include <cstdio>
#include <string>

#include "engine/Kernel/MessageTarget.h"

namespace lume {

class Updater;

// One message as its JSON line (without the line feed). text is UTF-16 and is written as
// UTF-8 with JSON escapes.
std::string traceLine(const PostedMessage& message, const std::u16string* text);

class Trace {
public:
    // "-" writes to standard output; any other text names a file, created anew.
    bool open(const std::string& destination);
    ~Trace();
    bool isOpen() const { return out_ != nullptr; }
    // Called on the thread that drains the window queue.
    void record(const PostedMessage& message, Updater& updater);

private:
    std::FILE* out_ = nullptr;
    bool ownsFile_ = false;
};

}  // namespace lume
