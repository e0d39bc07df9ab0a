#include "store/collection.h"

#include "common/local_time.h"

#include <charconv>
#include <cstring>

#include "common/format.h"
#include "store/statistics.h"
#include "store/stores.h"

namespace korvad {

namespace {

// The collection is written after every 31st addition.
constexpr std::int32_t kAdditionsPerSave = 30;  // additions before the one that saves
constexpr std::size_t kContactTextSize = 4096;  // contact_to_text's buffer, NUL included

int compare_numbers(std::int64_t a, std::int64_t b) {
    return (a > b) - (a < b);
}

void put_date_order_back(ContactList& list) {
    list.set_compare(&compare_date_order);
    list.sort();
}

std::string_view key_of(const Message& record, ContactKey which) {
    return which == ContactKey::registration ? field_text(record.registration)
                                             : field_text(record.flight_id);
}

// A decimal number and nothing else.
bool parse_time(std::string_view text, std::int64_t& value) {
    if (text.empty()) return false;
    const char* end = text.data() + text.size();
    auto [stop, error] = std::from_chars(text.data(), end, value);
    return error == std::errc{} && stop == end;
}

// A character field of contact_to_text: a zero character is a blank, as in
// the other text forms.
char one_character(char c) {
    return c == '\0' ? ' ' : c;
}

const char* text_or_empty(const std::optional<std::string>& text) {
    return text ? text->c_str() : "";
}

}  // namespace

int compare_registration_order(const Message& a, const Message& b) {
    return field_text(a.registration).compare(field_text(b.registration));
}

int compare_flight_order(const Message& a, const Message& b) {
    return field_text(a.flight_id).compare(field_text(b.flight_id));
}

int compare_time_order(const Message& a, const Message& b) {
    return compare_numbers(b.time, a.time);
}

std::string contact_time_text(std::time_t t) {
    return local_time_text(t, "%02d/%02m/%Y %02H:%02M");
}

CollectionAddition add_to_collection(Stores& stores, std::unique_ptr<Message> message,
                                     Counters& counters) {
    CollectionAddition addition;
    if (!stores.collection || message == nullptr) return addition;
    ContactList& collection = *stores.collection;
    if (collection.compare() != &compare_date_order) put_date_order_back(collection);

    const Message* added = message.get();
    const std::int32_t result = collection.insert_unique(message);
    if (result >= 0) {
        addition.result = AddResult::already_present;  // message released here
        addition.entries = collection.count();
        return addition;
    }
    if (result != ContactList::kInserted) return addition;

    addition.result = AddResult::added;
    addition.registration = std::string(field_text(added->registration));
    addition.type_name = statistic_name(added->aircraft_type);
    addition.airline_name = statistic_name(added->airline);
    if (stores.statistics) {
        offer_statistic(stores.statistics->types, added->aircraft_type);
        offer_statistic(stores.statistics->airlines, added->airline);
    }

    const std::int32_t before = counters.collection_additions++;
    if (before >= kAdditionsPerSave) {
        // A file that cannot be written keeps its last good copy; the entries
        // stay in memory for the next save.
        addition.saved = true;
        std::string reason;
        addition.save_failed =
            !save_collection(collection, store_file_path(stores.folder, kCollectionFile), &reason);
        if (addition.save_failed)
            addition.save_error = format_text("%s: %s", kCollectionFile, reason.c_str());
        counters.collection_additions = 0;
    }
    addition.entries = collection.count();
    return addition;
}

ContactInformation contact_information(ContactList& collection, std::string_view registration) {
    // One pass over the collection in its own order gives the same count and
    // oldest entry as a range in registration order, without sorting the
    // collection twice for every message.
    std::int32_t contacts = 0;
    const Message* oldest = nullptr;
    const bool fits = registration.size() < kRegistrationSize &&
                      registration.find('\0') == std::string_view::npos;
    for (std::int32_t i = 0; fits && i < collection.count(); ++i) {
        const Message* entry = collection.at(i);
        if (entry == nullptr || field_text(entry->registration) != registration) continue;
        ++contacts;
        if (oldest == nullptr || entry->time < oldest->time) oldest = entry;
    }
    ContactInformation information;
    if (oldest == nullptr) {
        information.first_contact = true;
        information.line = "First contact with this aircraft";
        return information;
    }
    const std::string flight(field_text(oldest->flight_id));
    information.line =
        format_text("%d contacts with this aircraft. First contact: %s as flight %s", contacts,
                    contact_time_text(oldest->time).c_str(), flight.c_str());
    return information;
}

ContactRange contact_range(const ContactList& list, std::string_view key, ContactKey which) {
    ContactRange range;
    const bool by_registration = which == ContactKey::registration;
    const auto order = by_registration ? &compare_registration_order : &compare_flight_order;
    if (list.compare() != order) {
        range.status = -2;
        return range;
    }
    const std::size_t field_size = by_registration ? kRegistrationSize : kFlightIdSize;
    if (key.size() >= field_size || key.find('\0') != std::string_view::npos) return range;

    std::unique_ptr<Message> probe = make_message();
    if (by_registration) {
        set_field(probe->registration, key);
    } else {
        set_field(probe->flight_id, key);
    }
    const SearchResult at = list.search(*probe);
    if (!at.found) return range;

    // search() gives the first of the run of equal keys.
    std::int32_t last = at.index;
    while (last + 1 < list.count()) {
        const Message* next = list.at(last + 1);
        if (next == nullptr || key_of(*next, which) != key) break;
        ++last;
    }
    range.status = 0;
    range.first = at.index;
    range.last = last;
    return range;
}

std::int32_t oldest_contact(const ContactList& list, std::int32_t first, std::int32_t last) {
    if (first > last || first < 0 || last >= list.count()) return -1;
    std::int32_t oldest = -1;
    for (std::int32_t i = first; i <= last; ++i) {
        const Message* entry = list.at(i);
        if (entry == nullptr) continue;
        if (oldest < 0 || entry->time < list.at(oldest)->time) oldest = i;
    }
    return oldest;
}

int delete_contact(std::string& request, ContactList& collection,
                   const std::optional<std::string>& delete_code) {
    const std::size_t first_tab = request.find('\t');
    if (first_tab == std::string::npos) return kDeleteMalformed;

    collection.set_compare(&compare_registration_order);
    collection.sort();

    const std::string registration = request.substr(0, first_tab);
    request[first_tab] = ' ';
    const ContactRange range = contact_range(collection, registration, ContactKey::registration);
    if (range.status != 0) {
        put_date_order_back(collection);
        return kDeleteNotFound;
    }

    // The rest: flight id, time and code, separated by tabs.
    const std::string rest = request.substr(first_tab + 1);
    const std::size_t flight_end = rest.find('\t');
    const std::string flight = rest.substr(0, flight_end);
    std::optional<std::string> time_field;
    std::optional<std::string> code_field;
    if (flight_end != std::string::npos) {
        request.resize(first_tab + 1 + flight_end);  // the request now ends after the flight id
        const std::size_t time_end = rest.find('\t', flight_end + 1);
        time_field = rest.substr(flight_end + 1, time_end - (flight_end + 1));
        if (time_end != std::string::npos) {
            const std::size_t code_end = rest.find('\t', time_end + 1);
            code_field = rest.substr(time_end + 1, code_end - (time_end + 1));
        }
    }

    int result = kDeleteNoMatch;
    std::int64_t time = 0;
    // An empty delete code counts as none: an empty code field must not open
    // the collection to every client.
    const bool code_matches =
        delete_code && !delete_code->empty() && code_field && *code_field == *delete_code;
    if (code_matches && time_field && parse_time(*time_field, time)) {
        for (std::int32_t i = range.first; i <= range.last; ++i) {
            const Message* entry = collection.at(i);
            if (entry != nullptr && std::int64_t{entry->time} == time &&
                field_text(entry->flight_id) == flight) {
                collection.remove_at(i);
                result = kDeleteRemoved;
                break;
            }
        }
    }
    put_date_order_back(collection);
    return result;
}

std::string contact_to_text(const Message& record) {
    char text[kContactTextSize] = {};
    const std::string registration(field_text(record.registration));
    const std::string label(field_text(record.label));
    const std::string number(field_text(record.message_number));
    const std::string flight(field_text(record.flight_id));
    format_into(text, sizeof text, "%ld\t%d\t%d\t%d\t%c\t%s\t%c\t%s\t%s\t%s\t%s\t%s\t%s\t%s",
                static_cast<long>(record.time), record.day, record.month, record.year,
                one_character(record.mode), label.c_str(), one_character(record.block_id),
                registration.c_str(), number.c_str(), flight.c_str(), text_or_empty(record.text),
                text_or_empty(record.aircraft_type), text_or_empty(record.route),
                text_or_empty(record.airline));
    return text;
}

}  // namespace korvad
