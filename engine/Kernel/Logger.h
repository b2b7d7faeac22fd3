// The run's log: a process-wide Logger forwards formatted lines to its writer, which keeps
// the ones whose level is at or below its threshold. The seven entry points below each
// carry a fixed level; while no Logger exists they do nothing.
#pragma once

#include <string>
#include <string_view>

#include "engine/Kernel/Format.h"
#include "engine/Kernel/Singleton.h"

namespace lume {

class Logger : public Singleton<Logger> {
public:
    class Writter {
    public:
        virtual ~Writter() = default;
        // Called on any thread.
        virtual void write(int level, std::u16string_view text) = 0;
        // Narrow text in the narrow code page. Called on any thread.
        virtual void write(int level, std::string_view text) = 0;
    };

    explicit Logger(Writter* writer) : writer_(writer) {}
    ~Logger() override { withdrawInstance(); }

    Writter* writer() const { return writer_; }

    // Sends a finished line to the current logger's writer, if there is one.
    static void write(int level, std::u16string_view text);
    static void write(int level, std::string_view text);

private:
    Writter* writer_;
};

namespace detail {
template <class... A>
void logWide(int level, std::u16string_view pattern, const A&... args) {
    if (Logger::instance() == nullptr) {
        return;
    }
    Logger::write(level, formatW(pattern, args...));
}
template <class... A>
void logNarrow(int level, std::string_view utf8Pattern, const A&... args) {
    if (Logger::instance() == nullptr) {
        return;
    }
    Logger::write(level, formatA(utf8Pattern, args...));
}
}  // namespace detail

// Narrow entry points take UTF-8 patterns (source literals) and narrow code-page arguments.
template <class... A>
void logA_2(std::string_view pattern, const A&... args) {
    detail::logNarrow(2, pattern, args...);
}
template <class... A>
void logA_1(std::string_view pattern, const A&... args) {
    detail::logNarrow(1, pattern, args...);
}
template <class... A>
void logA_0(std::string_view pattern, const A&... args) {
    detail::logNarrow(0, pattern, args...);
}
template <class... A>
void logA_m1(std::string_view pattern, const A&... args) {
    detail::logNarrow(-1, pattern, args...);
}
template <class... A>
void logW_1(std::u16string_view pattern, const A&... args) {
    detail::logWide(1, pattern, args...);
}
template <class... A>
void logW_0(std::u16string_view pattern, const A&... args) {
    detail::logWide(0, pattern, args...);
}
template <class... A>
void logW_m1(std::u16string_view pattern, const A&... args) {
    detail::logWide(-1, pattern, args...);
}

}  // namespace lume
