#include "web/request_checks.h"

#include <gtest/gtest.h>

namespace korvad::web {
namespace {

using namespace std::string_literals;

TEST(RequestChecks, RegistrationsAndFlightIdsAreShortPlainKeys) {
    struct Case {
        std::string text;
        bool registration, flight;
    };
    const Case cases[] = {
        {"D-AIPX", true, true},     {"N123AB", true, true},      {"G-EUPT", true, true},
        {"_______", true, false},   {"LH1234", true, true},      {"a.b_c-9", true, false},
        {"N1234567", false, false},  // 8 characters
        {"", false, false},         {"D AIPX", false, false},    {"D/AIPX", false, false},
        {"..", true, true},  // harmless: the station compares it byte for byte
        {"D-AIP%", false, false},   {"<img>", false, false},     {"D-AI\tX", false, false},
        {"D\0AIPX"s, false, false}, {"\xc3\x84R", false, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(is_registration(c.text), c.registration) << c.text;
        EXPECT_EQ(is_flight_id(c.text), c.flight) << c.text;
    }
}

TEST(RequestChecks, IdsAndCountsAreBoundedDecimalNumbers) {
    EXPECT_EQ(read_id("0"), 0u);
    EXPECT_EQ(read_id("2500"), 2500u);
    EXPECT_EQ(read_id("9999999999999999999"), 9999999999999999999u);
    for (const char* bad : {"", "-1", "+1", " 1", "1 ", "1e3", "0x10", "12345678901234567890"})
        EXPECT_FALSE(read_id(bad)) << bad;
    EXPECT_EQ(read_count("500", 2000), 500u);
    EXPECT_EQ(read_count("2000", 2000), 2000u);
    for (const char* bad : {"0", "2001", "", "99999999999", "5x"})
        EXPECT_FALSE(read_count(bad, 2000)) << bad;
}

TEST(RequestChecks, AQueryNamesOnlyItsParametersOnce) {
    using Params = std::multimap<std::string, std::string>;
    EXPECT_EQ(check_query(Params{}, {}), "");
    EXPECT_EQ(check_query(Params{{"since", "1"}, {"limit", "5"}}, {"since", "limit"}), "");
    EXPECT_EQ(check_query(Params{{"since", "1"}}, {}), "unknown query parameter");
    EXPECT_EQ(check_query(Params{{"sinse", "1"}}, {"since"}), "unknown query parameter");
    EXPECT_EQ(check_query(Params{{"since", "1"}, {"since", "2"}}, {"since"}),
              "a query parameter given twice");
}

TEST(RequestChecks, PathsArePrintableAsciiOfBoundedLength) {
    EXPECT_TRUE(is_plain_path("/"));
    EXPECT_TRUE(is_plain_path("/api/aircraft/D-AIPX"));
    EXPECT_TRUE(is_plain_path("/" + std::string(kMaxPath - 1, 'a')));
    EXPECT_FALSE(is_plain_path("/" + std::string(kMaxPath, 'a')));
    for (const std::string& bad : {""s, "api"s, "/a b"s, "/a\nb"s, "/a\0b"s, "/\xc3\x84"s})
        EXPECT_FALSE(is_plain_path(bad)) << bad;
}

TEST(RequestChecks, ListenAddressesReadAsHostAndPort) {
    struct Case {
        const char* text;
        const char* host;  // null: refused
        int port;
    };
    const Case cases[] = {
        {"127.0.0.1:8080", "127.0.0.1", 8080},
        {"0.0.0.0:80", "0.0.0.0", 80},
        {"localhost:0", "localhost", 0},
        {"[::1]:8080", "::1", 8080},
        {"[::]:65535", "::", 65535},
        {"127.0.0.1", nullptr, 0},
        {"127.0.0.1:", nullptr, 0},
        {":8080", nullptr, 0},
        {"127.0.0.1:65536", nullptr, 0},
        {"127.0.0.1:-1", nullptr, 0},
        {"::1:8080", nullptr, 0},
        {"[::1:8080", nullptr, 0},
        {"[zz]:8080", nullptr, 0},
        {"a b:8080", nullptr, 0},
    };
    for (const Case& c : cases) {
        auto a = parse_listen(c.text);
        if (c.host == nullptr) {
            EXPECT_FALSE(a) << c.text;
            continue;
        }
        ASSERT_TRUE(a) << c.text;
        EXPECT_EQ(a->host, c.host);
        EXPECT_EQ(a->port, c.port);
    }
    EXPECT_TRUE(is_loopback_host("127.0.0.1"));
    EXPECT_TRUE(is_loopback_host("127.1.2.3"));
    EXPECT_TRUE(is_loopback_host("::1"));
    EXPECT_TRUE(is_loopback_host("localhost"));
    EXPECT_FALSE(is_loopback_host("0.0.0.0"));
    EXPECT_FALSE(is_loopback_host("192.0.2.1"));
}

TEST(RequestChecks, OnLoopbackOnlyLoopbackNamesWithThePortAreAccepted) {
    for (const char* good : {"127.0.0.1:8080", "localhost:8080", "[::1]:8080"})
        EXPECT_TRUE(is_allowed_host_header(good, "127.0.0.1", 8080)) << good;
    for (const char* bad : {"evil.example:8080", "127.0.0.1:8081", "127.0.0.1", "localhost",
                            "127.0.0.1:8080.evil.example", ""})
        EXPECT_FALSE(is_allowed_host_header(bad, "127.0.0.1", 8080)) << bad;
    EXPECT_TRUE(is_allowed_host_header("[::1]:9000", "::1", 9000));
    EXPECT_TRUE(is_allowed_host_header("127.0.0.2:9000", "127.0.0.2", 9000));
    EXPECT_TRUE(is_allowed_host_header("localhost", "127.0.0.1", 80));  // the default port
}

}  // namespace
}  // namespace korvad::web
