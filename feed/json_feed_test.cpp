// The feed's objects against bytes written out by hand, its level, its
// addresses, and its datagrams over real loopback sockets.

#include "feed/json_feed.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <vector>

#include "message/message.h"
#include "message/message_test_util.h"
#include "signal/frame.h"

namespace korvad {
namespace {

// A record holding text at index 0 on, ending with end (ETX or ETB).
FrameRecord record_of(std::string_view frame, std::uint8_t end, bool uplink = false,
                      bool squitter = false) {
    FrameRecord r{};
    for (std::size_t i = 0; i < frame.size(); ++i)
        r.chars[i].ch = static_cast<std::uint8_t>(frame[i]);
    r.end_index = static_cast<std::int32_t>(frame.size());
    r.chars[frame.size()].ch = end;
    r.terminated = 1;
    r.uplink = uplink ? 1 : 0;
    r.squitter = squitter ? 1 : 0;
    return r;
}

Message message_of(char mode, std::string_view registration, std::string_view label, char block,
                   std::string_view number, std::string_view flight) {
    return *testing::build_message({.mode = mode,
                                    .block_id = block,
                                    .label = label,
                                    .registration = registration,
                                    .message_number = number,
                                    .flight_id = flight});
}

TEST(FeedObject, DownlinkInTheAggregatorsFieldSet) {
    //                 * SYN SYN SOH mode address  ack  label blk STX  number flight  text
    const std::string frame =
        "*\x16\x16\x01"
        "2.G-EUPT\x15"
        "H12\x02"
        "M01ABA0117"
        "POS N51";
    FrameRecord r = record_of(frame, kEtx);
    Message m = message_of('2', "G-EUPT", "H1", '2', "M01A", "BA0117");
    m.text = "POS N51";
    FrameFacts facts{1765260123.25, -23.44, 1};
    FeedStation station{"KORVAD-TEST", 131.725};
    EXPECT_EQ(feed_object(m, r, facts, station),
              "{\"timestamp\":1765260123.25,\"station_id\":\"KORVAD-TEST\",\"channel\":0,"
              "\"freq\":131.725,\"level\":-23.4,\"error\":1,\"mode\":\"2\",\"label\":\"H1\","
              "\"block_id\":\"2\",\"ack\":false,\"tail\":\".G-EUPT\",\"flight\":\"BA0117\","
              "\"msgno\":\"M01A\",\"text\":\"POS N51\",\"end\":true,"
              "\"app\":{\"name\":\"korvad\",\"ver\":\"1.oo\"}}");
}

TEST(FeedObject, UplinkAndSquitterLeaveOutWhatTheyDoNotCarry) {
    // An uplink acknowledging with '4', label '_' DEL, no text, more blocks to follow.
    const std::string uplink = std::string(
                                   "*\x16\x16\x01"
                                   "2.G-EUPT4_") +
                               '\x7f' + "A\x02";
    FrameRecord r = record_of(uplink, kEtb, true);
    Message m = message_of('2', "G-EUPT", "_\x7f", 'A', " ", "    ");
    EXPECT_EQ(feed_object(m, r, FrameFacts{100.0, -100.0, 0}, FeedStation{}),
              "{\"timestamp\":100.0,\"channel\":0,\"freq\":0.0,\"level\":-100.0,\"error\":0,"
              "\"mode\":\"2\",\"label\":\"_d\",\"block_id\":\"A\",\"ack\":\"4\","
              "\"tail\":\".G-EUPT\",\"end\":false,\"app\":{\"name\":\"korvad\",\"ver\":\"1.oo\"}}");

    const std::string squitter =
        "*\x16\x16\x01"
        "2.......\x15"
        "SQ0\x02"
        "02XAEGLL";
    FrameRecord s = record_of(squitter, kEtx, false, true);
    Message q = message_of('2', "_______", "SQ", '0', "", "");
    q.text = "02XAEGLL";
    EXPECT_EQ(feed_object(q, s, FrameFacts{7.5, -6.0, 0}, FeedStation{}),
              "{\"timestamp\":7.5,\"channel\":0,\"freq\":0.0,\"level\":-6.0,\"error\":0,"
              "\"mode\":\"2\",\"label\":\"SQ\",\"block_id\":\"0\",\"ack\":false,"
              "\"tail\":\".......\",\"text\":\"02XAEGLL\",\"end\":true,"
              "\"app\":{\"name\":\"korvad\",\"ver\":\"1.oo\"}}");
}

TEST(FeedObject, EveryByteEscapedAsJsonRequires) {
    const std::string frame =
        "*\x16\x16\x01"
        "2.N784AV\x15"
        "5Z4\x02"
        "M23BAV0120";
    FrameRecord r = record_of(frame, kEtx);
    Message m = message_of('2', "N784AV", "5Z", '4', "M23B", "AV0120");
    m.text = std::string("a\"b\\c\r\nd\te\x01\x1f\x7f") + "Z\xc3\xbc" + "\xff";
    const std::string json = feed_object(m, r, FrameFacts{}, FeedStation{"St\xc3\xa4tion", 0});
    EXPECT_NE(json.find("\"station_id\":\"St\\u00e4tion\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"text\":\"a\\\"b\\\\c\\r\\nd\\te\\u0001\\u001f\\u007fZ\\u00fc\\ufffd\""),
              std::string::npos)
        << json;
    for (unsigned char c : json) EXPECT_LT(c, 0x80);  // plain ASCII on the wire
}

TEST(AudioLevel, DecibelsBelowFullScale) {
    std::vector<std::uint8_t> square(1000), half(1000), sine(19500), silence(500, 128);
    for (std::size_t i = 0; i < square.size(); ++i) {
        square[i] = i % 2 ? 0 : 255;  // |v| = 1 and 127/128
        half[i] = i % 2 ? 64 : 192;
    }
    for (std::size_t i = 0; i < sine.size(); ++i)
        sine[i] = static_cast<std::uint8_t>(
            std::lround(128 + 127 * std::sin(2 * M_PI * 1200 * i / 19500.0)));
    EXPECT_NEAR(audio_level_db(square.data(), 1000), -0.03, 0.01);
    EXPECT_NEAR(audio_level_db(half.data(), 1000), -6.02, 0.01);
    EXPECT_NEAR(audio_level_db(sine.data(), 19500), -3.08, 0.02);  // 127 steps: -3.01 - 0.07
    EXPECT_EQ(audio_level_db(silence.data(), 500), kSilenceDb);
    EXPECT_EQ(audio_level_db(nullptr, 0), kSilenceDb);
}

TEST(FeedAddress, HostAndPortOrRefusedWithTheReason) {
    struct Case {
        const char* text;
        bool ok;
        const char* host;
        const char* port;
    };
    const Case cases[] = {
        {"127.0.0.1:5550", true, "127.0.0.1", "5550"},
        {"feed.example.org:5555", true, "feed.example.org", "5555"},
        {"[::1]:65535", true, "::1", "65535"},
        {"localhost:1", true, "localhost", "1"},
        {"localhost", false, "", ""},
        {":5550", false, "", ""},
        {"host:0", false, "", ""},
        {"host:65536", false, "", ""},
        {"host:55x", false, "", ""},
        {"host:", false, "", ""},
        {"::1:5550", false, "", ""},
        {"[::1]5550", false, "", ""},
    };
    for (const Case& c : cases) {
        std::string host, port, error;
        EXPECT_EQ(split_feed_address(c.text, host, port, error), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(host, c.host);
            EXPECT_EQ(port, c.port);
        } else {
            EXPECT_FALSE(error.empty()) << c.text;
        }
    }
    std::string error;
    EXPECT_TRUE(valid_station_id("EDDF-1", error));
    EXPECT_FALSE(valid_station_id("", error));
    EXPECT_FALSE(valid_station_id(std::string(65, 'x'), error));
    EXPECT_FALSE(valid_station_id("a\tb", error));
}

// A UDP socket on a free loopback port.
struct Receiver {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    int port = 0;
    Receiver() {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        socklen_t length = sizeof a;
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
        port = ntohs(a.sin_port);
    }
    ~Receiver() { close(fd); }
    std::string take() {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 5000) != 1) return "<nothing>";
        char data[2048];
        ssize_t n = recv(fd, data, sizeof data, 0);
        return n < 0 ? "<error>" : std::string(data, static_cast<std::size_t>(n));
    }
};

TEST(FeedSend, EveryDestinationGetsTheDatagramAFailureIsCountedOnce) {
    Receiver first, second;
    JsonFeed feed;
    std::string error;
    // The broadcast address without SO_BROADCAST: every send is refused.
    ASSERT_TRUE(open_feed(feed,
                          {"127.0.0.1:" + std::to_string(first.port), "255.255.255.255:9",
                           "localhost:" + std::to_string(second.port)},
                          error))
        << error;
    ASSERT_EQ(feed.destinations.size(), 3u);

    std::vector<FeedFailure> failures = feed_send(feed, "{\"n\":1}");
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].destination->name, "255.255.255.255:9");
    // Refused (EACCES), or unreachable where there is no route out at all.
    EXPECT_TRUE(failures[0].error == EACCES || failures[0].error == ENETUNREACH)
        << failures[0].error;
    EXPECT_TRUE(failures[0].first);
    failures = feed_send(feed, "{\"n\":2}");
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_FALSE(failures[0].first);

    EXPECT_EQ(first.take(), "{\"n\":1}");
    EXPECT_EQ(first.take(), "{\"n\":2}");
    EXPECT_EQ(second.take(), "{\"n\":1}");
    EXPECT_EQ(second.take(), "{\"n\":2}");
    EXPECT_EQ(feed.destinations[0].sent, 2u);
    EXPECT_EQ(feed.destinations[1].failed, 2u);
    EXPECT_EQ(feed.destinations[1].sent, 0u);
}

TEST(FeedSend, AnAddressThatCannotBeHadIsRefusedByName) {
    JsonFeed feed;
    std::string error;
    // A name no resolver takes (a blank in it): refused without asking one.
    EXPECT_FALSE(open_feed(feed, {"127.0.0.1:5550", "bad host:5550"}, error));
    EXPECT_EQ(error.rfind("bad host:5550: ", 0), 0u) << error;
    EXPECT_TRUE(feed.destinations.empty());
    EXPECT_FALSE(open_feed(feed, {"127.0.0.1"}, error));
    EXPECT_EQ(error, "127.0.0.1: expected HOST:PORT");
}

}  // namespace
}  // namespace korvad
