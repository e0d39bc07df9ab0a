#pragma once
// The six reference databases that turn the codes of a message into text
// (route of a flight, airline, aircraft type, label meaning, airport names,
// ground station), and the two maintenance passes over the aircraft
// collection that use them or the entry ages (rescan and clean).
//
// The main process only reads these files; the database server process
// writes them and asks for a reload. Each is a reference list whose key is
// compared byte by byte: lookups are exact and case-sensitive, only the
// airport and ground-station keys are upper-cased by their callers.

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store/record_list.h"
#include "store/record_list_contact.h"

namespace korvad {

inline constexpr const char* kFlightsFile = "korvad-flights.db";
inline constexpr const char* kAirlinesFile = "korvad-airlines.db";
inline constexpr const char* kTypesFile = "korvad-types.db";
inline constexpr const char* kModesFile = "korvad-modes.db";
inline constexpr const char* kAirportsFile = "korvad-airports.db";
inline constexpr const char* kGroundFile = "korvad-ground.db";

// Path of a store file: name itself in the working directory (folder empty),
// else folder/name.
[[nodiscard]] std::string store_file_path(const std::string& folder, const char* name);

struct ReferenceDatabases {
    // key: the six characters of the flight id; value: route, airport codes
    // joined by "-" ("FRA-JFK", "FRA-LHR-JFK").
    ReferenceList flights = make_reference_list(1000, 1000);
    // key: airline code, the first two characters of the flight id.
    ReferenceList airlines = make_reference_list(5000, 100);
    // key: registration as a Message holds it; value: aircraft type.
    ReferenceList types = make_reference_list(1000, 1000);
    // key: label, or the airline code followed by the label; value: meaning.
    ReferenceList modes = make_reference_list(10, 10);
    // key: airport code of 3 or 4 characters, upper case; value: its name.
    ReferenceList airports = make_reference_list(1000, 100);
    // key: the mode character, upper case; value: ground station.
    ReferenceList ground = make_reference_list(10, 10);

    // Where the six files are: "" is the working directory (tests give their own).
    std::string folder;
};

// Entries per database after a reload.
struct DatabaseCounts {
    int flights = 0;
    int airlines = 0;
    int types = 0;
    int modes = 0;
    int airports = 0;
    int ground = 0;
};

// Empties all six and loads them again from their files, in the order
// flights, airlines, types, modes, airports, ground. A file that is missing
// or damaged leaves its database empty. Verbose: also releases the slot
// arrays before loading (the caller then shows "all databases reloaded" and
// the counts, control/notices.h).
DatabaseCounts reload_databases(ReferenceDatabases& databases, bool verbose);

// The value stored for key, or none. An entry that has a key but no value is
// removed from the database on its first lookup (it comes back with the next
// reload).
[[nodiscard]] std::optional<std::string> lookup_reference(ReferenceList& list,
                                                          std::string_view key);

// The value stored for key, without changing the database: the label and
// ground-station texts of the message forms.
[[nodiscard]] std::optional<std::string> reference_value(const ReferenceList& list,
                                                         std::string_view key);

// A route value split at its first two "-": "FRA-LHR-JFK" is FRA, LHR and
// (optional) JFK. None without a "-". `codes_ok`: the first two are 3 or 4
// characters long, and so is the third when there is one.
struct RouteParts {
    std::string_view first;
    std::string_view second;
    std::optional<std::string_view> third;
    bool codes_ok = false;
};
[[nodiscard]] std::optional<RouteParts> split_route(std::string_view route);

// The route to keep: "first name-second name[ via third name]" when both
// first airports are found, else route unchanged. Also unchanged when
// translate_airports is off (-v), without a "-", or when the first or second
// code is not 3 or 4 characters long. Codes are upper-cased for the lookups.
[[nodiscard]] std::string expand_route(std::string route, ReferenceDatabases& databases,
                                       bool translate_airports);

// One value a rescan found: "Update %s for %s" with value and key.
struct ReferenceUpdate {
    std::string value;
    std::string key;
};

// -r at start-up: fills the missing route, aircraft type and airline of every
// collection entry from the databases. Returns every value found, in the
// order of the lookups (route before its airport names are put in). Not
// saved here.
[[nodiscard]] std::vector<ReferenceUpdate> rescan_collection(ContactList& collection,
                                                             ReferenceDatabases& databases,
                                                             bool translate_airports);

// -O days: removes the entries whose time is before now - max_age_days days;
// an entry exactly at the cutoff stays. The collection ends in date order.
// max_age_days <= 0 does nothing (0 is "no deletion"; a negative count would
// put the cutoff in the future and empty the collection). Returns the number
// removed.
int clean_collection(ContactList& collection, std::time_t now, long max_age_days);

}  // namespace korvad
