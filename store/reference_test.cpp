// Reference databases: loading and reloading, lookups with the removal of
// keys without a text, route translation, and the rescan and clean passes
// over the aircraft collection.

#include "store/reference.h"
#include "message/message_test_util.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "common/test_folder.h"
#include "store/collection.h"

namespace korvad {
namespace {

namespace fs = std::filesystem;

struct Pair {
    const char* key;
    const char* value;  // nullptr: an entry without a text
};

void write_database(const std::string& path, const std::vector<Pair>& pairs) {
    ReferenceList list = make_reference_list(10, 10);
    for (const Pair& pair : pairs) {
        auto entry = std::make_unique<ReferenceEntry>();
        entry->key = pair.key;
        if (pair.value != nullptr) entry->value = pair.value;
        ASSERT_TRUE(list.add(entry));
    }
    ASSERT_TRUE(list.save_file(path));
}

void write_bytes(const std::string& path, const std::string& bytes) {
    std::FILE* out = std::fopen(path.c_str(), "wb");
    ASSERT_NE(out, nullptr);
    std::fwrite(bytes.data(), 1, bytes.size(), out);
    std::fclose(out);
}

class ReferenceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(folder.path().empty());
        databases.folder = folder.path();
    }

    void load_airports() {
        write_database(folder.file(kAirportsFile), {{"FRA", "Frankfurt"},
                                                    {"JFK", "New York JFK"},
                                                    {"LHR", "London Heathrow"},
                                                    {"EDDF", "Frankfurt Main"}});
        (void)reload_databases(databases, false);
    }

    TestFolder folder{"korvad-reference"};
    ReferenceDatabases databases;
};

TEST_F(ReferenceTest, RouteIsTranslatedOnlyWhenBothFirstAirportsAreKnown) {
    load_airports();
    auto expand = [&](const char* route) { return expand_route(route, databases, true); };
    EXPECT_EQ(expand("FRA-JFK"), "Frankfurt-New York JFK");
    EXPECT_EQ(expand("fra-jFk"), "Frankfurt-New York JFK");  // codes upper-cased for the lookup
    EXPECT_EQ(expand("EDDF-JFK"), "Frankfurt Main-New York JFK");
    EXPECT_EQ(expand("FRA-LHR-JFK"), "Frankfurt-London Heathrow via New York JFK");
    EXPECT_EQ(expand("FRA-JFK-"), "Frankfurt-New York JFK");     // empty third code: no " via "
    EXPECT_EQ(expand("FRA-JFK-XYZ"), "Frankfurt-New York JFK");  // third airport unknown
    EXPECT_EQ(expand("FRA-LHR-jfk"), "Frankfurt-London Heathrow via New York JFK");

    // Unchanged, as the flights database gave it.
    EXPECT_EQ(expand("FR-JFK"), "FR-JFK");        // two-letter first code
    EXPECT_EQ(expand("FRA-JF"), "FRA-JF");        // two-letter second code
    EXPECT_EQ(expand("FRANK-JFK"), "FRANK-JFK");  // five letters
    EXPECT_EQ(expand("FRAJFK"), "FRAJFK");        // no "-"
    EXPECT_EQ(expand("fra-xyz"), "fra-xyz");      // second unknown: not even upper-cased
    EXPECT_EQ(expand("XYZ-JFK-LHR"), "XYZ-JFK-LHR");
    EXPECT_EQ(expand(""), "");
    EXPECT_EQ(expand_route("FRA-JFK", databases, false), "FRA-JFK");  // -v
}

TEST_F(ReferenceTest, LookupIsExactAndAKeyWithoutTextGoesUntilTheNextReload) {
    write_database(folder.file(kTypesFile),
                   {{"DABCD", "A320-214"}, {"DEFGH", nullptr}, {"N123AB", "B737-800"}});
    (void)reload_databases(databases, false);
    ASSERT_EQ(databases.types.count(), 3);

    EXPECT_EQ(lookup_reference(databases.types, "DABCD"), "A320-214");
    EXPECT_EQ(lookup_reference(databases.types, "dabcd"), std::nullopt);  // case-sensitive
    EXPECT_EQ(lookup_reference(databases.types, "DABC"), std::nullopt);
    EXPECT_EQ(databases.types.count(), 3);

    // The label and ground-station texts look without removing anything.
    EXPECT_EQ(reference_value(databases.types, "DEFGH"), std::nullopt);
    EXPECT_EQ(databases.types.count(), 3);

    EXPECT_EQ(lookup_reference(databases.types, "DEFGH"), std::nullopt);
    EXPECT_EQ(databases.types.count(), 2);
    EXPECT_FALSE(databases.types.search(ReferenceEntry{"DEFGH", {}, 0}).found);
    EXPECT_EQ(lookup_reference(databases.types, "N123AB"), "B737-800");  // order intact

    (void)reload_databases(databases, false);
    EXPECT_EQ(databases.types.count(), 3);
}

TEST_F(ReferenceTest, ReloadCountsEveryDatabase) {
    write_database(folder.file(kAirportsFile), {{"FRA", "Frankfurt"}});
    write_database(folder.file(kFlightsFile), {{"LH400", "FRA-JFK"}, {"LH401", "JFK-FRA"}});
    write_database(folder.file(kAirlinesFile),
                   {{"LH", "Lufthansa"}, {"BA", "British"}, {"AF", "AF"}});
    write_database(folder.file(kTypesFile), {{"A", "1"}, {"B", "2"}, {"C", "3"}, {"D", "4"}});
    write_database(folder.file(kModesFile),
                   {{"H1", "a"}, {"_d", "b"}, {"5Z", "c"}, {"Q0", "d"}, {"SA", "e"}});
    write_database(folder.file(kGroundFile),
                   {{"2", "a"}, {"3", "b"}, {"4", "c"}, {"5", "d"}, {"6", "e"}, {"7", "f"}});
    const DatabaseCounts counts = reload_databases(databases, true);
    EXPECT_EQ(counts.airports, 1);
    EXPECT_EQ(counts.flights, 2);
    EXPECT_EQ(counts.airlines, 3);
    EXPECT_EQ(counts.types, 4);
    EXPECT_EQ(counts.modes, 5);
    EXPECT_EQ(counts.ground, 6);
}

TEST_F(ReferenceTest, MissingOrDamagedFilesLeaveTheirDatabaseEmpty) {
    write_database(folder.file(kFlightsFile), {{"LH400", "FRA-JFK"}});
    write_database(folder.file(kAirlinesFile), {{"LH", "Lufthansa"}});
    (void)reload_databases(databases, false);
    ASSERT_EQ(databases.flights.count(), 1);

    // Count 5, then one item cut short inside its key.
    write_bytes(folder.file(kFlightsFile),
                std::string("\x05\0\0\0\x0a\0\0\0\x0a\0\0\0\0\x05\0\0\0LH", 20));
    write_bytes(folder.file(kAirlinesFile), std::string("\x01\0\0", 3));  // header cut short
    write_bytes(
        folder.file(kTypesFile),
        std::string("\x01\0\0\0\x01\0\0\0\x01\0\0\0\0\xff\xff\xff\x7f", 17));  // huge string
    const DatabaseCounts counts = reload_databases(databases, true);
    EXPECT_EQ(databases.flights.count(), 0);
    EXPECT_EQ(databases.airlines.count(), 0);
    EXPECT_EQ(databases.types.count(), 0);
    EXPECT_EQ(lookup_reference(databases.flights, "LH400"), std::nullopt);
    EXPECT_EQ(counts.airports + counts.flights + counts.airlines + counts.types + counts.modes +
                  counts.ground,
              0);
}

std::unique_ptr<Message> contact(const char* registration, const char* flight, std::int32_t time,
                                 int day) {
    return testing::march_contact(registration, flight, time, day);
}

TEST_F(ReferenceTest, RescanFillsOnlyMissingFields) {
    load_airports();
    write_database(folder.file(kFlightsFile), {{"LH400", "FRA-JFK"}});
    write_database(folder.file(kTypesFile), {{"DABCD", "A320-214"}});
    write_database(folder.file(kAirlinesFile), {{"LH", "Lufthansa"}});
    (void)reload_databases(databases, false);

    ContactList collection = make_contact_list(10, 10);
    auto bare = contact("DABCD", "LH400", 1000, 1);
    auto kept = contact("DABCD", "LH400", 2000, 2);
    kept->route = "own route";
    kept->aircraft_type = "own type";
    kept->airline = "own airline";
    auto unknown = contact("DXXXX", "XY123", 3000, 3);
    ASSERT_TRUE(collection.add(bare));
    ASSERT_TRUE(collection.add(kept));
    ASSERT_TRUE(collection.add(unknown));

    const std::vector<ReferenceUpdate> updates = rescan_collection(collection, databases, true);
    const Message* first = collection.at(0);
    EXPECT_EQ(first->route, "Frankfurt-New York JFK");
    EXPECT_EQ(first->aircraft_type, "A320-214");
    EXPECT_EQ(first->airline, "Lufthansa");
    const Message* second = collection.at(1);
    EXPECT_EQ(second->route, "own route");
    EXPECT_EQ(second->aircraft_type, "own type");
    EXPECT_EQ(second->airline, "own airline");
    const Message* third = collection.at(2);
    EXPECT_EQ(third->route, std::nullopt);
    EXPECT_EQ(third->aircraft_type, std::nullopt);
    EXPECT_EQ(third->airline, std::nullopt);

    // One update per filled field, the route as the flights database has it.
    ASSERT_EQ(updates.size(), 3u);
    EXPECT_EQ(updates[0].value, "FRA-JFK");
    EXPECT_EQ(updates[0].key, "LH400");
    EXPECT_EQ(updates[1].value, "A320-214");
    EXPECT_EQ(updates[1].key, "DABCD");
    EXPECT_EQ(updates[2].value, "Lufthansa");
    EXPECT_EQ(updates[2].key, "LH");
}

TEST_F(ReferenceTest, CleanKeepsTheEntryAtTheCutoffAndEndsInDateOrder) {
    const std::time_t now = 1709290800;  // 2024-03-01 11:00 UTC
    const std::int32_t cutoff = static_cast<std::int32_t>(now - 2 * 86400);
    ContactList collection = make_contact_list(10, 10);
    auto add = [&](const char* registration, std::int32_t time, int day) {
        auto message = contact(registration, "LH400", time, day);
        ASSERT_TRUE(collection.add(message));
    };
    add("DAAAA", cutoff - 1, 1);  // one second too old
    add("DBBBB", cutoff, 2);      // exactly at the cutoff
    add("DCCCC", cutoff + 1, 3);
    add("DDDDD", cutoff - 86400, 4);
    add("DEEEE", static_cast<std::int32_t>(now), 5);

    EXPECT_EQ(clean_collection(collection, now, 2), 2);
    ASSERT_EQ(collection.count(), 3);
    EXPECT_EQ(field_text(collection.at(0)->registration), "DBBBB");
    EXPECT_EQ(field_text(collection.at(1)->registration), "DCCCC");
    EXPECT_EQ(field_text(collection.at(2)->registration), "DEEEE");
    EXPECT_EQ(collection.compare(), &compare_date_order);
    EXPECT_TRUE(collection.is_ordered());

    // No day count, or a negative one: nothing removed.
    EXPECT_EQ(clean_collection(collection, now, 0), 0);
    EXPECT_EQ(clean_collection(collection, now, -5), 0);
    EXPECT_EQ(clean_collection(collection, now + 10 * 86400, 1), 3);
    EXPECT_EQ(collection.count(), 0);
}

}  // namespace
}  // namespace korvad
