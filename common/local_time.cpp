#include "common/local_time.h"

namespace korvad {

std::string local_time_text(std::time_t t, const char* pattern) {
    std::tm local{};
    if (localtime_r(&t, &local) == nullptr) return {};
    char text[128];
    // The pattern is checked at every call site (the declaration's format
    // attribute); here it is passed on.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    std::size_t length = std::strftime(text, sizeof text, pattern, &local);
#pragma GCC diagnostic pop
    return std::string(text, length);
}

}  // namespace korvad
