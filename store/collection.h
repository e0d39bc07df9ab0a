#pragma once
// The aircraft collection: one Message per day, registration and flight id
// (the first downlink heard for that combination), kept in "korvad.db".
//
// Orders of the collection (the list's compare):
//   date order          natural: year, month, day as numbers, then
//                       registration, then flight_id byte-wise
//                       (store/record_list_contact.h, compare_date_order)
//   registration order  registration only: contact_range, delete_contact,
//                       the new-contact register
//   flight order        flight_id only: the server's copy
//   time order          later time first: clean_collection
// Every procedure here that switches the order puts date order back before
// it returns, so add, search and insert_unique always see the natural order.

#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "message/message.h"
#include "store/record_list_contact.h"

namespace korvad {

struct Stores;

int compare_registration_order(const Message& a, const Message& b);
int compare_flight_order(const Message& a, const Message& b);
int compare_time_order(const Message& a, const Message& b);  // later time first

// "%02d/%02m/%Y %02H:%02M" of t in local time, e.g. "08/12/2026 04:15".
[[nodiscard]] std::string contact_time_text(std::time_t t);

// --- Adding a message ----------------------------------------------------

enum class AddResult {
    added,            // the collection owns the message now
    already_present,  // same day, registration and flight id: message released
    refused,          // the list is full: message released
};

// What an addition did, for the caller to show and send.
struct CollectionAddition {
    AddResult result = AddResult::refused;
    // When added: the registration, and the names the type and airline
    // statistics counted it under (the name or "-= unknown =-").
    std::string registration;
    std::string type_name;
    std::string airline_name;
    bool saved = false;        // this addition saved "korvad.db" (every 31st)
    bool save_failed = false;  // that save could not be written
    std::string save_error;    // why: "korvad.db: No space left on device"
    std::int32_t entries = 0;  // entries in the collection after the addition
};

// The adding procedure, for a downlink after its lookups. Inserts the message
// into stores.collection (date order). When it is new, its type and airline
// are offered to the daily statistics, counters.collection_additions counts
// it, and every 31st addition saves "korvad.db". Without a collection
// (stores.collection gone) the message is released and the result is refused.
[[nodiscard]] CollectionAddition add_to_collection(Stores& stores, std::unique_ptr<Message> message,
                                                   Counters& counters);

// --- Contact information (extended mode) -----------------------------------

struct ContactInformation {
    bool first_contact = false;  // the registration is not in the collection
    // "First contact with this aircraft", or "%d contacts with this aircraft.
    // First contact: %s as flight %s" with the number of entries of the
    // registration, the contact time of the oldest and its flight_id.
    std::string line;
};

// Looks the registration up in registration order and puts the collection
// back in date order. The caller shows the line (code 8) and, on a first
// contact, calls record_first_contact when the register exists.
[[nodiscard]] ContactInformation contact_information(ContactList& collection,
                                                     std::string_view registration);

// --- Ranges, deletes, text form ---------------------------------------------

enum class ContactKey { registration = 0, flight_id = 1 };

struct ContactRange {
    // 0 found; -1 not found (also a key longer than its field: 7 characters
    // for a registration, 6 for a flight id); -2 the list is not in the order
    // of that key (registration order, or flight order for flight ids).
    int status = -1;
    std::int32_t first = -1;  // positions of the run of entries with that key
    std::int32_t last = -1;
};

[[nodiscard]] ContactRange contact_range(const ContactList& list, std::string_view key,
                                         ContactKey which);

// Position in first..last with the smallest time (the lowest on equal
// times), or -1 when first > last or the range is outside the list.
[[nodiscard]] std::int32_t oldest_contact(const ContactList& list, std::int32_t first,
                                          std::int32_t last);

inline constexpr int kDeleteRemoved = 1;
inline constexpr int kDeleteNoMatch = 0;     // no entry with that time and flight, or bad code
inline constexpr int kDeleteNotFound = -1;   // registration not in the collection
inline constexpr int kDeleteMalformed = -2;  // no tab in the request

// A client's delete request "registration\tflight id\ttime\tcode" (queue code
// 78). Removes the entry of that registration whose time (decimal) and
// flight_id match, only when delete_code is set (non-empty) and the code field
// equals it. Shortens request as it goes: its first tab becomes a blank, and
// when the registration was found the text ends after the flight id
// ("REG FLIGHT"). The collection ends in date order whatever the result.
[[nodiscard]] int delete_contact(std::string& request, ContactList& collection,
                                 const std::optional<std::string>& delete_code);

// "%ld\t%d\t%d\t%d\t%c\t%s\t%c\t%s\t%s\t%s\t%s\t%s\t%s\t%s" with time, day,
// month, year, mode, label, block_id, registration, message_number,
// flight_id, text, aircraft_type, route, airline; a missing string is an
// empty field, a zero mode or block id a blank (as in every other text
// form). At most 4095 characters.
[[nodiscard]] std::string contact_to_text(const Message& record);

}  // namespace korvad
