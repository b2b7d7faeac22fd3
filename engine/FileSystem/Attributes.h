// The launcher's command-line settings: one argument of "|"-separated key=value items
// ("log=1|url=...|backurl=..."), kept as a key/value map.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace lume {

class Attributes {
public:
    // Reads the arguments after the program name. Only a command line of exactly one
    // argument carries settings; of its items only those with exactly one '=' are kept,
    // and a key given twice keeps its last value.
    void parseCommandLine(const std::vector<std::u16string>& arguments);

    bool has(std::u16string_view key) const;
    // The value of key, or the empty text when it is absent.
    std::u16string value(std::u16string_view key) const;
    size_t size() const { return values_.size(); }

private:
    std::map<std::u16string, std::u16string, std::less<>> values_;
};

}  // namespace lume
