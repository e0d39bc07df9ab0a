#pragma once
// The main process's view of its stores: it runs the maintenance of the
// reference databases and the collection and shows what they did on the
// status window, and draws the daily statistics window (keys T and A). The
// stores themselves only return what happened.

#include <ctime>

#include "screen/screen.h"
#include "store/collection.h"
#include "store/reference.h"
#include "store/statistics.h"

namespace korvad {

// reload_databases; verbose: then "all databases reloaded" and "%d airports,
// %d flights, %d airlines, %d types, %d modes and %d groundstations" (white
// on blue, bold).
DatabaseCounts reload_and_show(Screen& screen, ReferenceDatabases& databases, bool verbose);

// -r: "rescanning your database... please be patient", then "Update %s for
// %s" for every value the rescan found (white on blue).
void rescan_and_show(Screen& screen, ContactList& collection, ReferenceDatabases& databases,
                     bool translate_airports);

// -O: unless daemon, "cleaning database.... please wait..." before and "%d
// old items deleted from your database" (yellow on blue, bold) after.
// Returns the number removed.
int clean_and_show(Screen& screen, ContactList& collection, std::time_t now, long max_age_days,
                   bool daemon);

// Keys T (types) and A (airlines). When a statistics window is shown, of
// either kind, it is closed and nothing else happens. Otherwise the window
// opens at row 5, right-aligned (54 columns, black on white for types, black
// on yellow for airlines) with "-=[ Daily %s statistics ]=-" and the entries
// with the highest tallies, as many as the terminal height minus 14 allows.
void show_statistics(Screen& screen, DailyStatistics& statistics, StatisticsView which);

}  // namespace korvad
