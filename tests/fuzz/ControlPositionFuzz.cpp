// bin\controlPosition.xml, the launcher window's layout file, loaded and asked.
#include "launcher/core/ControlPostionConfig.h"
#include "tests/fuzz/FuzzSupport.h"

using namespace lume;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::enterScratch();
    fuzz::writeFile("bin/controlPosition.xml", fuzz::asText(data, size));
    ControlPostionConfig layout;
    layout.load(u"bin\\controlPosition.xml");
    static_cast<void>(layout.rectangle(u"CLOSE_BUTTON"));
    static_cast<void>(layout.prompt(u"TIP1"));
    static_cast<void>(layout.pageAddress(u"NEWS"));
    return 0;
}
