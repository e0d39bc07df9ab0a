// The importers on lines written by hand in the OpenFlights form and in the
// station's tab-separated form.

#include "tools/refdb/refdb.h"

#include <gtest/gtest.h>

#include <sstream>

#include "store/reference.h"

namespace korvad {
namespace {

std::string value_of(const ReferenceList& list, std::string_view key) {
    return reference_value(list, key).value_or("<none>");
}

TEST(CsvLine, SplitsQuotedUnquotedAndMissingFields) {
    struct Case {
        std::string line;
        bool ok;
        std::vector<CsvField> fields;
    };
    const Case cases[] = {
        {R"(1,"Goroka Airport","Goroka",\N,"GKA")",
         true,
         {"1", "Goroka Airport", "Goroka", std::nullopt, "GKA"}},
        {R"("Comma, inside","x")", true, {"Comma, inside", "x"}},
        {R"("Doubled ""quote""",2)", true, {"Doubled \"quote\"", "2"}},
        {R"("Backslash \"quote\"",2)", true, {"Backslash \"quote\"", "2"}},
        {R"(,,"")", true, {"", "", ""}},
        {R"("\N",\N)", true, {"\\N", std::nullopt}},
        {R"(1,"Not closed)", false, {"1"}},
        {R"("closed"x,2)", false, {}},
        {R"(1,bare"quote)", false, {"1"}},
    };
    for (const Case& c : cases) {
        std::vector<CsvField> fields;
        EXPECT_EQ(split_csv_line(c.line, fields), c.ok) << c.line;
        if (c.ok) {
            EXPECT_EQ(fields, c.fields) << c.line;
        }
    }
}

// airports.dat as OpenFlights writes it (current 14-field lines and one old
// 12-field line), with the cases the importer must get right.
constexpr const char kAirports[] =
    "1,\"Goroka Airport\",\"Goroka\",\"Papua New Guinea\",\"GKA\",\"AYGA\",-6.08,145.39,5282,10,"
    "\"U\",\"Pacific/Port_Moresby\",\"airport\",\"OurAirports\"\n"
    "507,\"London Heathrow Airport\",\"London\",\"United Kingdom\",\"LHR\",\"EGLL\",51.47,-0.46,83,"
    "0,\"E\",\"Europe/London\",\"airport\",\"OurAirports\"\r\n"
    "340,\"Frankfurt am Main Airport\",\"Frankfurt\",\"Germany\",\"FRA\",\"EDDF\",50.03,8.57,364,1,"
    "\"E\",\"Europe/Berlin\",\"airport\",\"OurAirports\"\n"
    "1678,\"Z\xC3\xBCrich Airport\",\"Zurich\",\"Switzerland\",\"ZRH\",\"LSZH\",47.46,8.54,1416,1,"
    "\"E\",\"Europe/Zurich\",\"airport\",\"OurAirports\"\n"
    "2279,\"Bogot\xC3\xA1 El Dorado, Terminal 1\",\"Bogot\xC3\xA1\",\"Colombia\",\"BOG\",\"SKBO\","
    "4.70,-74.14,8361,-5,\"S\",\"America/Bogota\",\"airport\",\"OurAirports\"\n"
    // Only an ICAO code: entered under it alone.
    "5,\"Port Moresby Jacksons Airport\",\"Port Moresby\",\"Papua New Guinea\",\\N,\"AYPY\","
    "-9.44,147.22,146,10,\"U\",\"Pacific/Port_Moresby\",\"airport\",\"OurAirports\"\n"
    // No code at all: a station, not an airport.
    "8810,\"Hamburg Hbf\",\"Hamburg\",\"Germany\",\\N,\\N,53.55,10.00,30,1,\"E\",\"Europe/Berlin\","
    "\"station\",\"User\"\n"
    // A second line with LHR: the first stays.
    "9999,\"Heathrow Duplicate\",\"London\",\"United Kingdom\",\"LHR\",\\N,0,0,0,0,\"E\","
    "\"Europe/London\",\"airport\",\"User\"\n"
    // An old line of 12 fields, a code in lower case, a quoted quote.
    "3797,\"John F \"\"Kennedy\"\" International Airport\",\"New York\",\"United States\","
    "\"jfk\",\"KJFK\",40.63,-73.77,13,-5,\"A\",\"America/New_York\"\n"
    "\n"
    // Bad lines: unbalanced quotes, too few fields, a tab in the name, no name.
    "7,\"Broken "
    "Airport,\"Town\",\"Nowhere\",\"BRK\",\"XBRK\",0,0,0,0,\"U\",\"x\",\"airport\",\"x\"\n"
    "8,\"Short\",\"Town\",\"XSH\"\n"
    "9,\"Tab\tAirport\",\"Town\",\"Nowhere\",\"TAB\",\"XTAB\",0,0,0,0,\"U\",\"x\",\"airport\","
    "\"x\"\n"
    "10,\\N,\\N,\"Nowhere\",\"NON\",\"XNON\",0,0,0,0,\"U\",\"x\",\"airport\",\"x\"\n";

TEST(OpenFlightsAirports, BothCodesToCityAndName) {
    std::istringstream in(kAirports);
    ImportReport report;
    ReferenceList list = import_openflights(OpenFlightsFile::kAirports, in, report);

    const std::pair<const char*, const char*> expected[] = {
        {"GKA", "Goroka Airport"},
        {"AYGA", "Goroka Airport"},
        {"LHR", "London Heathrow Airport"},
        {"EGLL", "London Heathrow Airport"},
        {"FRA", "Frankfurt am Main Airport"},
        {"EDDF", "Frankfurt am Main Airport"},
        {"ZRH", "Zurich Z\xC3\xBCrich Airport"},
        {"LSZH", "Zurich Z\xC3\xBCrich Airport"},
        {"BOG", "Bogot\xC3\xA1 El Dorado, Terminal 1"},
        {"AYPY", "Port Moresby Jacksons Airport"},
        {"JFK", "New York John F \"Kennedy\" International Airport"},
        {"KJFK", "New York John F \"Kennedy\" International Airport"},
    };
    for (const auto& [key, value] : expected) EXPECT_EQ(value_of(list, key), value) << key;
    EXPECT_EQ(list.count(), 13);  // the twelve above and SKBO
    EXPECT_TRUE(list.is_ordered());

    EXPECT_EQ(report.lines, 14);
    EXPECT_EQ(report.records, 8);  // the duplicate LHR line included
    EXPECT_EQ(report.without_code, 1);
    EXPECT_EQ(report.duplicates, 1);
    EXPECT_EQ(report.bad_lines, 4);
    std::vector<std::pair<int, std::string>> notes;
    for (const ImportNote& n : report.notes) notes.emplace_back(n.line, n.what);
    const std::vector<std::pair<int, std::string>> wanted = {
        {8, "duplicate code 'LHR', first on line 2: the first stays"},
        {11, "bad line: unbalanced quotes"},
        {12, "bad line: fewer than 12 fields"},
        {13, "bad line: control character in name"},
        {14, "bad line: no name"},
    };
    EXPECT_EQ(notes, wanted);
}

constexpr const char kAirlines[] =
    "-1,\"Unknown\",\\N,\"-\",\"N/A\",\\N,\\N,\"Y\"\n"
    "324,\"All Nippon Airways\",\"ANA All Nippon Airways\",\"NH\",\"ANA\",\"ALL NIPPON\","
    "\"Japan\",\"Y\"\n"
    // Inactive first, then an active airline with the same code: the active wins.
    "1000,\"Old Lufthansa Cargo\",\\N,\"LH\",\"GEC\",\"LUFTHANSA CARGO\",\"Germany\",\"N\"\n"
    "3320,\"Lufthansa\",\\N,\"LH\",\"DLH\",\"LUFTHANSA\",\"Germany\",\"Y\"\n"
    // Active first, then another active: the first stays.
    "1355,\"British Airways\",\\N,\"BA\",\"BAW\",\"SPEEDBIRD\",\"United Kingdom\",\"Y\"\n"
    "1356,\"BA Other\",\\N,\"BA\",\"XBA\",\"OTHER\",\"United Kingdom\",\"Y\"\n"
    // Active first, then inactive: the first stays.
    "2009,\"Aer Lingus\",\\N,\"EI\",\"EIN\",\"SHAMROCK\",\"Ireland\",\"Y\"\n"
    "2010,\"Aer Lingus Regional\",\\N,\"EI\",\"EIR\",\"\",\"Ireland\",\"N\"\n"
    "4000,\"\xC3\x96sterreichische Luftverkehrs\",\\N,\"os\",\"AUA\",\"AUSTRIAN\",\"Austria\","
    "\"Y\"\n"
    // Codes that are not two letters or digits, and an empty one: no code.
    "5000,\"Three Letters\",\\N,\"ABC\",\"ABC\",\\N,\"X\",\"Y\"\n"
    "5001,\"Empty Code\",\\N,\"\",\"EMP\",\\N,\"X\",\"Y\"\n"
    // Bad: seven fields only.
    "5002,\"Seven\",\\N,\"SV\",\"SVN\",\\N,\"X\"\n";

TEST(OpenFlightsAirlines, ActiveAirlineWinsADuplicateCode) {
    std::istringstream in(kAirlines);
    ImportReport report;
    ReferenceList list = import_openflights(OpenFlightsFile::kAirlines, in, report);
    EXPECT_EQ(value_of(list, "NH"), "All Nippon Airways");
    EXPECT_EQ(value_of(list, "LH"), "Lufthansa");
    EXPECT_EQ(value_of(list, "BA"), "British Airways");
    EXPECT_EQ(value_of(list, "EI"), "Aer Lingus");
    EXPECT_EQ(value_of(list, "OS"), "\xC3\x96sterreichische Luftverkehrs");
    EXPECT_EQ(list.count(), 5);
    EXPECT_EQ(report.records, 8);
    EXPECT_EQ(report.without_code, 3);
    EXPECT_EQ(report.duplicates, 3);
    EXPECT_EQ(report.bad_lines, 1);
    ASSERT_EQ(report.notes.size(), 4u);
    EXPECT_EQ(report.notes[0].what,
              "duplicate code 'LH', first on line 3: this active airline replaces it");
    EXPECT_EQ(report.notes[0].line, 4);
}

TEST(OpenFlightsAirlines, NotesStopAtTheirLimitButCountsGoOn) {
    std::string text;
    for (int i = 0; i < 30; ++i) text += "broken \"line\n";
    std::istringstream in(text);
    ImportReport report;
    ReferenceList list = import_openflights(OpenFlightsFile::kAirlines, in, report);
    EXPECT_EQ(list.count(), 0);
    EXPECT_EQ(report.bad_lines, 30);
    EXPECT_EQ(report.notes.size(), kMaxImportNotes);
}

TEST(ReferenceText, KeyValueAndOptionalTally) {
    std::istringstream in(
        "# airports by hand\n"
        "LHR\tLondon Heathrow\n"
        "\n"
        "CDG\tParis Charles de Gaulle\t7\n"
        "LHR\tLondon again\n"
        "nokey\n"
        "\tno key\n"
        "BAD\tvalue\tnot a number\n"
        "ORY\tParis Orly\r\n");
    ImportReport report;
    ReferenceList list = import_reference_text(in, report);
    EXPECT_EQ(value_of(list, "LHR"), "London Heathrow");
    EXPECT_EQ(value_of(list, "ORY"), "Paris Orly");
    ASSERT_EQ(list.count(), 3);
    EXPECT_EQ(list.at(0)->key, "CDG");
    EXPECT_EQ(list.at(0)->tally, 7);
    EXPECT_EQ(report.records, 3);
    EXPECT_EQ(report.duplicates, 1);
    EXPECT_EQ(report.bad_lines, 3);
}

TEST(Merge, AddsAndReplacesWithoutLosingTheOthers) {
    std::istringstream base_text("AAA\tone\nBBB\ttwo\nCCC\tthree\n");
    std::istringstream more_text("BBB\tzwei\nCCC\tthree\nDDD\tfour\n");
    ImportReport report;
    ReferenceList base = import_reference_text(base_text, report);
    ReferenceList more = import_reference_text(more_text, report);
    MergeCounts counts;
    ASSERT_TRUE(merge_reference(base, more, counts));
    EXPECT_EQ(counts.added, 1);
    EXPECT_EQ(counts.replaced, 1);
    EXPECT_EQ(counts.unchanged, 1);
    ASSERT_EQ(base.count(), 4);
    EXPECT_TRUE(base.is_ordered());
    EXPECT_EQ(value_of(base, "AAA"), "one");
    EXPECT_EQ(value_of(base, "BBB"), "zwei");
    EXPECT_EQ(value_of(base, "DDD"), "four");
}

}  // namespace
}  // namespace korvad
