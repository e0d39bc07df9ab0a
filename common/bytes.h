#pragma once
// Fixed-width little-endian fields, encoded and decoded byte by byte so the
// files and wire formats are the same on every host.

#include <cstdint>
#include <cstdio>

namespace korvad {

inline void put_le32(unsigned char* p, std::uint32_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
    p[2] = static_cast<unsigned char>(v >> 16);
    p[3] = static_cast<unsigned char>(v >> 24);
}

inline std::uint32_t get_le32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

inline std::int32_t get_le32s(const unsigned char* p) {
    return static_cast<std::int32_t>(get_le32(p));
}

// Stream forms: false when the stream ended or failed before all 4 bytes.
[[nodiscard]] inline bool write_le32(std::FILE* f, std::int32_t v) {
    unsigned char b[4];
    put_le32(b, static_cast<std::uint32_t>(v));
    return std::fwrite(b, 1, 4, f) == 4;
}

[[nodiscard]] inline bool read_le32(std::FILE* f, std::int32_t* v) {
    unsigned char b[4];
    if (std::fread(b, 1, 4, f) != 4) return false;
    *v = get_le32s(b);
    return true;
}

}  // namespace korvad
