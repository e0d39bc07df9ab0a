#pragma once
// Helpers shared by the list tests: byte buffers, files and a list's file form.

#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <vector>

#include "common/test_folder.h"
#include "store/record_list.h"

namespace korvad::list_test {

using Bytes = std::vector<unsigned char>;

inline Bytes read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void write_file(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

// Appends a little-endian 32-bit value.
inline void le32(Bytes& bytes, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

// The file form of a list (empty when store() fails).
template <typename T>
Bytes stored(const RecordList<T>& list) {
    char* buffer = nullptr;
    std::size_t size = 0;
    std::FILE* out = open_memstream(&buffer, &size);
    bool ok = list.store(out);
    std::fclose(out);
    Bytes bytes = ok ? Bytes(buffer, buffer + size) : Bytes();
    std::free(buffer);
    return bytes;
}

template <typename T>
bool load_from(RecordList<T>& list, const Bytes& bytes) {
    std::FILE* in = fmemopen(const_cast<unsigned char*>(bytes.data()), bytes.size(), "rb");
    if (in == nullptr) return false;
    bool ok = list.load(in);
    std::fclose(in);
    return ok;
}

// Loads every proper prefix of file into list; each must be refused and
// leave the list's file form as it was. Returns the number of prefixes that
// broke that rule.
template <typename T>
int accepted_or_changed_prefixes(RecordList<T>& list, const Bytes& file) {
    const Bytes before = stored(list);
    int broken = 0;
    for (std::size_t length = 0; length < file.size(); ++length) {
        Bytes cut(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(length));
        if (load_from(list, cut) || stored(list) != before) ++broken;
    }
    return broken;
}

}  // namespace korvad::list_test
