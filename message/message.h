#pragma once
// The record of one decoded ACARS message, and the process-wide traffic
// counters.
//
// A Message is allocated zero-filled: every owned string starts as none and
// every fixed text field as empty. The fixed fields always hold a terminator;
// set_field() keeps them so and zero-fills the bytes behind the text, which is
// how the aircraft collection file writes them.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace korvad {

// Widths of the fixed text fields in bytes, terminator included.
inline constexpr std::size_t kLabelSize = 3;          // 2 characters
inline constexpr std::size_t kRegistrationSize = 8;   // up to 7 characters
inline constexpr std::size_t kMessageNumberSize = 5;  // 4 characters
inline constexpr std::size_t kFlightIdSize = 7;       // 6 characters

struct Message {
    std::int32_t time = 0;   // seconds since 1970: stamp of the audio buffer
    std::int32_t day = 0;    // day of the month of `time`, local time, 1..31
    std::int32_t month = 0;  // 1..12
    std::int32_t year = 0;   // years since 1900
    char mode = 0;           // frame character 4
    char block_id = 0;       // frame character 15
    char label[kLabelSize] = {};
    char registration[kRegistrationSize] = {};     // without leading '.'
    char message_number[kMessageNumberSize] = {};  // empty for squitters, " " for uplinks
    char flight_id[kFlightIdSize] = {};            // empty for squitters, "    " for uplinks
    std::optional<std::string> text;
    std::optional<std::string> aircraft_type;  // from the types database
    std::optional<std::string> route;          // airport names of the flight's route
    std::optional<std::string> airline;        // from the airlines database
};

// A new zero-filled Message. Releasing it (the unique_ptr) frees its strings.
[[nodiscard]] std::unique_ptr<Message> make_message();

// Stores text in a fixed field of `size` bytes: cut to size - 1 bytes (and at
// an embedded NUL), terminated, the rest of the field zero-filled.
void set_field(char* field, std::size_t size, std::string_view text);

template <std::size_t N>
void set_field(char (&field)[N], std::string_view text) {
    set_field(field, N, text);
}

// The text of a fixed field: up to its first NUL, never beyond the field.
[[nodiscard]] std::string_view field_text(const char* field, std::size_t size);

template <std::size_t N>
[[nodiscard]] std::string_view field_text(const char (&field)[N]) {
    return field_text(field, N);
}

// Decoded traffic of this process: zero at start, never saved. Owned by main
// and passed by reference to message processing, the counters line and the
// shutdown statistics.
struct Counters {
    std::int32_t good_count = 0;            // downlinks processed
    std::int32_t uplink_count = 0;          // uplinks and squitters processed
    std::int32_t parity_error_count = 0;    // faulty frames: parity
    std::int32_t block_error_count = 0;     // faulty frames: block
    std::int32_t crc_error_count = 0;       // failed CRC or no proper end
    std::int32_t collection_additions = 0;  // new collection entries since its last save
};

}  // namespace korvad
