// Daily log files and the day change, driven with a given clock: file names,
// a log directory that cannot be used, the NewRegs file, what the day change
// empties and sends, and the next alarm across the clock changes.

#include "control/daily_logs.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/test_folder.h"
#include "control/queue/codes.h"
#include "control/queue/queue_test_util.h"
#include "control/queue/server_channel.h"
#include "control/settings.h"
#include "message/message_test_util.h"
#include "screen/screen.h"
#include "store/stores.h"

namespace korvad {
namespace {

namespace fs = std::filesystem;

void use_zone(const char* zone) {
    setenv("TZ", zone, 1);
    tzset();
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// --- The next alarm --------------------------------------------------------

struct AlarmCase {
    const char* zone;
    std::time_t now;
    unsigned seconds;  // until 00:00:06 of the next local date
};

TEST(DayChangeAlarm, NextLocalDateAtSixSecondsPastMidnightAcrossClockChanges) {
    const AlarmCase cases[] = {
        // Europe/Berlin, 27 Oct 2024 has 25 hours: from 00:00:06 CEST
        // (22:00:06 UTC the day before) to 28 Oct 00:00:06 CET.
        {"Europe/Berlin", 1729980006, 25 * 3600},
        // 31 Mar 2024 has 23 hours: 00:00:06 CET to 1 Apr 00:00:06 CEST.
        {"Europe/Berlin", 1711839606, 23 * 3600},
        // 26 Oct 2024 23:59:58 CEST: eight seconds.
        {"Europe/Berlin", 1729979998, 8},
        // 27 Oct 2024 12:00 CET, after the change: 12 h and 6 s.
        {"Europe/Berlin", 1730026800, 12 * 3600 + 6},
        // America/New_York, 3 Nov 2024 has 25 hours (EDT to EST), 10 Mar 23.
        {"America/New_York", 1730606406, 25 * 3600},
        {"America/New_York", 1710046806, 23 * 3600},
        // An ordinary day.
        {"America/New_York", 1709290800, 18 * 3600 + 6},  // 1 Mar 2024 06:00 EST
        {"UTC", 1709290800, 13 * 3600 + 6},
    };
    for (const AlarmCase& c : cases) {
        use_zone(c.zone);
        SCOPED_TRACE(std::string(c.zone) + " " + std::to_string(c.now));
        EXPECT_EQ(seconds_until_day_change(c.now), c.seconds);
        std::time_t next = next_day_change(c.now);
        EXPECT_EQ(next, c.now + static_cast<std::time_t>(c.seconds));
        std::tm local{};
        localtime_r(&next, &local);
        EXPECT_EQ(local.tm_hour, 0);
        EXPECT_EQ(local.tm_min, 0);
        EXPECT_EQ(local.tm_sec, 6);
    }
}

TEST(DayChangeAlarm, EveryDayOfAYearIsArmedForTheFollowingDate) {
    for (const char* zone : {"Europe/Berlin", "America/New_York"}) {
        use_zone(zone);
        std::time_t now = 1704067200;  // 2024-01-01 00:00 UTC
        for (int day = 0; day < 370; ++day) {
            std::vector<unsigned> armed;
            arm_day_change(now, [&armed](unsigned s) { armed.push_back(s); });
            ASSERT_EQ(armed.size(), 1u);
            ASSERT_GE(armed[0], 1u);
            const std::time_t next = now + armed[0];
            // Lands on the date after the one of now, never on the same one.
            EXPECT_NE(log_date(next), log_date(now)) << zone << " " << now;
            EXPECT_EQ(log_date(next - 7), log_date(now)) << zone << " " << now;
            now = next;
        }
    }
}

// --- Log files ---------------------------------------------------------------

class LogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        use_zone("Europe/Berlin");
        ASSERT_FALSE(folder.path().empty());
        screen.recorder = &records;
        logs.directory = folder.path();
    }

    TestFolder folder{"korvad-logs"};
    Screen screen;
    std::vector<PrintRecord> records;
    LogFiles logs;
};

constexpr std::time_t kMarch1Noon = 1709290800;    // 2024-03-01 12:00 CET
constexpr std::time_t kMarch2Change = 1709334006;  // 2024-03-02 00:00:06 CET

TEST_F(LogTest, NamesCarryTheLocalDateAndEntriesAreAppended) {
    EXPECT_EQ(log_date(kMarch1Noon), "20240301");
    EXPECT_EQ(log_date(kMarch2Change - 7), "20240301");  // 23:59:59
    {
        std::ofstream old(folder.file("korvad-20240301.log"));
        old << "earlier run\n";
    }
    logs.anad = true;
    ASSERT_TRUE(open_logs(logs, kMarch1Noon, screen));
    EXPECT_EQ(logs.message_path, folder.path() + "/korvad-20240301.log");
    EXPECT_EQ(logs.anad_path, folder.path() + "/ANAD-20240301.log");

    write_message_log(logs, "entry one\n");
    ASSERT_NE(message_log(logs), nullptr);
    std::fputs("piece", message_log(logs));
    std::fputs(" by piece\n", message_log(logs));
    flush_message_log(logs);
    write_anad_log(logs, "anad %s entry\n");  // written as it is, never as a format
    // Flushed: readable while the files are still open.
    EXPECT_EQ(read_file(logs.message_path), "earlier run\nentry one\npiece by piece\n");
    EXPECT_EQ(read_file(logs.anad_path), "anad %s entry\n");
    close_logs(logs);
    close_logs(logs);
    EXPECT_EQ(message_log(logs), nullptr);
    EXPECT_TRUE(records.empty());

    Settings settings;
    configure_logs(logs, settings);
    EXPECT_EQ(logs.directory, ".");
    EXPECT_FALSE(logs.anad);
}

TEST_F(LogTest, UnusableDirectoryMeansNoLogAndOneNoticePerOpening) {
    logs.directory = folder.file("missing");
    logs.anad = true;
    EXPECT_FALSE(open_logs(logs, kMarch1Noon, screen));
    EXPECT_EQ(message_log(logs), nullptr);
    write_message_log(logs, "lost\n");
    write_anad_log(logs, "lost\n");
    flush_message_log(logs);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].text,
              "unable to open logfile '" + folder.path() + "/missing/korvad-20240301.log'");
    EXPECT_EQ(records[0].window, Window::kStatus);
    EXPECT_EQ(records[0].colour_pair, 12);
    EXPECT_TRUE(records[0].bold);
    EXPECT_EQ(records[1].text,
              "unable to open logfile '" + folder.path() + "/missing/ANAD-20240301.log'");
    EXPECT_FALSE(fs::exists(folder.file("missing")));
}

// --- The day change ----------------------------------------------------------

std::unique_ptr<Message> contact(const char* registration, const char* flight, std::time_t time) {
    std::tm local{};
    localtime_r(&time, &local);
    return testing::build_message({.time = static_cast<std::int32_t>(time),
                                   .day = local.tm_mday,
                                   .month = local.tm_mon + 1,
                                   .year = local.tm_year,
                                   .registration = registration,
                                   .flight_id = flight});
}

class DayChangeTest : public LogTest {
  protected:
    void SetUp() override {
        LogTest::SetUp();
        settings.new_contacts = true;
        set_store_folder(stores, folder.path());
        ASSERT_EQ(open_collection(stores), LoadResult::not_opened);
        ASSERT_EQ(open_statistics(stores), LoadResult::not_opened);
        ASSERT_EQ(open_new_contacts(stores), LoadResult::not_opened);
        ASSERT_TRUE(open_logs(logs, kMarch1Noon, screen));
    }

    unsigned change(std::time_t now) {
        return day_change(logs, stores, settings, screen, channel, now,
                          [this](unsigned s) { armed.push_back(s); });
    }

    void register_contact(const char* registration, const char* flight, std::time_t time,
                          const char* type, const char* airline, const char* route) {
        auto message = contact(registration, flight, time);
        if (type != nullptr) message->aircraft_type = type;
        if (airline != nullptr) message->airline = airline;
        if (route != nullptr) message->route = route;
        ASSERT_TRUE(record_first_contact(*stores.new_contacts, *message));
    }

    Settings settings;
    Stores stores;
    ServerChannel channel;
    std::vector<unsigned> armed;
};

TEST_F(DayChangeTest, SwitchesLogsWritesTheEndedDaysNewcomersAndEmptiesTheDay) {
    testing::QueueGuard queue;
    ASSERT_GE(queue.id(), 0);
    channel = ServerChannel{queue.id(), true};
    write_message_log(logs, "before midnight\n");
    register_contact("DABCD", "LH400", kMarch1Noon, "A320-214", "Lufthansa",
                     "Frankfurt-New York JFK");
    register_contact("CGABC", "AC800", kMarch1Noon + 3600 + 60, nullptr, nullptr, nullptr);
    offer_statistic(stores.statistics->types, std::string("A320-214"));
    offer_statistic(stores.statistics->airlines, std::nullopt);

    EXPECT_EQ(change(kMarch2Change), 86400u);
    EXPECT_EQ(armed, std::vector<unsigned>{86400u});

    // Logs: the new day's file is open, the old one keeps its entries.
    EXPECT_EQ(logs.message_path, folder.path() + "/korvad-20240302.log");
    write_message_log(logs, "after midnight\n");
    EXPECT_EQ(read_file(folder.file("korvad-20240301.log")), "before midnight\n");
    EXPECT_EQ(read_file(folder.file("korvad-20240302.log")), "after midnight\n");

    // The day that ended, in register (registration) order.
    EXPECT_EQ(read_file(folder.file("NewRegs-20240301.log")),
              "01/03/2024 13:01\tCGABC\tAC800\t-\t-\t-\n"
              "01/03/2024 12:00\tDABCD\tLH400\tA320-214\tLufthansa\tFrankfurt-New York JFK\n");
    EXPECT_FALSE(fs::exists(folder.file("NewRegs-20240302.log")));
    EXPECT_EQ(stores.new_contacts->count(), 0);
    EXPECT_EQ(stores.statistics->types.count(), 0);
    EXPECT_EQ(stores.statistics->airlines.count(), 0);

    // The same registration may enter the register again on the new day.
    register_contact("DABCD", "LH400", kMarch2Change + 60, nullptr, nullptr, nullptr);

    QueueMessage received;
    ASSERT_GT(queue_receive_once(queue.id(), ToServer, received), 0);
    EXPECT_EQ(received.code, queue_code::kNewDay);
    EXPECT_STREQ(received.text, "-");
    EXPECT_LT(queue_receive_once(queue.id(), ToServer, received), 0);
}

TEST_F(DayChangeTest, NoNewcomersNoFileAndAnOldFileIsReplacedWhole) {
    testing::QueueGuard queue;
    ASSERT_GE(queue.id(), 0);
    channel = ServerChannel{queue.id(), false};  // no server: nothing is sent
    change(kMarch2Change);
    EXPECT_FALSE(fs::exists(folder.file("NewRegs-20240301.log")));

    {
        std::ofstream old(folder.file("NewRegs-20240302.log"));
        old << "a much longer line from an earlier run that must not survive\n";
    }
    register_contact("DABCD", "LH400", kMarch2Change + 60, nullptr, nullptr, nullptr);
    change(kMarch2Change + 86400);
    EXPECT_EQ(read_file(folder.file("NewRegs-20240302.log")),
              "02/03/2024 00:01\tDABCD\tLH400\t-\t-\t-\n");

    // Without -N the register is neither written nor emptied here.
    settings.new_contacts = false;
    register_contact("DABCD", "LH400", kMarch2Change + 86400 + 60, nullptr, nullptr, nullptr);
    change(kMarch2Change + 2 * 86400);
    EXPECT_FALSE(fs::exists(folder.file("NewRegs-20240303.log")));
    EXPECT_EQ(stores.new_contacts->count(), 1);

    QueueMessage received;
    EXPECT_LT(queue_receive_once(queue.id(), ToServer, received), 0);
}

TEST_F(DayChangeTest, StatisticsFilesKeepTheOldFiguresUntilExit) {
    offer_statistic(stores.statistics->types, std::string("A320-214"));
    offer_statistic(stores.statistics->types, std::string("A320-214"));
    save_and_release_stores(stores);  // yesterday's exit
    set_store_folder(stores, folder.path());
    ASSERT_EQ(open_statistics(stores), LoadResult::loaded);
    ASSERT_EQ(stores.statistics->types.count(), 1);
    EXPECT_EQ(stores.statistics->types.at(0)->tally, 2);

    change(kMarch2Change);
    EXPECT_EQ(stores.statistics->types.count(), 0);
    ReferenceList on_disk = make_reference_list(10, 10);
    ASSERT_EQ(on_disk.load_file(folder.file("type_statistics.db")), LoadResult::loaded);
    EXPECT_EQ(on_disk.count(), 1);

    offer_statistic(stores.statistics->types, std::string("B738"));
    save_and_release_stores(stores);
    ASSERT_EQ(on_disk.load_file(folder.file("type_statistics.db")), LoadResult::loaded);
    ASSERT_EQ(on_disk.count(), 1);
    EXPECT_EQ(on_disk.at(0)->key, "B738");
    EXPECT_EQ(on_disk.at(0)->tally, 1);
}

TEST_F(DayChangeTest, CleansTheCollectionWithItsDayCount) {
    auto old_entry = contact("DOLD", "LH400", kMarch2Change - 3 * 86400);
    auto recent = contact("DNEW", "LH400", kMarch2Change - 86400);
    ASSERT_TRUE(stores.collection->add(old_entry));
    ASSERT_TRUE(stores.collection->add(recent));
    change(kMarch2Change);  // -O not given
    EXPECT_EQ(stores.collection->count(), 2);
    settings.max_age_days = 2;
    change(kMarch2Change + 86400);
    ASSERT_EQ(stores.collection->count(), 1);
    EXPECT_EQ(field_text(stores.collection->at(0)->registration), "DNEW");
}

TEST_F(DayChangeTest, AnAlarmBeforeTheDateChangedOnlyRearms) {
    register_contact("DABCD", "LH400", kMarch1Noon, nullptr, nullptr, nullptr);
    offer_statistic(stores.statistics->types, std::string("A320-214"));
    const std::time_t early = kMarch2Change - 10;  // 23:59:56: the clock was set back
    EXPECT_EQ(change(early), 10u);
    EXPECT_EQ(armed, std::vector<unsigned>{10u});
    EXPECT_EQ(logs.message_path, folder.path() + "/korvad-20240301.log");
    EXPECT_EQ(stores.new_contacts->count(), 1);
    EXPECT_EQ(stores.statistics->types.count(), 1);
    EXPECT_FALSE(fs::exists(folder.file("NewRegs-20240301.log")));
}

TEST_F(DayChangeTest, ALateAlarmStillNamesTheDayThatEnded) {
    register_contact("DABCD", "LH400", kMarch1Noon, nullptr, nullptr, nullptr);
    change(kMarch2Change + 5 * 3600);  // five hours late
    EXPECT_TRUE(fs::exists(folder.file("NewRegs-20240301.log")));
    EXPECT_EQ(logs.message_path, folder.path() + "/korvad-20240302.log");
}

TEST_F(DayChangeTest, StoresThatAreGoneAreLeftAlone) {
    save_and_release_stores(stores);
    save_and_release_stores(stores);  // a second release does nothing
    EXPECT_FALSE(stores.collection || stores.statistics || stores.new_contacts ||
                 stores.databases || stores.repeats);
    settings.max_age_days = 2;
    change(kMarch2Change);
    EXPECT_EQ(logs.message_path, folder.path() + "/korvad-20240302.log");
}

}  // namespace
}  // namespace korvad
