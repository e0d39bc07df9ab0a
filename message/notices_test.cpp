// What message processing shows and sends about the stores: the counters
// line, a new collection entry (its status lines and the statistics names
// for the server), a first contact.

#include "message/notices.h"
#include "message/message_test_util.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <utility>
#include <vector>

#include "common/format.h"
#include "common/test_folder.h"
#include "control/queue/codes.h"
#include "control/queue/queue_test_util.h"
#include "store/stores.h"

namespace korvad {
namespace {

constexpr std::int32_t kMarch1 = 1709290800;  // 2024-03-01 11:00:00 UTC

std::unique_ptr<Message> downlink(const char* registration, const char* flight) {
    return testing::build_message({.time = kMarch1,
                                   .day = 1,
                                   .month = 3,
                                   .year = 124,
                                   .mode = '2',
                                   .block_id = '5',
                                   .label = "H1",
                                   .registration = registration,
                                   .message_number = "M01A",
                                   .flight_id = flight});
}

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

// Adding as message processing does it: the store adds, then the addition is
// shown and sent.
class AdditionNotices : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(folder.path().empty());
        set_store_folder(stores, folder.path());
        ASSERT_EQ(open_collection(stores), LoadResult::not_opened);
        ASSERT_EQ(open_statistics(stores), LoadResult::not_opened);
        screen.recorder = &records;
    }

    AddResult add(std::unique_ptr<Message> message, bool daemon = false) {
        const CollectionAddition addition = add_to_collection(stores, std::move(message), counters);
        show_addition(screen, channel, addition, daemon);
        return addition.result;
    }

    TestFolder folder{"korvad-notices"};
    Stores stores;
    Counters counters;
    Screen screen;
    std::vector<PrintRecord> records;
    ServerChannel channel;
};

TEST_F(AdditionNotices, TheRegistrationIsDrawnIntoItsGap) {
    ASSERT_EQ(add(downlink("N123AB", "UA0901")), AddResult::added);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].text, "Aircraft '      ' was added to your database");
    EXPECT_EQ(records[0].window, Window::kStatus);
    EXPECT_EQ(records[0].colour_pair, 1);
    EXPECT_EQ(records[0].column, 1);
    EXPECT_EQ(records[0].row, 4);
    EXPECT_EQ(records[1].text, "N123AB");
    EXPECT_EQ(records[1].colour_pair, 3);
    EXPECT_EQ(records[1].column, 11);
    EXPECT_EQ(records[1].row, 4);
    EXPECT_TRUE(records[1].bold);

    records.clear();
    EXPECT_EQ(add(downlink("N123AB", "UA0901")), AddResult::already_present);
    EXPECT_TRUE(records.empty());
}

TEST_F(AdditionNotices, TypeAndAirlineNamesGoToTheServerInThatOrder) {
    testing::QueueGuard queue;
    ASSERT_GE(queue.id(), 0);
    channel = ServerChannel{queue.id(), true};
    auto message = downlink("DABCD", "LH400");
    message->aircraft_type = "A320-214";
    ASSERT_EQ(add(std::move(message)), AddResult::added);
    auto unknown_type = downlink("DABCE", "LH400");
    unknown_type->airline = "Lufthansa";
    ASSERT_EQ(add(std::move(unknown_type)), AddResult::added);
    EXPECT_EQ(add(downlink("DABCE", "LH400")), AddResult::already_present);

    const std::vector<std::pair<int, std::string>> expected = {
        {queue_code::kTypeStatistic, "A320-214"},
        {queue_code::kAirlineStatistic, "-= unknown =-"},
        {queue_code::kTypeStatistic, "-= unknown =-"},
        {queue_code::kAirlineStatistic, "Lufthansa"},
    };
    for (const auto& [code, text] : expected) {
        QueueMessage received;
        ASSERT_GT(queue_receive_once(queue.id(), ToServer, received), 0);
        EXPECT_EQ(received.code, code);
        EXPECT_STREQ(received.text, text.c_str());
    }
    QueueMessage none;
    EXPECT_LT(queue_receive_once(queue.id(), ToServer, none), 0);
}

TEST_F(AdditionNotices, TheSavingAdditionShowsTheSizeUnlessDaemon) {
    for (int i = 0; i < 30; ++i) {
        ASSERT_EQ(add(downlink("DABCD", format_text("LH%d", 100 + i).c_str())), AddResult::added);
    }
    records.clear();
    ASSERT_EQ(add(downlink("DABCD", "LH999")), AddResult::added);
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[2].text, "Your ACARS collection contains 31 entries");
    EXPECT_TRUE(records[2].bold);

    for (int i = 0; i < 30; ++i) {
        ASSERT_EQ(add(downlink("DABCE", format_text("LH%d", 100 + i).c_str())), AddResult::added);
    }
    records.clear();
    EXPECT_EQ(add(downlink("DABCE", "LH999"), true), AddResult::added);
    EXPECT_EQ(records.size(), 2u);
}

TEST(FirstContactNotice, TheRegistrationIsDrawnAtColumnTwentyOne) {
    Screen screen;
    std::vector<PrintRecord> records;
    screen.recorder = &records;
    show_first_contact(screen, "DABCD");
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
}

}  // namespace
}  // namespace korvad
