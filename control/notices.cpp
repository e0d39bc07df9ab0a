#include "control/notices.h"

#include <algorithm>
#include <string>
#include <vector>

#include "common/format.h"

namespace korvad {

namespace {

// The statistics window: n + 2 rows of 54 columns from row 5, 56 columns
// from the right edge; the list shows as many entries as LINES - 14 allows.
constexpr int kStatisticsColumns = 54;
constexpr int kStatisticsTop = 5;
constexpr int kStatisticsRightGap = 56;
constexpr int kStatisticsRowsAround = 14;
constexpr int kStatisticsInner = 52;  // blanked width of a row, from column 1

}  // namespace

DatabaseCounts reload_and_show(Screen& screen, ReferenceDatabases& databases, bool verbose) {
    const DatabaseCounts counts = reload_databases(databases, verbose);
    if (verbose) {
        status_line(screen, ColourPair::kWhiteOnBlue, true, "all databases reloaded");
        status_line(screen, ColourPair::kWhiteOnBlue, true,
                    "%d airports, %d flights, %d airlines, %d types, %d modes and %d "
                    "groundstations",
                    counts.airports, counts.flights, counts.airlines, counts.types, counts.modes,
                    counts.ground);
    }
    return counts;
}

void rescan_and_show(Screen& screen, ContactList& collection, ReferenceDatabases& databases,
                     bool translate_airports) {
    status_line(screen, ColourPair::kWhiteOnBlue, false,
                "rescanning your database... please be patient");
    for (const ReferenceUpdate& update :
         rescan_collection(collection, databases, translate_airports)) {
        status_line(screen, ColourPair::kWhiteOnBlue, false, "Update %s for %s",
                    update.value.c_str(), update.key.c_str());
    }
}

int clean_and_show(Screen& screen, ContactList& collection, std::time_t now, long max_age_days,
                   bool daemon) {
    if (max_age_days <= 0) return 0;
    if (!daemon) {
        status_line(screen, ColourPair::kWhiteOnBlue, false,
                    "cleaning database.... please wait...");
    }
    const int removed = clean_collection(collection, now, max_age_days);
    if (!daemon) {
        status_line(screen, ColourPair::kYellowOnBlue, true,
                    "%d old items deleted from your database", removed);
    }
    return removed;
}

void show_statistics(Screen& screen, DailyStatistics& statistics, StatisticsView which) {
    if (statistics_window_shown(screen)) {
        statistics_window_close(screen);  // redraws the messages it covered
        return;
    }
    const bool types = which == StatisticsView::types;
    ReferenceList& list = types ? statistics.types : statistics.airlines;
    const std::vector<std::string> lines =
        statistics_lines(list, screen.lines - kStatisticsRowsAround);
    const int rows = static_cast<int>(lines.size());

    statistics_window_open(screen, rows + 2, kStatisticsColumns, kStatisticsTop,
                           screen.columns - kStatisticsRightGap,
                           types ? ColourPair::kBlackOnWhite : ColourPair::kBlackOnYellow);
    statistics_window_write(
        screen, 0, 2, format_text("-=[ Daily %s statistics ]=-", types ? "Types" : "Airlines"));
    for (int row = 1; row <= rows; ++row) {
        clear_row(screen, Window::kStatistics, row, 1, kStatisticsInner);
    }
    for (int j = 0; j < rows; ++j) {
        if (!lines[j].empty()) statistics_window_write(screen, j + 1, 2, lines[j]);
    }
    screen_refresh(screen, Window::kStatistics);
}

}  // namespace korvad
