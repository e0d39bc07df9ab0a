#pragma once
// Running figures: the counters line of the status window, the two daily
// statistics (additions to the aircraft collection per aircraft type and per
// airline since the last day change) with the lines of their overlay window
// (drawn by control/notices.h), and the new-contact register (-N: aircraft
// heard for the first time, one entry per registration, written to the
// NewRegs log at each day change).
//
// Statistics entries: key = the name (or "-= unknown =-"), value = "1",
// tally = additions. Natural order: key byte-wise; shown in count order
// (tally descending, equal tallies by key ascending).

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "message/message.h"
#include "store/record_list.h"
#include "store/record_list_contact.h"

namespace korvad {

inline constexpr const char* kTypeStatisticsFile = "type_statistics.db";
inline constexpr const char* kAirlineStatisticsFile = "airline_statistics.db";
inline constexpr const char* kNewContactsFile = "korvad-newregs.db";
inline constexpr const char* kUnknownName = "-= unknown =-";

// --- Counters line -----------------------------------------------------------

// "Good: %ld, Upl: %ld, Err parity: %ld, block: %ld, crc: %ld"; the caller
// shows it on the status window and sends it (message/notices.h).
[[nodiscard]] std::string counters_text(const Counters& counters);

// --- Daily statistics ----------------------------------------------------------

struct DailyStatistics {
    ReferenceList types = make_reference_list(10, 10);
    ReferenceList airlines = make_reference_list(10, 10);
};

enum class StatisticsView { types = 1, airlines = 2 };

// The name a statistic counts an addition under: name, or "-= unknown =-"
// when there is none (or it is empty).
[[nodiscard]] std::string statistic_name(const std::optional<std::string>& name);

// The statistics offer: name, or "-= unknown =-" when there is none, is
// added with tally 1 or has its tally raised by 1.
void offer_statistic(ReferenceList& statistic, const std::optional<std::string>& name);

// Count order: tally descending, equal tallies by key ascending.
int compare_count_order(const ReferenceEntry& a, const ReferenceEntry& b);

// One line of the window: the key laid over 46 dots, then the tally with
// "%s%04ld"; at most 63 characters.
[[nodiscard]] std::string statistics_line(const ReferenceEntry& entry);

// The lines of the entries with the highest tallies, at most max_lines, in
// count order (keys T and A show them, control/notices.h). The list is sorted
// into count order for this and back into key order before it returns.
[[nodiscard]] std::vector<std::string> statistics_lines(ReferenceList& list, int max_lines);

// Day change: both lists emptied (entries and storage), not saved; the files
// keep the old figures until the next exit.
void empty_statistics(DailyStatistics& statistics);

// Releases every entry and the slot array of a list.
template <typename T>
void empty_list(RecordList<T>& list) {
    list.free_all();
    list.pack();
    list.set_limit(0);
}

// --- New-contact register --------------------------------------------------

// An empty register: a contact list of limit 30, delta 10, in registration order.
[[nodiscard]] ContactList make_new_contact_register();

// Extended mode, a registration not in the collection: copies the message's
// time .. flight_id into a new register entry with copies of its type,
// airline and route (no text). A registration already in the register
// changes nothing and returns false; true when added (the caller shows
// "First contact with '%s'").
[[nodiscard]] bool record_first_contact(ContactList& new_contacts, const Message& message);

}  // namespace korvad
