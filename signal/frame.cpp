// Frame decoding: opening, parity, block check, end of text, uplink/squitter
// and field validation of one collected frame.

#include "signal/frame.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace korvad {
namespace {

// Membership tables over the 7-bit characters. A set is searched with its
// terminating NUL included, so NUL belongs to every set.
constexpr std::array<bool, 128> make_set(const char* members) {
    std::array<bool, 128> set{};
    set[0] = true;
    for (const char* p = members; *p != '\0'; ++p) set[static_cast<unsigned char>(*p)] = true;
    return set;
}

constexpr auto kRegistrationSet = make_set(".-0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ");
constexpr auto kLabelSet = make_set(" ^;:_0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ");
constexpr auto kBlockIdSet = make_set("_0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ");
constexpr auto kFlightSet = make_set("0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ ");

bool odd_ones(std::uint8_t c) {
    return __builtin_parity(c) != 0;
}

bool is_lower_or_digit(std::uint8_t c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}
bool is_upper_or_underscore(std::uint8_t c) {
    return (c >= 'A' && c <= 'Z') || c == '_';
}

}  // namespace

bool in_registration_set(std::uint8_t c) {
    return c < 128 && kRegistrationSet[c];
}
bool in_label_set(std::uint8_t c) {
    return c < 128 && kLabelSet[c];
}
bool in_block_id_set(std::uint8_t c) {
    return c < 128 && kBlockIdSet[c];
}
bool in_flight_set(std::uint8_t c) {
    return c < 128 && kFlightSet[c];
}

std::uint16_t crc_feed(std::uint16_t crc, std::uint8_t byte) {
    for (int bit = 0; bit < 8; ++bit) {
        bool top = (crc & 0x8000) != 0;
        crc = static_cast<std::uint16_t>((crc << 1) | ((byte >> bit) & 1));
        if (top) crc ^= 0x1021;
    }
    return crc;
}

namespace {
int filled(const FrameTable& table) {
    return table.count < 0 ? 0 : (table.count > kFrameTableSize ? kFrameTableSize : table.count);
}
}  // namespace

RecordChoice choose_record(const FrameTable& table) {
    const int count = filled(table);
    for (int i = 0; i < count; ++i) {
        const FrameRecord& r = table.records[i];
        if (r.error_count == 0 && r.terminated && r.crc == 0) return {&r, true};
    }
    for (int i = 0; i < count; ++i) {
        const FrameRecord& r = table.records[i];
        if (r.error_count == 0 && r.terminated) return {&r, false};
    }
    for (int i = 0; i < count; ++i) {
        const FrameRecord& r = table.records[i];
        if (r.error_count == 0) return {&r, false};
    }
    return {};
}

const FrameRecord* least_faulty(const FrameTable& table) {
    const int count = filled(table);
    if (count == 0) return nullptr;
    const FrameRecord* best = &table.records[0];
    for (int i = 1; i < count; ++i) {
        if (table.records[i].error_count < best->error_count) best = &table.records[i];
    }
    return best;
}

void FrameTable::clear() {
    std::memset(records, 0, sizeof records);
    count = 0;
    message_pending = false;
}

void decode_frame(FrameTable& table, std::uint8_t* f, int length) {
    if (length < 20 || length > kFrameBufferSize) return;
    if (table.count >= kFrameTableSize) return;  // cannot happen: 42 runs per pass at most

    // "*", SYN x4, SOH: shift to the two-SYN layout; the length stays, so the
    // last two bytes now appear twice.
    if (f[0] == '*' && f[1] == kSyn && f[2] == kSyn && f[3] == kSyn && f[4] == kSyn &&
        f[5] == kSoh) {
        std::memmove(f + 1, f + 3, static_cast<std::size_t>(length - 3));
    }
    if (f[0] != '*' || f[1] != kSyn || f[2] != kSyn || f[3] != kSoh) return;

    table.message_pending = true;
    FrameRecord& r = table.records[table.count];
    r.end_index = length;
    r.terminated = 0;
    r.error_flags = 0;
    r.squitter = 0;
    r.uplink = 0;
    r.error_count = 0;

    std::uint16_t crc = 0;
    int faults = 0;
    for (int i = 0; i < length; ++i) {
        std::uint8_t b = f[i];
        if (i >= 4) crc = crc_feed(crc, b);
        std::uint8_t c = b & 0x7F;
        bool parity_error = odd_ones(c) && (b & 0x80) != 0;
        if (parity_error) {
            if (i <= kHeaderLast) {
                ++faults;
                r.error_flags |= MSG_ERR_ALL;
            } else {
                r.error_flags |= MSG_ERR_EXT;
            }
        }
        // Bytes beyond entry 512 are checked and covered by the CRC but not kept.
        if (i < kFrameRecordChars) {
            r.chars[i].parity_error = parity_error ? 1 : 0;
            r.chars[i].ch = (c == kDel) ? ' ' : c;  // DEL before the end reads as a space
        }
        if (c == kEtx || c == kEtb) {
            r.terminated = 1;
            crc = crc_feed(crc, i + 1 < length ? f[i + 1] : 0);
            crc = crc_feed(crc, i + 2 < length ? f[i + 2] : 0);
            r.end_index = i;
            break;
        }
    }
    r.crc = crc;

    const FrameChar* ch = r.chars;
    if (ch[kLabelFirst].ch == 'S' && ch[kLabelLast].ch == 'Q') {
        r.squitter = 1;
    } else if (is_lower_or_digit(ch[kModeIndex].ch) &&
               is_upper_or_underscore(ch[kBlockIdIndex].ch)) {
        r.uplink = 1;
    }

    if (crc != 0) {
        for (int i = kAddressFirst; i <= kAddressLast; ++i) {
            if (!in_registration_set(ch[i].ch)) {
                ++faults;
                r.error_flags |= MSG_ERR_REG;
            }
        }
        for (int i = kLabelFirst; i <= kLabelLast; ++i) {
            if (!in_label_set(ch[i].ch)) {
                ++faults;
                r.error_flags |= MSG_ERR_LAB;
            }
        }
        if (!in_block_id_set(ch[kBlockIdIndex].ch)) {
            ++faults;
            r.error_flags |= MSG_ERR_BLK;
        }
        if (!r.uplink && !r.squitter) {
            for (int i = kMessageNumberFirst; i < std::min(length, kMessageNumberLast + 1); ++i) {
                if (!in_flight_set(ch[i].ch)) {
                    ++faults;
                    r.error_flags |= MSG_ERR_MSG;
                }
            }
            int valid = 0;
            for (int i = kFlightIdFirst; i < std::min(length, kFlightIdLast + 1); ++i) {
                if (ch[i].ch == 0 || !in_flight_set(ch[i].ch)) {
                    ++faults;
                    r.error_flags |= MSG_ERR_FLI;
                } else {
                    ++valid;
                }
            }
            if (valid <= 4) {
                ++faults;
                r.error_flags |= MSG_ERR_FLI;
            }
        }
        r.error_count = faults;
    }

    if (r.terminated && r.error_count == 0 && r.crc == 0) table.frame_good = true;
    ++table.count;
}

}  // namespace korvad
