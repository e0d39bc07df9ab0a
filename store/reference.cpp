#include "store/reference.h"

#include <algorithm>
#include <cstdint>

#include "screen/screen.h"
#include "store/collection.h"

namespace korvad {

namespace {

constexpr std::int64_t kSecondsPerDay = 86400;
// Far beyond any collection's age; keeps days * 86400 inside 64 bits.
constexpr long kMaxAgeDays = 1000000000L;

void empty_for_reload(ReferenceList& list, bool release_storage) {
    list.free_all();
    if (release_storage) {
        list.pack();
        list.set_limit(0);
    }
}

void load_database(ReferenceList& list, const std::string& folder, const char* name) {
    // A missing or damaged file leaves the database empty: load() keeps the
    // list as it was, and it was emptied just before.
    (void)list.load_file(store_file_path(folder, name));
}

std::string upper_case(std::string_view code) {
    std::string upper(code);
    for (char& c : upper) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return upper;
}

bool airport_code_length(std::string_view code) {
    return code.size() == 3 || code.size() == 4;
}

}  // namespace

std::string store_file_path(const std::string& folder, const char* name) {
    if (folder.empty()) return name;
    return folder + "/" + name;
}

void reload_databases(ReferenceDatabases& databases, Screen& screen, bool verbose) {
    ReferenceList* lists[] = {&databases.flights, &databases.airlines, &databases.types,
                              &databases.modes,   &databases.airports, &databases.ground};
    for (ReferenceList* list : lists) empty_for_reload(*list, verbose);

    load_database(databases.flights, databases.folder, kFlightsFile);
    load_database(databases.airlines, databases.folder, kAirlinesFile);
    load_database(databases.types, databases.folder, kTypesFile);
    load_database(databases.modes, databases.folder, kModesFile);
    load_database(databases.airports, databases.folder, kAirportsFile);
    load_database(databases.ground, databases.folder, kGroundFile);

    if (!verbose) return;
    status_scroll(screen, 0, 3);
    screen_print(screen, Window::kStatus, 0, 1, 1, kStatusLogRow, true, false,
                 "all databases reloaded");
    status_scroll(screen, 0, 3);
    screen_print(screen, Window::kStatus, 0, 1, 1, kStatusLogRow, true, false,
                 "%d airports, %d flights, %d airlines, %d types, %d modes and %d groundstations",
                 databases.airports.count(), databases.flights.count(), databases.airlines.count(),
                 databases.types.count(), databases.modes.count(), databases.ground.count());
}

std::optional<std::string> lookup_reference(ReferenceList& list, std::string_view key,
                                            Screen& screen, bool verbose) {
    ReferenceEntry probe;
    probe.key = std::string(key);
    SearchResult at = list.search(probe);
    if (!at.found) return std::nullopt;
    const ReferenceEntry* entry = list.at(at.index);
    if (entry == nullptr || !entry->value) {
        // A key without a text: dropped until the next reload.
        list.remove_at(at.index);
        return std::nullopt;
    }
    std::string value = *entry->value;
    if (verbose) {
        status_scroll(screen, 0, 3);
        screen_print(screen, Window::kStatus, 0, 1, 1, kStatusLogRow, false, false,
                     "Update %s for %s", value.c_str(), probe.key->c_str());
    }
    return value;
}

std::optional<std::string> lookup_reference(ReferenceList& list, std::string_view key) {
    Screen quiet;
    quiet.daemon = true;
    return lookup_reference(list, key, quiet, false);
}

std::optional<std::string> reference_value(const ReferenceList& list, std::string_view key) {
    ReferenceEntry probe;
    probe.key = std::string(key);
    SearchResult at = list.search(probe);
    if (!at.found) return std::nullopt;
    const ReferenceEntry* entry = list.at(at.index);
    if (entry == nullptr) return std::nullopt;
    return entry->value;
}

std::string expand_route(std::string route, ReferenceDatabases& databases,
                         bool translate_airports) {
    if (!translate_airports) return route;
    const std::string_view text(route);
    const std::size_t first_dash = text.find('-');
    if (first_dash == std::string_view::npos) return route;
    const std::string_view first = text.substr(0, first_dash);
    const std::string_view rest = text.substr(first_dash + 1);
    const std::size_t second_dash = rest.find('-');
    const std::string_view second = rest.substr(0, second_dash);
    std::optional<std::string_view> third;
    if (second_dash != std::string_view::npos) third = rest.substr(second_dash + 1);
    if (!airport_code_length(first) || !airport_code_length(second)) return route;

    std::optional<std::string> first_name = lookup_reference(databases.airports, upper_case(first));
    std::optional<std::string> second_name =
        lookup_reference(databases.airports, upper_case(second));
    std::optional<std::string> third_name;
    if (third) third_name = lookup_reference(databases.airports, upper_case(*third));
    if (!first_name || !second_name) return route;

    std::string expanded = *first_name + "-" + *second_name;
    if (third_name) expanded += " via " + *third_name;
    return expanded;
}

void rescan_collection(ContactList& collection, ReferenceDatabases& databases, Screen& screen,
                       bool translate_airports) {
    status_scroll(screen, 0, 3);
    screen_print(screen, Window::kStatus, 0, 1, 1, kStatusLogRow, false, false,
                 "rescanning your database... please be patient");
    for (std::int32_t i = 0; i < collection.count(); ++i) {
        Message* entry = collection.at(i);
        if (entry == nullptr) continue;
        const std::string_view flight = field_text(entry->flight_id);
        if (!entry->route) {
            entry->route = lookup_reference(databases.flights, flight, screen, true);
            if (entry->route) {
                entry->route =
                    expand_route(std::move(*entry->route), databases, translate_airports);
            }
        }
        if (!entry->aircraft_type) {
            entry->aircraft_type =
                lookup_reference(databases.types, field_text(entry->registration), screen, true);
        }
        if (!entry->airline) {
            entry->airline =
                lookup_reference(databases.airlines, flight.substr(0, 2), screen, true);
        }
    }
}

int clean_collection(ContactList& collection, std::time_t now, long max_age_days, Screen& screen,
                     bool daemon) {
    if (max_age_days <= 0) return 0;
    const std::int64_t days = std::min(max_age_days, kMaxAgeDays);
    const std::int64_t cutoff = static_cast<std::int64_t>(now) - days * kSecondsPerDay;
    if (!daemon) {
        status_scroll(screen, 0, 3);
        screen_print(screen, Window::kStatus, 0, 1, 1, kStatusLogRow, false, false,
                     "cleaning database.... please wait...");
    }
    // Oldest entries end up last; every entry is examined, so the count does
    // not depend on how the sort placed equal times.
    int removed = 0;
    collection.set_compare(&compare_time_order);
    collection.sort();
    for (std::int32_t i = collection.count() - 1; i >= 0; --i) {
        const Message* entry = collection.at(i);
        if (entry != nullptr && std::int64_t{entry->time} < cutoff) {
            collection.remove_at(i);
            ++removed;
        }
    }
    collection.set_compare(&compare_date_order);
    collection.sort();
    if (!daemon) {
        status_scroll(screen, 0, 3);
        screen_print(screen, Window::kStatus, 0, 3, 1, kStatusLogRow, true, false,
                     "%d old items deleted from your database", removed);
    }
    return removed;
}

}  // namespace korvad
