#pragma once
// The check shared by the list fuzz targets: load arbitrary bytes into a
// list of one kind. A refused file must leave the list exactly as it was; an
// accepted one must store and load again to the very same bytes.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "store/record_list.h"

namespace korvad {

template <typename T>
std::string stored_bytes(const RecordList<T>& list) {
    char* buffer = nullptr;
    std::size_t size = 0;
    std::FILE* out = open_memstream(&buffer, &size);
    if (out == nullptr) std::abort();
    bool ok = list.store(out);
    std::fclose(out);
    std::string bytes(buffer, size);
    std::free(buffer);
    if (!ok) std::abort();
    return bytes;
}

template <typename T>
bool load_bytes(RecordList<T>& list, const std::string& bytes) {
    if (bytes.empty()) return false;
    std::FILE* in = fmemopen(const_cast<char*>(bytes.data()), bytes.size(), "rb");
    if (in == nullptr) std::abort();
    bool ok = list.load(in);
    std::fclose(in);
    return ok;
}

template <typename T>
void fuzz_list_load(RecordList<T> (*make)(std::int32_t, std::int32_t), const std::uint8_t* data,
                    std::size_t size) {
    RecordList<T> list = make(3, 2);
    std::string before = stored_bytes(list);
    if (!load_bytes(list, std::string(reinterpret_cast<const char*>(data), size))) {
        if (stored_bytes(list) != before) std::abort();
        return;
    }
    if (!list.is_ordered()) std::abort();
    std::string first = stored_bytes(list);
    RecordList<T> again = make(3, 2);
    if (!load_bytes(again, first)) std::abort();
    if (stored_bytes(again) != first) std::abort();
}

}  // namespace korvad
