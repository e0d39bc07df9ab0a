#pragma once
// The station's packets as JSON objects: the one mapping that korvadclient
// prints with --json and that other programs beside the codec (a web view)
// reuse, so a name here is a promise.
//
// Every object has "event" (below) and "code" (the packet's code). Texts are
// given as received: a text that is valid UTF-8 passes through, any other
// byte is read as Latin-1. Numbers of the protocol (counts, times in seconds
// since 1970, sizes) are JSON numbers.
//
//   code  event              other fields
//      1  station_address    host, port
//      4  counters           good, uplinks, parity_errors, block_errors, crc_errors, text
//      5  volume             level, extended, text
//   6/18  message            direction ("uplink"/"downlink"), time_text, mode,
//                            registration, aircraft_type, label, block_id,
//                            message_number, flight, route, airline, text
//      8  contact_note       text
//      9  contact            aircraft_type, registration, flight, route
//     10  type_counted       aircraft_type
//     11  database_sizes     flights, airlines, types, airports
//     12  collection_size    entries
//     13  airline_counted    airline
//     15  aircraft_contact   time, flight, route          (after found/aircraft)
//     15  flight_contact     time, registration, aircraft_type (after found/flight)
//  16/75  found              search ("aircraft", "flight", "records"), count, key
//     21  no_reports
//     22  report_size        bytes
//     23  report_name        name
//  25/26  checksum_setting   valid_only, text
//  35/36  correction         accepted
//     51  chat               nick, text
//     54  presence           nick, status, in_chat
//     64  subscription       accepted (true), text
//     65  no_mailing
//     71  registration_batch registrations (array of texts)
//     72  registration_count count, batch
//     74  not_found          search ("records"), key
//     76  record             time, day, month, years_since_1900, mode, label,
//                            block_id, registration, message_number, flight,
//                            text, aircraft_type, route, airline
//     77  records_end
//     90  broadcast          text   (from the station's operator)
//     91  frequency          frequency
//    100  busy               text
//    104  not_found          search ("aircraft" or "flight" when known), key
//    105  notice             text
//    106  no_corrections
//    108  subscription       accepted (false), text
//    149  keepalive
//    152  version            program, version, notice
//    153  uptime             seconds, clients
//    200  report_chunk       bytes (the count; the data goes to the file)
//
// A packet of another code, or one whose text does not read as its code
// says, becomes {"event": "unknown", "code", "argument", "text"}.
//
// Objects the client makes itself, not from one packet:
//   station       the whole greeting: host, port, program, version, notice,
//                 flights, airlines, types, airports, collection_entries,
//                 valid_only (null when not said), reports, corrections,
//                 mailing, frequency (null when not said)
//   registration  registration           (one per name of a registrations list)
//   report        name, file, bytes      (a report saved)
//   disconnected  reason, retry_seconds  (watch, before it connects again)
//   error         status, text           (why the client gave up)

#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "client/protocol.h"
#include "server/packet.h"

namespace korvad::client {

// A text of the station as a JSON string value (see above).
[[nodiscard]] nlohmann::json text_value(std::string_view bytes);

// One JSON object per line; never throws.
[[nodiscard]] std::string json_line(const nlohmann::json& object);

// Maps packets one by one. It remembers which search the last "found" answer
// was for, since the contacts of an aircraft and of a flight share a code.
class EventMapper {
  public:
    [[nodiscard]] nlohmann::json map(const Packet& packet);
    // The search a request is about to start ("aircraft", "flight",
    // "records"); it names the not_found answer, which carries no kind.
    void expect_search(std::string_view search) { search_ = search; }

  private:
    std::string search_;
};

[[nodiscard]] nlohmann::json greeting_to_json(const Greeting& greeting);
[[nodiscard]] nlohmann::json message_to_json(const MessageRecord& record);
[[nodiscard]] nlohmann::json record_to_json(const FullRecord& record);
[[nodiscard]] nlohmann::json registration_to_json(std::string_view registration);
[[nodiscard]] nlohmann::json error_to_json(int status, std::string_view text);

}  // namespace korvad::client
