// Counters line, daily statistics (offer, count order, window lines and
// toggles) and the new-contact register.

#include "store/statistics.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "control/queue/codes.h"
#include "control/queue/queue_test_util.h"
#include "control/queue/server_channel.h"
#include "screen/screen.h"
#include "store/collection.h"

namespace korvad {
namespace {

TEST(CountersLine, TopBorderOfTheStatusWindowAndCodeFourToTheServer) {
    testing::QueueGuard queue;
    ASSERT_GE(queue.id(), 0);
    Screen screen;
    std::vector<PrintRecord> records;
    screen.recorder = &records;
    Counters counters;
    counters.good_count = 1234;
    counters.uplink_count = 2;
    counters.parity_error_count = 30;
    counters.block_error_count = 4;
    counters.crc_error_count = 0;

    counters_line(screen, counters, ServerChannel{queue.id(), false});  // no server: not sent
    counters_line(screen, counters, ServerChannel{queue.id(), true});
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1].text, "-=[ Good: 1234, Upl: 2, Err parity: 30, block: 4, crc: 0 ]=-");
    EXPECT_EQ(records[1].window, Window::kStatus);
    EXPECT_EQ(records[1].row, 0);
    EXPECT_EQ(records[1].column, 3);
    EXPECT_EQ(records[1].colour_pair, 1);
    EXPECT_TRUE(records[1].bold);

    QueueMessage received;
    ASSERT_GT(queue_receive_once(queue.id(), ToServer, received), 0);
    EXPECT_EQ(received.code, queue_code::kCounters);
    EXPECT_STREQ(received.text, "Good: 1234, Upl: 2, Err parity: 30, block: 4, crc: 0");
    EXPECT_LT(queue_receive_once(queue.id(), ToServer, received), 0);
}

void offer(ReferenceList& list, const char* name, int times) {
    for (int i = 0; i < times; ++i) {
        offer_statistic(list, name != nullptr ? std::optional<std::string>(name) : std::nullopt);
    }
}

TEST(Statistics, OffersCountPerNameAndUnknownNamesTogether) {
    ReferenceList list = make_reference_list(10, 10);
    offer(list, "A320", 2);
    offer(list, nullptr, 1);
    offer(list, "", 1);
    offer(list, "B744", 1);
    ASSERT_EQ(list.count(), 3);
    EXPECT_EQ(list.at(0)->key, "-= unknown =-");
    EXPECT_EQ(list.at(0)->tally, 2);
    EXPECT_EQ(list.at(1)->key, "A320");
    EXPECT_EQ(list.at(1)->value, "1");
    EXPECT_EQ(list.at(1)->tally, 2);
    EXPECT_EQ(list.at(2)->tally, 1);
}

TEST(Statistics, LinesLayTheNameOverDotsAndShowTheWholeTally) {
    EXPECT_EQ(statistics_line(ReferenceEntry{"A320-214", "1", 7}),
              "A320-214......................................0007");
    EXPECT_EQ(statistics_line(ReferenceEntry{"Lufthansa", "1", 10000}),
              "Lufthansa.....................................10000");
    EXPECT_EQ(statistics_line(ReferenceEntry{"-= unknown =-", "1", 123456}),
              "-= unknown =-.................................123456");
    // 46 characters: no dots left. Longer: no dots, and the line stops at 63.
    const std::string exact(46, 'N');
    EXPECT_EQ(statistics_line(ReferenceEntry{exact, "1", 5}), exact + "0005");
    const std::string longer(60, 'L');
    EXPECT_EQ(statistics_line(ReferenceEntry{longer, "1", 5}), longer + "000");
}

TEST(Statistics, CountOrderIsTallyDownThenName) {
    ReferenceList list = make_reference_list(10, 10);
    offer(list, "B744", 3);
    offer(list, "A320", 5);
    offer(list, "A340", 3);
    offer(list, "B738", 3);
    offer(list, "E190", 1);
    list.set_compare(&compare_count_order);
    list.sort();
    std::vector<std::string> order;
    for (const auto& entry : list.entries()) order.push_back(*entry->key);
    EXPECT_EQ(order, (std::vector<std::string>{"A320", "A340", "B738", "B744", "E190"}));
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

std::unique_ptr<Message> first_heard(const char* registration, const char* flight) {
    auto message = make_message();
    message->time = 1709290800;
    message->day = 1;
    message->month = 3;
    message->year = 124;
    message->mode = '2';
    message->block_id = '7';
    set_field(message->label, "H1");
    set_field(message->registration, registration);
    set_field(message->message_number, "M01A");
    set_field(message->flight_id, flight);
    message->text = "POS N50 E008";
    message->aircraft_type = "A320-214";
    message->route = "Frankfurt-New York JFK";
    return message;
}

TEST(NewContacts, OneEntryPerRegistrationWithCopiesAndItsStatusLine) {
    Screen screen;
    std::vector<PrintRecord> records;
    screen.recorder = &records;
    ContactList new_contacts = make_new_contact_register();
    EXPECT_EQ(new_contacts.limit(), 30);
    EXPECT_EQ(new_contacts.delta(), 10);

    auto message = first_heard("DABCD", "LH400");
    EXPECT_TRUE(record_first_contact(new_contacts, *message, screen));
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].text, "First contact with '     '");
    EXPECT_EQ(records[0].colour_pair, 1);
    EXPECT_EQ(records[0].column, 1);
    EXPECT_FALSE(records[0].bold);
    EXPECT_EQ(records[1].text, "DABCD");
    EXPECT_EQ(records[1].colour_pair, 3);
    EXPECT_EQ(records[1].column, 21);
    EXPECT_EQ(records[1].row, 4);
    EXPECT_TRUE(records[1].bold);

    ASSERT_EQ(new_contacts.count(), 1);
    const Message* entry = new_contacts.at(0);
    EXPECT_EQ(entry->time, 1709290800);
    EXPECT_EQ(entry->mode, '2');
    EXPECT_EQ(entry->block_id, '7');
    EXPECT_EQ(field_text(entry->label), "H1");
    EXPECT_EQ(field_text(entry->message_number), "M01A");
    EXPECT_EQ(field_text(entry->flight_id), "LH400");
    EXPECT_EQ(entry->text, std::nullopt);
    EXPECT_EQ(entry->aircraft_type, "A320-214");
    EXPECT_EQ(entry->route, "Frankfurt-New York JFK");
    EXPECT_EQ(entry->airline, std::nullopt);
    message->aircraft_type = "changed";  // the register holds copies
    EXPECT_EQ(entry->aircraft_type, "A320-214");

    records.clear();
    EXPECT_FALSE(record_first_contact(new_contacts, *first_heard("DABCD", "LH402"), screen));
    EXPECT_TRUE(records.empty());
    EXPECT_TRUE(record_first_contact(new_contacts, *first_heard("CGABC", "AC800"), screen));
    ASSERT_EQ(new_contacts.count(), 2);
    EXPECT_EQ(field_text(new_contacts.at(0)->registration), "CGABC");
}

}  // namespace
}  // namespace korvad
