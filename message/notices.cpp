#include "message/notices.h"

#include <string>

#include "control/queue/codes.h"
#include "store/statistics.h"

namespace korvad {

namespace {

// "Aircraft '" and "First contact with '" are ten and twenty characters
// long: the registration starts right after them.
constexpr int kAddedGapColumn = 11;
constexpr int kFirstContactGapColumn = 21;

}  // namespace

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
void status_line_with_gap(Screen& screen, const char* format, std::string_view text,
                          int gap_column) {
    const std::string value(text);
    status_line(screen, ColourPair::kWhiteOnBlue, false, format,
                std::string(value.size(), ' ').c_str());
    screen_print(screen, Window::kStatus, ColourPair::kYellowOnBlue, gap_column, kStatusLogRow,
                 true, false, "%s", value.c_str());
}
#pragma GCC diagnostic pop

void counters_line(Screen& screen, const Counters& counters, const ServerChannel& channel) {
    const std::string text = counters_text(counters);
    screen_print(screen, Window::kStatus, ColourPair::kWhiteOnBlue, 3, 0, true, false, "-=[ %s ]=-",
                 text.c_str());
    (void)channel.send(queue_code::kCounters, text.c_str());
}

void show_addition(Screen& screen, const ServerChannel& channel, const CollectionAddition& addition,
                   bool daemon) {
    if (addition.result != AddResult::added) return;
    status_line_with_gap(screen, "Aircraft '%s' was added to your database", addition.registration,
                         kAddedGapColumn);
    (void)channel.send(queue_code::kTypeStatistic, addition.type_name.c_str());
    (void)channel.send(queue_code::kAirlineStatistic, addition.airline_name.c_str());
    if (addition.save_failed) {
        // Shown in daemon mode too: nobody must believe the file holds them.
        status_line(screen, ColourPair::kRedOnBlue, true, "Saving failed: %s",
                    addition.save_error.c_str());
    } else if (addition.saved && !daemon) {
        status_line(screen, ColourPair::kWhiteOnBlue, true,
                    "Your ACARS collection contains %d entries", addition.entries);
    }
}

void show_first_contact(Screen& screen, std::string_view registration) {
    status_line_with_gap(screen, "First contact with '%s'", registration, kFirstContactGapColumn);
}

}  // namespace korvad
