#include "store/reference.h"

#include <algorithm>
#include <cstdint>

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

DatabaseCounts reload_databases(ReferenceDatabases& databases, bool verbose) {
    ReferenceList* lists[] = {&databases.flights, &databases.airlines, &databases.types,
                              &databases.modes,   &databases.airports, &databases.ground};
    for (ReferenceList* list : lists) empty_for_reload(*list, verbose);

    load_database(databases.flights, databases.folder, kFlightsFile);
    load_database(databases.airlines, databases.folder, kAirlinesFile);
    load_database(databases.types, databases.folder, kTypesFile);
    load_database(databases.modes, databases.folder, kModesFile);
    load_database(databases.airports, databases.folder, kAirportsFile);
    load_database(databases.ground, databases.folder, kGroundFile);

    DatabaseCounts counts;
    counts.flights = databases.flights.count();
    counts.airlines = databases.airlines.count();
    counts.types = databases.types.count();
    counts.modes = databases.modes.count();
    counts.airports = databases.airports.count();
    counts.ground = databases.ground.count();
    return counts;
}

std::optional<std::string> lookup_reference(ReferenceList& list, std::string_view key) {
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
    return *entry->value;
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

std::optional<RouteParts> split_route(std::string_view route) {
    const std::size_t first_dash = route.find('-');
    if (first_dash == std::string_view::npos) return std::nullopt;
    RouteParts parts;
    parts.first = route.substr(0, first_dash);
    const std::string_view rest = route.substr(first_dash + 1);
    const std::size_t second_dash = rest.find('-');
    parts.second = rest.substr(0, second_dash);
    if (second_dash != std::string_view::npos) parts.third = rest.substr(second_dash + 1);
    parts.codes_ok = airport_code_length(parts.first) && airport_code_length(parts.second) &&
                     (!parts.third || airport_code_length(*parts.third));
    return parts;
}

std::string expand_route(std::string route, ReferenceDatabases& databases,
                         bool translate_airports) {
    if (!translate_airports) return route;
    const std::optional<RouteParts> parts = split_route(route);
    if (!parts) return route;
    const std::string_view first = parts->first;
    const std::string_view second = parts->second;
    const std::optional<std::string_view> third = parts->third;
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

std::vector<ReferenceUpdate> rescan_collection(ContactList& collection,
                                               ReferenceDatabases& databases,
                                               bool translate_airports) {
    std::vector<ReferenceUpdate> updates;
    // A lookup that finds a value is reported with its key.
    auto look_up = [&updates](ReferenceList& list, std::string_view key) {
        std::optional<std::string> value = lookup_reference(list, key);
        if (value) updates.push_back({*value, std::string(key)});
        return value;
    };
    for (std::int32_t i = 0; i < collection.count(); ++i) {
        Message* entry = collection.at(i);
        if (entry == nullptr) continue;
        const std::string_view flight = field_text(entry->flight_id);
        if (!entry->route) {
            entry->route = look_up(databases.flights, flight);
            if (entry->route) {
                entry->route =
                    expand_route(std::move(*entry->route), databases, translate_airports);
            }
        }
        if (!entry->aircraft_type) {
            entry->aircraft_type = look_up(databases.types, field_text(entry->registration));
        }
        if (!entry->airline) entry->airline = look_up(databases.airlines, flight.substr(0, 2));
    }
    return updates;
}

int clean_collection(ContactList& collection, std::time_t now, long max_age_days) {
    if (max_age_days <= 0) return 0;
    const std::int64_t days = std::min(max_age_days, kMaxAgeDays);
    const std::int64_t cutoff = static_cast<std::int64_t>(now) - days * kSecondsPerDay;
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
    return removed;
}

}  // namespace korvad
