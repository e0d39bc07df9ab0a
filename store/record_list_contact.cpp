#include "store/record_list_contact.h"

#include <cstring>

namespace korvad {

namespace {

int compare_numbers(std::int32_t a, std::int32_t b) {
    return (a > b) - (a < b);
}

int compare_fields(const char* a, const char* b, std::size_t size) {
    return field_text(a, size).compare(field_text(b, size));
}

// Copies a fixed field from the item bytes and makes sure it ends in a NUL.
template <std::size_t N>
void take_field(char (&field)[N], const unsigned char* bytes) {
    std::memcpy(field, bytes, N);
    field[N - 1] = '\0';
}

// Writes a fixed field as its text followed by zeros.
template <std::size_t N>
void put_field(unsigned char* bytes, const char (&field)[N]) {
    std::string_view text = field_text(field);
    if (text.size() > N - 1) text = text.substr(0, N - 1);
    std::memset(bytes, 0, N);
    std::memcpy(bytes, text.data(), text.size());
}

bool read_contact(ItemReader& in, std::unique_ptr<Message>& record) {
    unsigned char fixed[kContactFixedSize];
    if (!in.read_bytes(fixed, sizeof fixed)) return false;
    auto message = make_message();
    message->time = get_le32s(fixed + 0);
    message->day = get_le32s(fixed + 4);
    message->month = get_le32s(fixed + 8);
    message->year = get_le32s(fixed + 12);
    message->mode = static_cast<char>(fixed[16]);
    take_field(message->label, fixed + 17);
    message->block_id = static_cast<char>(fixed[20]);
    take_field(message->registration, fixed + 21);
    take_field(message->message_number, fixed + 29);
    take_field(message->flight_id, fixed + 34);
    if (!in.read_string(message->text) || !in.read_string(message->aircraft_type) ||
        !in.read_string(message->route) || !in.read_string(message->airline)) {
        return false;
    }
    record = std::move(message);
    return true;
}

bool write_contact(std::FILE* out, const Message& record) {
    unsigned char fixed[kContactFixedSize];
    put_le32(fixed + 0, static_cast<std::uint32_t>(record.time));
    put_le32(fixed + 4, static_cast<std::uint32_t>(record.day));
    put_le32(fixed + 8, static_cast<std::uint32_t>(record.month));
    put_le32(fixed + 12, static_cast<std::uint32_t>(record.year));
    fixed[16] = static_cast<unsigned char>(record.mode);
    put_field(fixed + 17, record.label);
    fixed[20] = static_cast<unsigned char>(record.block_id);
    put_field(fixed + 21, record.registration);
    put_field(fixed + 29, record.message_number);
    put_field(fixed + 34, record.flight_id);
    return std::fwrite(fixed, 1, sizeof fixed, out) == sizeof fixed &&
           write_string_item(out, record.text) && write_string_item(out, record.aircraft_type) &&
           write_string_item(out, record.route) && write_string_item(out, record.airline);
}

static_assert(17 + kLabelSize == 20 && 21 + kRegistrationSize == 29 &&
                  29 + kMessageNumberSize == 34 && 34 + kFlightIdSize == kContactFixedSize,
              "contact item layout");

}  // namespace

int compare_date_order(const Message& a, const Message& b) {
    if (int r = compare_numbers(a.year, b.year)) return r;
    if (int r = compare_numbers(a.month, b.month)) return r;
    if (int r = compare_numbers(a.day, b.day)) return r;
    if (int r = compare_fields(a.registration, b.registration, kRegistrationSize)) return r;
    return compare_fields(a.flight_id, b.flight_id, kFlightIdSize);
}

ContactList make_contact_list(std::int32_t limit, std::int32_t delta) {
    return ContactList(limit, delta, &compare_date_order,
                       ItemCodec<Message>{&read_contact, &write_contact});
}

LoadResult load_collection(ContactList& list, const std::string& path) {
    return list.load_file(path);
}

bool save_collection(const ContactList& list, const std::string& path, std::string* reason) {
    return list.save_file(path, reason);
}

}  // namespace korvad
