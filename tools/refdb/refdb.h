#pragma once
// The reference databases from files people have: the tab-separated form the
// station's own tools write, and OpenFlights' airports.dat and airlines.dat.
//
// Tab-separated line:   key<TAB>value[<TAB>tally]
//   (what "korvad-refdb dump" prints; '#' lines and blank lines are skipped)
//
// OpenFlights lines are CSV: fields separated by ',', texts in double quotes
// (a quote inside one doubled, or written \"), \N unquoted for a missing
// value. The fields used:
//
//   airports.dat  0 id, 1 name, 2 city, 3 country, 4 IATA, 5 ICAO, ...
//                 (12 fields in old files, 14 in current ones)
//   airlines.dat  0 id, 1 name, 2 alias, 3 IATA, 4 ICAO, 5 callsign,
//                 6 country, 7 active ("Y" or "N")
//
// An airport is entered under its IATA code (3 characters) and under its
// ICAO code (4 characters), upper case, as the route expansion looks them up;
// the value is the name as a route shows it: "London Heathrow Airport" (city
// and name; the name alone when it already holds the city). An airline is
// entered under its two-character IATA code, as flight ids begin. "-", "N/A",
// an empty field or \N is no code. Names stay the bytes they are (UTF-8 in
// OpenFlights); a name with a control character (a tab, a line feed) would
// break the tab-separated texts of clients and is refused with its line.

#include <cstdint>
#include <istream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store/record_list.h"

namespace korvad {

// One field of a CSV line: none for an unquoted \N.
using CsvField = std::optional<std::string>;

// Splits one line (without its line feed) into fields. False, with the
// fields so far, when a quote is not closed or a closing quote is followed
// by anything but ',' or the end of the line.
[[nodiscard]] bool split_csv_line(std::string_view line, std::vector<CsvField>& fields);

enum class OpenFlightsFile { kAirports, kAirlines };

// A line the import did not take as it stood, for the report.
struct ImportNote {
    int line = 0;
    std::string what;  // "bad line: ..." or "duplicate code ..."
};

struct ImportReport {
    int lines = 0;                  // lines read, blank ones included
    int records = 0;                // lines with a code and a name, duplicates included
    int without_code = 0;           // well-formed lines without any usable code
    int duplicates = 0;             // codes given by more than one line
    int bad_lines = 0;              // lines not in the form (skipped)
    std::vector<ImportNote> notes;  // the first kMaxImportNotes of these
};
inline constexpr std::size_t kMaxImportNotes = 20;

// The database of an OpenFlights file, with the sizes the station gives that
// database (airports 1000 / 100, airlines 5000 / 100). Duplicate codes: for airlines an
// active line wins over an inactive one, otherwise the first line; for
// airports the first line. Bad lines are counted and skipped.
[[nodiscard]] ReferenceList import_openflights(OpenFlightsFile kind, std::istream& in,
                                               ImportReport& report);

// The database of tab-separated lines. A line that is not key<TAB>value with
// an optional decimal tally is a bad line; a key given twice is a duplicate
// (the first line stays). Both are counted and skipped.
[[nodiscard]] ReferenceList import_reference_text(std::istream& in, ImportReport& report);

struct MergeCounts {
    int added = 0;
    int replaced = 0;   // the key was there with another value
    int unchanged = 0;  // the key was there with this value
};

// Adds every entry of from to into, replacing the value (and tally) of a key
// that is already there; the other entries of into stay. False when into is
// full (counts then tell how far it got).
[[nodiscard]] bool merge_reference(ReferenceList& into, const ReferenceList& from,
                                   MergeCounts& counts);

}  // namespace korvad
