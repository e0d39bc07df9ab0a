#include "web/traffic.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace korvad::web {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

constexpr std::int64_t kNoon = 1767268800;  // 2026-01-01 12:00:00 UTC, a bucket start

json message(const std::string& registration, bool uplink = false) {
    return json{{"event", "message"},
                {"code", uplink ? 6 : 18},
                {"direction", uplink ? "uplink" : "downlink"},
                {"registration", registration},
                {"text", "POS\r\n<b>"}};
}

std::vector<std::uint64_t> ids(const std::vector<KeptMessage>& list) {
    std::vector<std::uint64_t> out;
    for (const KeptMessage& m : list) out.push_back(m.id);
    return out;
}

TEST(TrafficStore, KeepsTheMessageObjectWithItsIdAndTime) {
    Traffic t("tower", 2202, kNoon);
    EXPECT_EQ(t.add_message(message("D-AIPX"), kNoon + 5), 1u);
    auto list = t.messages_after(0, 10);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].received, kNoon + 5);
    // Keys in order, one line: the text's line feed is escaped, so the text is
    // one data line of the event stream.
    EXPECT_EQ(*list[0].json,
              R"({"code":18,"direction":"downlink","event":"message","id":1,)"
              R"("received":1767268805,"registration":"D-AIPX","text":"POS\r\n<b>"})");
    json back = json::parse(*list[0].json);
    EXPECT_EQ(back["id"], 1);
    EXPECT_EQ(back["received"], kNoon + 5);
    EXPECT_EQ(back["registration"], "D-AIPX");
    EXPECT_EQ(back["text"], "POS\r\n<b>");
}

TEST(TrafficStore, KeepsTheLastTwoThousandAndAnswersSinceAndLimit) {
    Traffic t("tower", 2202, kNoon);
    for (int i = 0; i < 2500; ++i) (void)t.add_message(message("R" + std::to_string(i)), kNoon);
    std::uint64_t last = 0;
    auto all = t.messages_after(0, kKeptMessages, &last);
    EXPECT_EQ(last, 2500u);
    ASSERT_EQ(all.size(), kKeptMessages);
    EXPECT_EQ(all.front().id, 501u);
    EXPECT_EQ(all.back().id, 2500u);

    struct Case {
        std::uint64_t since;
        std::size_t limit;
        std::vector<std::uint64_t> expected;
    };
    const Case cases[] = {
        {2497, 10, {2498, 2499, 2500}},  // all after since
        {0, 3, {2498, 2499, 2500}},      // the newest three, oldest first
        {2490, 2, {2499, 2500}},
        {2500, 10, {}},  // nothing new
        {9000, 10, {}},  // an id not given out yet
    };
    for (const Case& c : cases)
        EXPECT_EQ(ids(t.messages_after(c.since, c.limit)), c.expected) << c.since;
    EXPECT_EQ(t.messages_after(100, 1).front().id, 2500u);
    EXPECT_EQ(t.messages_after(100, 2000).front().id, 501u);  // since fell out: from the oldest

    json info = t.info();
    EXPECT_EQ(info["messages"],
              json::parse(R"({"received":2500,"uplinks":0,"downlinks":2500,"kept":2000,
                              "first_id":501,"last_id":2500})"));
}

TEST(TrafficStore, CountsMessagesPerTenMinutesOverADay) {
    Traffic t("tower", 2202, kNoon);
    (void)t.add_message(message("A"), kNoon - 24 * 3600);  // a day ago: dropped from the chart
    (void)t.add_message(message("A"), kNoon);
    (void)t.add_message(message("B", true), kNoon + 599);
    (void)t.add_message(message("C"), kNoon + 600);
    (void)t.add_message(message("D"), kNoon - 23 * 3600 - 40 * 60);  // the oldest bar
    // A clock set back: older than a day before the newest, it is not counted
    // (and does not take the newest's slot).
    (void)t.add_message(message("E"), kNoon + 600 - 24 * 3600);
    json c = t.counts(kNoon + 700);
    EXPECT_EQ(c["bucket_seconds"], 600);
    ASSERT_EQ(c["buckets"].size(), kCountBuckets);
    EXPECT_EQ(c["buckets"].back(), json::parse(R"({"start":1767269400,"count":1})"));
    EXPECT_EQ(c["buckets"][142], json::parse(R"({"start":1767268800,"count":2})"));
    EXPECT_EQ(c["buckets"][0], json::parse(R"({"start":1767183600,"count":1})"));
    std::uint64_t total = 0;
    for (const json& b : c["buckets"]) total += b["count"].get<std::uint64_t>();
    EXPECT_EQ(total, 4u);
    // A day on, the same slots count again from zero.
    (void)t.add_message(message("E"), kNoon + 24 * 3600);
    json next_day = t.counts(kNoon + 24 * 3600);
    EXPECT_EQ(next_day["buckets"].back(), json::parse(R"({"start":1767355200,"count":1})"));
    EXPECT_EQ(next_day["buckets"][142]["count"], 0);
}

TEST(TrafficLink, SaysWhatTheStationIsAndChangesOnlyWhenSomethingChanged) {
    Traffic t("tower", 2202, kNoon);
    json link = t.link();
    EXPECT_EQ(link["link"], json::parse(R"({"host":"tower","port":2202,"connected":false,
                                            "since":0,"reason":"not connected yet"})"));
    EXPECT_EQ(link["station"], nullptr);
    EXPECT_EQ(link["served_since"], kNoon);

    EventCursor cursor;
    ASSERT_TRUE(t.join_events(0, cursor));
    Update first = t.wait_for_update(cursor, 0ms, 10);
    ASSERT_TRUE(first.link);  // a new reader is told where the link stands
    EXPECT_FALSE(t.wait_for_update(cursor, 0ms, 10).link);

    t.set_connected(json{{"event", "station"}, {"host", "tower"}}, kNoon + 1);
    Update up = t.wait_for_update(cursor, 0ms, 10);
    ASSERT_TRUE(up.link);
    EXPECT_EQ(json::parse(*up.link)["link"]["connected"], true);
    EXPECT_EQ(json::parse(*up.link)["station"]["host"], "tower");

    t.set_disconnected("connection refused", kNoon + 9);
    Update down = t.wait_for_update(cursor, 0ms, 10);
    ASSERT_TRUE(down.link);
    EXPECT_EQ(json::parse(*down.link)["link"],
              json::parse(R"({"host":"tower","port":2202,"connected":false,"since":1767268809,
                              "reason":"connection refused"})"));
    // Every retry fails the same way: the readers hear it once.
    t.set_disconnected("connection refused", kNoon + 20);
    t.set_detail("uptime", json{{"seconds", 60}});
    Update uptime = t.wait_for_update(cursor, 0ms, 10);
    ASSERT_TRUE(uptime.link);
    EXPECT_EQ(json::parse(*uptime.link)["link"]["since"], kNoon + 9);
    EXPECT_EQ(json::parse(*uptime.link)["uptime"]["seconds"], 60);
    t.set_detail("uptime", json{{"seconds", 60}});
    EXPECT_FALSE(t.wait_for_update(cursor, 0ms, 10).link);

    // The counters travel on their own, and only when they changed.
    t.set_counters(json{{"good", 1}});
    Update counters = t.wait_for_update(cursor, 0ms, 10);
    EXPECT_FALSE(counters.link);
    ASSERT_TRUE(counters.counters);
    EXPECT_EQ(*counters.counters, R"({"good":1})");
    t.set_counters(json{{"good", 1}});
    EXPECT_FALSE(t.wait_for_update(cursor, 0ms, 10).counters);
    EXPECT_EQ(t.info()["counters"], json::parse(R"({"good":1})"));
    EXPECT_FALSE(t.link().contains("counters"));
    t.leave_events();
}

TEST(TrafficEvents, ReadersAreCountedAndTheHundredAndFirstIsRefused) {
    Traffic t("tower", 2202, kNoon);
    std::vector<EventCursor> cursors(kMaxEventClients);
    for (EventCursor& c : cursors) ASSERT_TRUE(t.join_events(0, c));
    EventCursor extra;
    EXPECT_FALSE(t.join_events(0, extra));
    EXPECT_EQ(t.event_clients(), kMaxEventClients);
    t.leave_events();
    EXPECT_TRUE(t.join_events(0, extra));
    t.stop();
    EXPECT_FALSE(t.join_events(0, extra));  // none while the program ends
}

TEST(TrafficEvents, AReaderGetsWhatCameAfterItsCursorInOrderInBatches) {
    Traffic t("tower", 2202, kNoon);
    for (int i = 0; i < 5; ++i) (void)t.add_message(message("R"), kNoon);
    EventCursor replay, live, ahead;
    ASSERT_TRUE(t.join_events(2, replay));
    ASSERT_TRUE(t.join_events(~std::uint64_t{0}, live));  // live only
    ASSERT_TRUE(t.join_events(4, ahead));
    EXPECT_EQ(ids(t.wait_for_update(replay, 0ms, 2).messages), (std::vector<std::uint64_t>{3, 4}));
    EXPECT_EQ(ids(t.wait_for_update(replay, 0ms, 2).messages), (std::vector<std::uint64_t>{5}));
    EXPECT_TRUE(t.wait_for_update(live, 0ms, 10).messages.empty());
    (void)t.add_message(message("R"), kNoon);
    EXPECT_EQ(ids(t.wait_for_update(live, 0ms, 10).messages), (std::vector<std::uint64_t>{6}));
    EXPECT_EQ(ids(t.wait_for_update(ahead, 0ms, 10).messages), (std::vector<std::uint64_t>{5, 6}));
}

TEST(TrafficEvents, AReaderThatFallsOutOfTheStoreIsToldSo) {
    Traffic t("tower", 2202, kNoon);
    EventCursor slow;
    ASSERT_TRUE(t.join_events(0, slow));
    (void)t.wait_for_update(slow, 0ms, 10);  // takes the link object
    for (std::size_t i = 0; i < kKeptMessages; ++i) (void)t.add_message(message("R"), kNoon);
    Update kept = t.wait_for_update(slow, 0ms, 1);
    EXPECT_FALSE(kept.fell_behind);
    EXPECT_EQ(ids(kept.messages), (std::vector<std::uint64_t>{1}));
    (void)t.add_message(message("R"), kNoon);
    (void)t.add_message(message("R"), kNoon);  // message 2 leaves the store untaken
    EXPECT_TRUE(t.wait_for_update(slow, 0ms, 1).fell_behind);
}

TEST(TrafficEvents, AWaitingReaderWakesForAMessageAndForTheEnd) {
    Traffic t("tower", 2202, kNoon);
    EventCursor cursor;
    ASSERT_TRUE(t.join_events(0, cursor));
    (void)t.wait_for_update(cursor, 0ms, 10);
    std::atomic<int> first_batch{-1};
    std::atomic<bool> stopped{false};
    std::thread reader([&] {
        first_batch = static_cast<int>(t.wait_for_update(cursor, 60s, 10).messages.size());
        stopped = t.wait_for_update(cursor, 60s, 10).stopping;
    });
    (void)t.add_message(message("R"), kNoon);
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (first_batch < 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
    t.stop();
    reader.join();
    EXPECT_EQ(first_batch, 1);
    EXPECT_TRUE(stopped);
}

}  // namespace
}  // namespace korvad::web
