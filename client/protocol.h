#pragma once
// What a client reads in the station's packets: the codes, and the texts of
// the answers and notices field by field.
//
// Texts are 8-bit text with fields separated by tabs. Every parser here takes
// the payload exactly as it came (at most 4096 bytes, not trusted) and returns
// nothing when the text lacks a field or a number does not read; it never
// reads past the text.
//
// Client record of a decoded message (codes 6 uplink, 18 downlink), eleven
// fields:
//
//   header  mode  registration  type  label  block  number  flight  route  airline  text
//
// The header is a row of 58 dashes, "[ ", the contact time text
// ("08/12/2026 04:15", local time of the station), " ]-". Missing lookups read
// "-" (type, airline), "unknown" (route), "-" (text). In extended mode the mode
// and the label carry a description ("2 [Station X]"). The text is the last
// field and may hold line feeds and tabs of its own.
//
// Full contact record (code 76), fourteen fields, a missing text empty:
//
//   time  day  month  years-since-1900  mode  label  block  registration
//   number  flight  text  type  route  airline
//
// time is seconds since 1970. The text is the one field that may hold tabs, so
// the ten fields before it are read from the left and the three after it from
// the right.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server/packet.h"

namespace korvad::client {

namespace code {
// Requests (client to station).
inline constexpr std::int32_t kLeave = 2;
inline constexpr std::int32_t kAircraftContacts = 14;
inline constexpr std::int32_t kFlightContacts = 17;
inline constexpr std::int32_t kReport = 19;
inline constexpr std::int32_t kCorrectFlight = 30;
inline constexpr std::int32_t kCorrectAirline = 31;
inline constexpr std::int32_t kCorrectType = 32;
inline constexpr std::int32_t kChatSay = 50;
inline constexpr std::int32_t kChatEnter = 52;
inline constexpr std::int32_t kChatLeave = 53;
inline constexpr std::int32_t kSubscribe = 60;
inline constexpr std::int32_t kUnsubscribe = 61;
inline constexpr std::int32_t kActivate = 62;
inline constexpr std::int32_t kPause = 63;
inline constexpr std::int32_t kLogFormat = 66;
inline constexpr std::int32_t kRegistrations = 70;
inline constexpr std::int32_t kRecords = 73;
inline constexpr std::int32_t kDelete = 78;
inline constexpr std::int32_t kKeepAlive = 148;

// Answers and notices (station to client).
inline constexpr std::int32_t kStation = 1;
inline constexpr std::int32_t kCounters = 4;
inline constexpr std::int32_t kVolume = 5;
inline constexpr std::int32_t kUplink = 6;
inline constexpr std::int32_t kContactNote = 8;
inline constexpr std::int32_t kContactRecord = 9;
inline constexpr std::int32_t kTypeCounted = 10;
inline constexpr std::int32_t kDatabaseSizes = 11;
inline constexpr std::int32_t kCollectionSize = 12;
inline constexpr std::int32_t kAirlineCounted = 13;
inline constexpr std::int32_t kContact = 15;
inline constexpr std::int32_t kContactsFound = 16;
inline constexpr std::int32_t kDownlink = 18;
inline constexpr std::int32_t kNoReports = 21;
inline constexpr std::int32_t kReportSize = 22;
inline constexpr std::int32_t kReportName = 23;
inline constexpr std::int32_t kValidOnly = 25;
inline constexpr std::int32_t kAllMessages = 26;
inline constexpr std::int32_t kCorrectionAccepted = 35;
inline constexpr std::int32_t kCorrectionRejected = 36;
inline constexpr std::int32_t kChatLine = 51;
inline constexpr std::int32_t kPresence = 54;
inline constexpr std::int32_t kSubscriptionDone = 64;
inline constexpr std::int32_t kNoMailing = 65;
inline constexpr std::int32_t kRegistrationBatch = 71;
inline constexpr std::int32_t kRegistrationCount = 72;
inline constexpr std::int32_t kNoRecords = 74;
inline constexpr std::int32_t kRecordsFound = 75;
inline constexpr std::int32_t kRecord = 76;
inline constexpr std::int32_t kRecordsEnd = 77;
inline constexpr std::int32_t kBroadcast = 90;
inline constexpr std::int32_t kFrequency = 91;
inline constexpr std::int32_t kBusy = 100;
inline constexpr std::int32_t kNotFound = 104;
inline constexpr std::int32_t kNotice = 105;
inline constexpr std::int32_t kNoCorrections = 106;
inline constexpr std::int32_t kSubscriptionRefused = 108;
inline constexpr std::int32_t kKeepAliveAnswer = 149;
inline constexpr std::int32_t kVersion = 152;
inline constexpr std::int32_t kUptime = 153;
inline constexpr std::int32_t kReportChunk = 200;
}  // namespace code

// Splits at every tab; an empty text is one empty field.
[[nodiscard]] std::vector<std::string_view> split_fields(std::string_view text);

// A whole decimal number, optional leading '-', nothing else around it.
[[nodiscard]] std::optional<std::int64_t> read_number(std::string_view text);

struct MessageRecord {  // codes 6 and 18
    bool uplink = false;
    std::string time_text;  // "08/12/2026 04:15", the station's local time
    std::string mode, registration, aircraft_type, label, block_id, message_number, flight, route,
        airline, text;
};
[[nodiscard]] std::optional<MessageRecord> parse_message_record(std::string_view text, bool uplink);

struct ContactRecord {  // code 9: type ("?" unknown), registration, flight, route (or flight)
    std::string aircraft_type, registration, flight, route;
};
[[nodiscard]] std::optional<ContactRecord> parse_contact_record(std::string_view text);

// Code 15: time, then flight and route (search by aircraft) or registration
// and type (search by flight); "-unknown-" where the station had nothing.
struct StreamContact {
    std::int64_t time = 0;
    std::string first, second;
};
[[nodiscard]] std::optional<StreamContact> parse_stream_contact(std::string_view text);

struct FullRecord {  // code 76
    std::int64_t time = 0;
    std::int64_t day = 0, month = 0, years_since_1900 = 0;
    std::string mode, label, block_id, registration, message_number, flight, text, aircraft_type,
        route, airline;
};
[[nodiscard]] std::optional<FullRecord> parse_full_record(std::string_view text);

// "%d\t%s": codes 16 and 75 (a count and the searched text), 72 (a count and
// the batch size, read as text), 153 (uptime seconds and "N clients ...").
struct CountAndText {
    std::int64_t count = 0;
    std::string text;
};
[[nodiscard]] std::optional<CountAndText> parse_count_and_text(std::string_view text);

struct Counters {  // code 4: "Good: %ld, Upl: %ld, Err parity: %ld, block: %ld, crc: %ld"
    std::int64_t good = 0, uplinks = 0, parity_errors = 0, block_errors = 0, crc_errors = 0;
};
[[nodiscard]] std::optional<Counters> parse_counters(std::string_view text);

struct Volume {  // code 5: "=[ Vol: %d, Extended: %s ]="
    std::int64_t level = 0;
    bool extended = false;
};
[[nodiscard]] std::optional<Volume> parse_volume(std::string_view text);

struct Uptime {  // code 153: "%ld\t%d clients currently connected"
    std::int64_t seconds = 0;
    std::int64_t clients = 0;
};
[[nodiscard]] std::optional<Uptime> parse_uptime(std::string_view text);

struct ChatLine {  // code 51: "nick\tline"; "SYSTEM" for the station's own lines
    std::string nick, text;
};
[[nodiscard]] ChatLine parse_chat_line(std::string_view text);

struct Presence {  // code 54: "nick\tstatus\t1" (entered chat) or "...\t0" (left)
    std::string nick, status;
    bool in_chat = false;
};
[[nodiscard]] std::optional<Presence> parse_presence(std::string_view text);

// Code 71: registrations, each followed by "|".
[[nodiscard]] std::vector<std::string> parse_registration_batch(std::string_view text);

// What the greeting said: the station, its version, its databases, which
// services it offers. Built from the packets that arrive before the first
// answer; a station leaves out 21, 65, 106 and 91 when they do not apply.
struct Greeting {
    bool station_seen = false;  // code 1 arrived: this is a korvad station
    std::string host;
    std::int64_t port = 0;
    bool sizes_seen = false;
    std::int64_t flights = 0, airlines = 0, types = 0, airports = 0;
    std::int64_t collection_entries = 0;
    std::string program, version, notice;
    std::optional<bool> valid_only;  // codes 25 and 26
    bool reports = true;
    bool corrections = true;
    bool mailing = true;
    std::optional<std::string> frequency;
};

// Takes one packet into the greeting. false when the packet is not part of a
// greeting (or its text does not read); the greeting is then unchanged.
[[nodiscard]] bool take_greeting_packet(Greeting& greeting, const Packet& packet);

// Report names as a client may ask for and store them: not empty, no "/",
// not "." or "..", no NUL or line break.
[[nodiscard]] bool is_plain_file_name(std::string_view name);

// A request field (nick, key, value, address) that the protocol can carry:
// no tab, no line break, no NUL, at most max bytes.
[[nodiscard]] bool is_plain_field(std::string_view text, std::size_t max = kPacketTextMax);

}  // namespace korvad::client
