#include "message/message.h"

#include <cstring>

namespace korvad {

std::unique_ptr<Message> make_message() {
    return std::make_unique<Message>();
}

void set_field(char* field, std::size_t size, std::string_view text) {
    if (size == 0) return;
    std::size_t length = text.find('\0');
    if (length == std::string_view::npos) length = text.size();
    if (length > size - 1) length = size - 1;
    if (length > 0) std::memcpy(field, text.data(), length);  // an empty view may hold null
    std::memset(field + length, 0, size - length);
}

std::string_view field_text(const char* field, std::size_t size) {
    const void* end = std::memchr(field, '\0', size);
    std::size_t length =
        end != nullptr ? static_cast<std::size_t>(static_cast<const char*>(end) - field) : size;
    return {field, length};
}

}  // namespace korvad
