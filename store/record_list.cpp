#include "store/record_list.h"

#include <climits>
#include <cstring>

namespace korvad {

namespace {

// Strings are read in pieces of this many bytes, so a false length in a
// damaged file costs no more memory than the bytes that are really there.
constexpr std::size_t kStringChunk = 64 * 1024;

bool read_string_record(ItemReader& in, std::unique_ptr<std::string>& record) {
    std::optional<std::string> text;
    if (!in.read_string(text)) return false;
    if (text) record = std::make_unique<std::string>(std::move(*text));
    return true;
}

bool write_string_record(std::FILE* out, const std::string& record) {
    return write_string_item(out, record);
}

bool read_reference_record(ItemReader& in, std::unique_ptr<ReferenceEntry>& record) {
    auto entry = std::make_unique<ReferenceEntry>();
    if (!in.read_string(entry->key) || !in.read_string(entry->value) ||
        !in.read_int32(entry->tally)) {
        return false;
    }
    record = std::move(entry);
    return true;
}

bool write_reference_record(std::FILE* out, const ReferenceEntry& record) {
    return write_string_item(out, record.key) && write_string_item(out, record.value) &&
           write_le32(out, record.tally);
}

std::string_view text_or_empty(const std::optional<std::string>& text) {
    return text ? std::string_view(*text) : std::string_view();
}

}  // namespace

bool ItemReader::read_bytes(unsigned char* out, std::size_t size) {
    return std::fread(out, 1, size, stream_) == size;
}

bool ItemReader::read_int32(std::int32_t& value) {
    return read_le32(stream_, &value);
}

bool ItemReader::read_byte(std::uint8_t& value) {
    int c = std::fgetc(stream_);
    if (c == EOF) return false;
    value = static_cast<std::uint8_t>(c);
    return true;
}

bool ItemReader::read_string(std::optional<std::string>& value) {
    std::int32_t length = 0;
    if (!read_int32(length)) return false;
    if (length < 0 || length > kMaxStoredString) return false;
    if (length == 0) {
        value.reset();
        return true;
    }
    std::string text;
    std::size_t left = static_cast<std::size_t>(length);
    while (left > 0) {
        std::size_t piece = std::min(left, kStringChunk);
        std::size_t done = text.size();
        text.resize(done + piece);
        if (std::fread(text.data() + done, 1, piece, stream_) != piece) return false;
        left -= piece;
    }
    value = std::move(text);
    return true;
}

bool write_string_item(std::FILE* out, std::string_view text) {
    std::size_t length = std::min(text.size(), static_cast<std::size_t>(kMaxStoredString));
    if (!write_le32(out, static_cast<std::int32_t>(length))) return false;
    return length == 0 || std::fwrite(text.data(), 1, length, out) == length;
}

bool write_string_item(std::FILE* out, const std::string& text) {
    return write_string_item(out, std::string_view(text));
}

bool write_string_item(std::FILE* out, const std::optional<std::string>& text) {
    return write_string_item(out, text_or_empty(text));
}

int compare_strings(const std::string& a, const std::string& b) {
    return a.compare(b);
}

StringList make_string_list(std::int32_t limit, std::int32_t delta) {
    return StringList(limit, delta, &compare_strings,
                      ItemCodec<std::string>{&read_string_record, &write_string_record});
}

int compare_reference_keys(const ReferenceEntry& a, const ReferenceEntry& b) {
    return text_or_empty(a.key).compare(text_or_empty(b.key));
}

ReferenceList make_reference_list(std::int32_t limit, std::int32_t delta) {
    return ReferenceList(
        limit, delta, &compare_reference_keys,
        ItemCodec<ReferenceEntry>{&read_reference_record, &write_reference_record});
}

std::int32_t add_or_count(ReferenceList& list, std::unique_ptr<ReferenceEntry>& entry,
                          bool counting) {
    if (entry == nullptr || !entry->key || !entry->value) return ReferenceList::kNoRecord;
    std::int32_t result = list.insert_unique(entry);
    if (result >= 0 && counting) {
        ReferenceEntry* present = list.at(result);
        if (present != nullptr && present->tally < INT32_MAX) ++present->tally;
    }
    return result;
}

}  // namespace korvad
