#include "common/format.h"

#include <cstdio>

namespace korvad {

std::string vformat_text(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    char small[256];
    int needed = std::vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (needed < 0) return std::string();
    if (static_cast<std::size_t>(needed) < sizeof small) return std::string(small, needed);
    std::string text(static_cast<std::size_t>(needed), '\0');
    std::vsnprintf(text.data(), text.size() + 1, format, args);
    return text;
}

std::string format_text(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = vformat_text(format, args);
    va_end(args);
    return text;
}

std::size_t vformat_into(char* buffer, std::size_t size, const char* format, va_list args) {
    if (size == 0) return 0;
    int n = std::vsnprintf(buffer, size, format, args);
    if (n < 0) {
        buffer[0] = '\0';
        return 0;
    }
    return static_cast<std::size_t>(n) < size ? static_cast<std::size_t>(n) : size - 1;
}

std::size_t format_into(char* buffer, std::size_t size, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::size_t n = vformat_into(buffer, size, format, args);
    va_end(args);
    return n;
}

bool print_to(std::FILE* stream, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int n = std::vfprintf(stream, format, args);
    va_end(args);
    return n >= 0 && std::fflush(stream) == 0;
}

}  // namespace korvad
