// What the main process shows of its stores' maintenance: the verbose reload,
// the rescan's updates, the cleaning lines, and the daily statistics window
// with its toggles.

#include "control/notices.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <string>
#include <vector>

#include "common/test_folder.h"
#include "control/queue/queue_test_util.h"
#include "message/message_test_util.h"

namespace korvad {
namespace {

void write_database(const std::string& path,
                    const std::vector<std::pair<const char*, const char*>>& pairs) {
    ReferenceList list = make_reference_list(10, 10);
    for (const auto& [key, value] : pairs) {
        auto entry = std::make_unique<ReferenceEntry>();
        entry->key = key;
        entry->value = value;
        ASSERT_TRUE(list.add(entry));
    }
    ASSERT_TRUE(list.save_file(path));
}

std::unique_ptr<Message> contact(const char* registration, const char* flight, std::int32_t time,
                                 int day) {
    return testing::march_contact(registration, flight, time, day);
}

class StoreNotices : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(folder.path().empty());
        databases.folder = folder.path();
        screen.recorder = &records;
    }

    TestFolder folder{"korvad-notices"};
    ReferenceDatabases databases;
    Screen screen;
    std::vector<PrintRecord> records;
};

TEST_F(StoreNotices, VerboseReloadCountsAirportsFirstAndAQuietOneShowsNothing) {
    write_database(folder.file(kAirportsFile), {{"FRA", "Frankfurt"}});
    write_database(folder.file(kFlightsFile), {{"LH400", "FRA-JFK"}, {"LH401", "JFK-FRA"}});
    write_database(folder.file(kAirlinesFile),
                   {{"LH", "Lufthansa"}, {"BA", "British"}, {"AF", "AF"}});
    write_database(folder.file(kTypesFile), {{"A", "1"}, {"B", "2"}, {"C", "3"}, {"D", "4"}});
    write_database(folder.file(kModesFile),
                   {{"H1", "a"}, {"_d", "b"}, {"5Z", "c"}, {"Q0", "d"}, {"SA", "e"}});
    write_database(folder.file(kGroundFile),
                   {{"2", "a"}, {"3", "b"}, {"4", "c"}, {"5", "d"}, {"6", "e"}, {"7", "f"}});
    (void)reload_and_show(screen, databases, false);
    EXPECT_TRUE(records.empty());
    (void)reload_and_show(screen, databases, true);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].text, "all databases reloaded");
    EXPECT_EQ(records[1].text,
              "1 airports, 2 flights, 3 airlines, 4 types, 5 modes and 6 groundstations");
    for (const PrintRecord& r : records) {
        EXPECT_EQ(r.window, Window::kStatus);
        EXPECT_EQ(r.colour_pair, 1);
        EXPECT_EQ(r.row, 4);
        EXPECT_EQ(r.column, 1);
        EXPECT_TRUE(r.bold);
    }
}

TEST_F(StoreNotices, RescanShowsItsStartAndEveryUpdate) {
    write_database(folder.file(kFlightsFile), {{"LH400", "FRA-JFK"}});
    write_database(folder.file(kTypesFile), {{"DABCD", "A320-214"}});
    write_database(folder.file(kAirlinesFile), {{"LH", "Lufthansa"}});
    (void)reload_databases(databases, false);
    ContactList collection = make_contact_list(10, 10);
    auto bare = contact("DABCD", "LH400", 1000, 1);
    auto unknown = contact("DXXXX", "LH401", 3000, 3);
    ASSERT_TRUE(collection.add(bare));
    ASSERT_TRUE(collection.add(unknown));

    rescan_and_show(screen, collection, databases, true);
    ASSERT_EQ(records.size(), 5u);  // the start, three fields, the airline of LH401
    EXPECT_EQ(records[0].text, "rescanning your database... please be patient");
    EXPECT_FALSE(records[0].bold);
    EXPECT_EQ(records[1].text, "Update FRA-JFK for LH400");
    EXPECT_EQ(records[1].window, Window::kStatus);
    EXPECT_EQ(records[1].colour_pair, 1);
    EXPECT_EQ(records[1].row, 4);
    EXPECT_EQ(records[1].column, 1);
    EXPECT_FALSE(records[1].bold);
    EXPECT_EQ(records[2].text, "Update A320-214 for DABCD");
    EXPECT_EQ(records[3].text, "Update Lufthansa for LH");
    EXPECT_EQ(records[4].text, "Update Lufthansa for LH");
}

TEST_F(StoreNotices, CleaningIsAnnouncedAndCountedUnlessDaemon) {
    const std::time_t now = 1709290800;
    ContactList collection = make_contact_list(10, 10);
    auto old = contact("DAAAA", "LH400", static_cast<std::int32_t>(now - 3 * 86400), 1);
    auto young = contact("DBBBB", "LH400", static_cast<std::int32_t>(now), 2);
    ASSERT_TRUE(collection.add(old));
    ASSERT_TRUE(collection.add(young));

    EXPECT_EQ(clean_and_show(screen, collection, now, 2, false), 1);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].text, "cleaning database.... please wait...");
    EXPECT_EQ(records[0].colour_pair, 1);
    EXPECT_FALSE(records[0].bold);
    EXPECT_EQ(records[1].text, "1 old items deleted from your database");
    EXPECT_EQ(records[1].colour_pair, 3);
    EXPECT_TRUE(records[1].bold);

    // Daemon: no lines. No day count: not even the announcement.
    records.clear();
    EXPECT_EQ(clean_and_show(screen, collection, now, 0, false), 0);
    EXPECT_EQ(clean_and_show(screen, collection, now + 10 * 86400, 1, true), 1);
    EXPECT_EQ(collection.count(), 0);
    EXPECT_TRUE(records.empty());
}

void offer(ReferenceList& list, const char* name, int times) {
    for (int i = 0; i < times; ++i) offer_statistic(list, std::optional<std::string>(name));
}

class StatisticsWindow : public ::testing::Test {
  protected:
    void SetUp() override {
        screen.recorder = &records;
        screen.lines = 17;  // room for 17 - 14 = 3 entries
        screen.columns = 100;
        offer(statistics.types, "B744", 3);
        offer(statistics.types, "A320", 5);
        offer(statistics.types, "A340", 3);
        offer(statistics.types, "B738", 3);
        offer(statistics.types, "E190", 1);
    }

    std::vector<PrintRecord> writes() const {
        std::vector<PrintRecord> found;
        for (const PrintRecord& r : records) {
            if (r.window == Window::kStatistics) found.push_back(r);
        }
        return found;
    }

    Screen screen;
    std::vector<PrintRecord> records;
    DailyStatistics statistics;
};

TEST_F(StatisticsWindow, ShowsTheHighestTalliesThatFitAndKeepsTheListInKeyOrder) {
    show_statistics(screen, statistics, StatisticsView::types);
    const std::vector<PrintRecord> lines = writes();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0].text, "-=[ Daily Types statistics ]=-");
    EXPECT_EQ(lines[0].row, 0);
    EXPECT_EQ(lines[0].column, 2);
    EXPECT_EQ(lines[1].text, "A320..........................................0005");
    EXPECT_EQ(lines[2].text, "A340..........................................0003");
    EXPECT_EQ(lines[3].text, "B738..........................................0003");
    for (int j = 1; j <= 3; ++j) {
        EXPECT_EQ(lines[j].row, j);
        EXPECT_EQ(lines[j].column, 2);
    }
    EXPECT_EQ(statistics.types.compare(), &compare_reference_keys);
    EXPECT_TRUE(statistics.types.is_ordered());
    EXPECT_TRUE(statistics.types.search(ReferenceEntry{"E190", "1", 0}).found);
}

TEST_F(StatisticsWindow, EmptyDayShowsTheTitleOnly) {
    show_statistics(screen, statistics, StatisticsView::airlines);
    const std::vector<PrintRecord> lines = writes();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text, "-=[ Daily Airlines statistics ]=-");

    records.clear();
    screen.lines = 10;  // a terminal too small for any entry
    show_statistics(screen, statistics, StatisticsView::types);
    EXPECT_EQ(writes().size(), 1u);
}

// The toggles on a real curses screen (output to /dev/null), in a child
// process so curses never touches the test's terminal. Each failed check
// sets one bit of the child's status.
TEST(StatisticsToggle, AnyOpenWindowClosesAndTheNextKeyOpensItsOwn) {
    int status = testing::run_in_child([] {
        if (std::freopen("/dev/null", "w", stdout) == nullptr) return 64;
        setenv("TERM", "xterm", 1);
        setenv("LINES", "40", 1);
        setenv("COLUMNS", "120", 1);
        Screen screen;
        std::vector<PrintRecord> records;
        screen.recorder = &records;
        DailyStatistics statistics;
        offer(statistics.types, "A320", 2);
        offer(statistics.airlines, "Lufthansa", 1);
        (void)screen_open(screen);
        auto titles = [&records] {
            std::string seen;
            for (const PrintRecord& r : records) {
                if (r.window == Window::kStatistics && r.row == 0) seen += r.text + "|";
            }
            return seen;
        };
        int failed = 0;
        show_statistics(screen, statistics, StatisticsView::types);  // T: opens types
        if (!statistics_window_shown(screen)) failed |= 1;
        show_statistics(screen, statistics, StatisticsView::airlines);  // A: closes it
        if (statistics_window_shown(screen)) failed |= 2;
        show_statistics(screen, statistics, StatisticsView::airlines);  // A: opens airlines
        if (!statistics_window_shown(screen)) failed |= 4;
        show_statistics(screen, statistics, StatisticsView::types);  // T while A is open: closes
        if (statistics_window_shown(screen)) failed |= 8;
        show_statistics(screen, statistics, StatisticsView::types);  // T: opens types again
        if (!statistics_window_shown(screen)) failed |= 16;
        if (titles() !=
            "-=[ Daily Types statistics ]=-|-=[ Daily Airlines statistics ]=-|"
            "-=[ Daily Types statistics ]=-|") {
            failed |= 32;
        }
        screen_close(screen);
        return failed;
    });
    EXPECT_EQ(status, 0);
}

}  // namespace
}  // namespace korvad
