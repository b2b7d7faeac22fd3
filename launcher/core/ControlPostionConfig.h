// The skin's layout, read once from bin\controlPosition.xml: the rectangle and initial text
// of every control by name, and the web page addresses by name. Read-only once loaded;
// unknown names give empty rectangles and texts.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "engine/Kernel/Singleton.h"
#include "engine/Xml/XMLHandler.h"

namespace lume {

struct LayoutRect {
    int32_t left = 0;
    int32_t top = 0;
    int32_t right = 0;
    int32_t bottom = 0;
    bool operator==(const LayoutRect&) const = default;
};

class ControlPostionConfig : public XMLHandler<ControlPostionConfig>,
                             public Singleton<ControlPostionConfig> {
public:
    static constexpr char16_t kPath[] = u"bin\\controlPosition.xml";

    ControlPostionConfig();
    ~ControlPostionConfig() override { withdrawInstance(); }

    // Opens the path exactly as given (no data directory, no packs). A missing or broken
    // file leaves the tables empty.
    bool load(std::u16string_view path = kPath);
    // A document that does not parse leaves nothing of what it delivered.
    void endDocument(bool parsed) override;

    LayoutRect rectangle(const std::u16string& name) const;
    std::u16string prompt(const std::u16string& name) const;
    std::u16string pageAddress(const std::u16string& name) const;

private:
    struct Control {
        int32_t x = 0, y = 0, width = 0, height = 0;
        std::u16string prompt;
    };
    void onControls(const XMLAttributes&);
    void onControl(const XMLAttributes& a);
    void onUrl(const XMLAttributes& a);

    std::map<std::u16string, Control> controls_;
    std::map<std::u16string, std::u16string> pages_;
};

}  // namespace lume
