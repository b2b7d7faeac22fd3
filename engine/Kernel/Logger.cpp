#include "engine/Kernel/Logger.h"

namespace lume {

void Logger::write(int level, std::u16string_view text) {
    Logger* logger = instance();
    if (logger != nullptr && logger->writer() != nullptr) {
        logger->writer()->write(level, text);
    }
}

void Logger::write(int level, std::string_view text) {
    Logger* logger = instance();
    if (logger != nullptr && logger->writer() != nullptr) {
        logger->writer()->write(level, text);
    }
}

}  // namespace lume
