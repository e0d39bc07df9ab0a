#include "store/statistics.h"

#include <algorithm>

#include "common/format.h"
#include "store/collection.h"

namespace korvad {

namespace {

constexpr std::size_t kDotRun = 46;    // a key is laid over this many dots
constexpr std::size_t kLineSize = 64;  // a line is at most 63 characters

int compare_numbers(std::int64_t a, std::int64_t b) {
    return (a > b) - (a < b);
}

std::string_view key_text(const ReferenceEntry& entry) {
    return entry.key ? std::string_view(*entry.key) : std::string_view();
}

}  // namespace

std::string counters_text(const Counters& counters) {
    return format_text(
        "Good: %ld, Upl: %ld, Err parity: %ld, block: %ld, crc: %ld",
        static_cast<long>(counters.good_count), static_cast<long>(counters.uplink_count),
        static_cast<long>(counters.parity_error_count),
        static_cast<long>(counters.block_error_count), static_cast<long>(counters.crc_error_count));
}

std::string statistic_name(const std::optional<std::string>& name) {
    // An empty name would be stored as "no string" and not read back.
    return name && !name->empty() ? *name : std::string(kUnknownName);
}

void offer_statistic(ReferenceList& statistic, const std::optional<std::string>& name) {
    auto entry = std::make_unique<ReferenceEntry>();
    entry->key = statistic_name(name);
    entry->value = "1";
    entry->tally = 1;
    // Present already: its tally went up and our entry is released here.
    (void)add_or_count(statistic, entry, true);
}

int compare_count_order(const ReferenceEntry& a, const ReferenceEntry& b) {
    if (int r = compare_numbers(b.tally, a.tally)) return r;
    return key_text(a).compare(key_text(b));
}

std::string statistics_line(const ReferenceEntry& entry) {
    std::string laid(kDotRun, '.');
    const std::string_view key = key_text(entry);
    if (key.size() >= kDotRun) {
        laid.assign(key);
    } else {
        laid.replace(0, key.size(), key);
    }
    char line[kLineSize] = {};
    format_into(line, sizeof line, "%s%04ld", laid.c_str(), static_cast<long>(entry.tally));
    return line;
}

std::vector<std::string> statistics_lines(ReferenceList& list, int max_lines) {
    const int rows = std::max(0, std::min(list.count(), max_lines));
    std::vector<std::string> lines;
    list.set_compare(&compare_count_order);
    list.sort();
    for (int j = 0; j < rows; ++j) {
        const ReferenceEntry* entry = list.at(j);
        lines.push_back(entry != nullptr ? statistics_line(*entry) : std::string());
    }
    list.set_compare(&compare_reference_keys);
    list.sort();
    return lines;
}

void empty_statistics(DailyStatistics& statistics) {
    empty_list(statistics.types);
    empty_list(statistics.airlines);
}

ContactList make_new_contact_register() {
    ContactList new_contacts = make_contact_list(30, 10);
    new_contacts.set_compare(&compare_registration_order);
    return new_contacts;
}

bool record_first_contact(ContactList& new_contacts, const Message& message) {
    std::unique_ptr<Message> entry = make_message();
    entry->time = message.time;
    entry->day = message.day;
    entry->month = message.month;
    entry->year = message.year;
    entry->mode = message.mode;
    entry->block_id = message.block_id;
    set_field(entry->label, field_text(message.label));
    set_field(entry->registration, field_text(message.registration));
    set_field(entry->message_number, field_text(message.message_number));
    set_field(entry->flight_id, field_text(message.flight_id));
    Message* added = entry.get();

    if (new_contacts.compare() != &compare_registration_order) {
        new_contacts.set_compare(&compare_registration_order);
        new_contacts.sort();
    }
    if (new_contacts.insert_unique(entry) != ContactList::kInserted) return false;

    added->aircraft_type = message.aircraft_type;
    added->airline = message.airline;
    added->route = message.route;
    return true;
}

}  // namespace korvad
