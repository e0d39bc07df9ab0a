#include "client/protocol.h"

#include <gtest/gtest.h>

#include <string>

#include "client/text_forms.h"

namespace korvad::client {
namespace {

using namespace std::string_literals;

const std::string kDashes(58, '-');

TEST(ClientRecord, DownlinkAndUplinkFieldByField) {
    // Downlink as the decoder sends it without extended mode: header, mode,
    // registration, type, label, block, number, flight, route, airline, text.
    const std::string downlink = kDashes +
                                 "[ 08/12/2026 04:15 ]-\t2\tD-AIPX\tA320\tH1\t7\tM01A\tLH1234\t"
                                 "Frankfurt - London\tLufthansa\tPOS N50 E008\r\nFL350";
    auto r = parse_message_record(downlink, false);
    ASSERT_TRUE(r);
    EXPECT_FALSE(r->uplink);
    EXPECT_EQ(r->time_text, "08/12/2026 04:15");
    EXPECT_EQ(r->mode, "2");
    EXPECT_EQ(r->registration, "D-AIPX");
    EXPECT_EQ(r->aircraft_type, "A320");
    EXPECT_EQ(r->label, "H1");
    EXPECT_EQ(r->block_id, "7");
    EXPECT_EQ(r->message_number, "M01A");
    EXPECT_EQ(r->flight, "LH1234");
    EXPECT_EQ(r->route, "Frankfurt - London");
    EXPECT_EQ(r->airline, "Lufthansa");
    EXPECT_EQ(r->text, "POS N50 E008\r\nFL350");

    // Uplink in extended mode, no lookups, no text: descriptions in mode and
    // label, " " and four spaces as number and flight, the replacements.
    const std::string uplink = kDashes +
                               "[ 01/01/2027 00:00 ]-\t2 [Station X]\tN123AB\t-\t_d [Command]\tA\t "
                               "\t    \tunknown\t-\t-";
    r = parse_message_record(uplink, true);
    ASSERT_TRUE(r);
    EXPECT_TRUE(r->uplink);
    EXPECT_EQ(r->mode, "2 [Station X]");
    EXPECT_EQ(r->label, "_d [Command]");
    EXPECT_EQ(r->message_number, " ");
    EXPECT_EQ(r->flight, "    ");
    EXPECT_EQ(r->route, "unknown");
    EXPECT_EQ(r->text, "-");

    // The text is the last field: its own tabs stay in it.
    r = parse_message_record(kDashes + "[ x ]-\t2\tR\tT\tL\tB\tN\tF\tR\tA\tone\ttwo\t", false);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->text, "one\ttwo\t");

    // Fewer than eleven fields is not a client record; a header of another
    // shape is kept as it is.
    EXPECT_FALSE(parse_message_record("a\tb\tc\td\te\tf\tg\th\ti\tj", false));
    EXPECT_FALSE(parse_message_record("", false));
    r = parse_message_record("---odd header\t\t\t\t\t\t\t\t\t\t", false);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->time_text, "odd header");
    EXPECT_EQ(r->text, "");
}

TEST(ClientRecord, FullRecordReadsTheTextBetweenItsNeighbours) {
    const std::string line =
        "1796703300\t8\t12\t126\t2\tH1\t7\tD-AIPX\tM01A\tLH1234\tPOS\tN50\tA320\tFRA-"
        "LHR\tLufthansa";
    auto r = parse_full_record(line);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->time, 1796703300);
    EXPECT_EQ(r->day, 8);
    EXPECT_EQ(r->month, 12);
    EXPECT_EQ(r->years_since_1900, 126);
    EXPECT_EQ(r->mode, "2");
    EXPECT_EQ(r->label, "H1");
    EXPECT_EQ(r->block_id, "7");
    EXPECT_EQ(r->registration, "D-AIPX");
    EXPECT_EQ(r->message_number, "M01A");
    EXPECT_EQ(r->flight, "LH1234");
    EXPECT_EQ(r->text, "POS\tN50");
    EXPECT_EQ(r->aircraft_type, "A320");
    EXPECT_EQ(r->route, "FRA-LHR");
    EXPECT_EQ(r->airline, "Lufthansa");

    // No text, type, route, airline: four empty fields at the end.
    r = parse_full_record("5\t1\t1\t70\t2\tH1\t7\tN1\tM01A\tAB0001\t\t\t\t");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->text, "");
    EXPECT_EQ(r->aircraft_type, "");
    EXPECT_EQ(r->airline, "");

    EXPECT_FALSE(parse_full_record("5\t1\t1\t70\t2\tH1\t7\tN1\tM01A\tAB0001\t\t\t"));  // 13
    EXPECT_FALSE(parse_full_record("x5\t1\t1\t70\t2\tH1\t7\tN1\tM01A\tAB0001\t\t\t\t"));
}

TEST(ClientRecord, ShortAnswersAndNotices) {
    // Counters, volume, uptime: exact forms, anything else does not read.
    auto counters = parse_counters("Good: 12, Upl: 3, Err parity: 4, block: 5, crc: -1");
    ASSERT_TRUE(counters);
    EXPECT_EQ(counters->good, 12);
    EXPECT_EQ(counters->uplinks, 3);
    EXPECT_EQ(counters->parity_errors, 4);
    EXPECT_EQ(counters->block_errors, 5);
    EXPECT_EQ(counters->crc_errors, -1);
    for (const char* bad : {"Good: 12, Upl: 3, Err parity: 4, block: 5", "Good: x, Upl: 3",
                            "Good: 1, Upl: 2, Err parity: 3, block: 4, crc: 5 ", ""})
        EXPECT_FALSE(parse_counters(bad)) << bad;

    auto volume = parse_volume("=[ Vol: 87, Extended: ON ]=");
    ASSERT_TRUE(volume);
    EXPECT_EQ(volume->level, 87);
    EXPECT_TRUE(volume->extended);
    ASSERT_TRUE(parse_volume("=[ Vol: 0, Extended: OFF ]="));
    EXPECT_FALSE(parse_volume("=[ Vol: 0, Extended: OFF ]=")->extended);
    EXPECT_FALSE(parse_volume("=[ Vol: 87, Extended: MAYBE ]="));
    EXPECT_FALSE(parse_volume("=[ Vol: , Extended: ON ]="));

    auto uptime = parse_uptime("3600\t2 clients currently connected");
    ASSERT_TRUE(uptime);
    EXPECT_EQ(uptime->seconds, 3600);
    EXPECT_EQ(uptime->clients, 2);
    EXPECT_FALSE(parse_uptime("3600 2 clients currently connected"));

    auto found = parse_count_and_text("3\tD-AIPX");
    ASSERT_TRUE(found);
    EXPECT_EQ(found->count, 3);
    EXPECT_EQ(found->text, "D-AIPX");
    EXPECT_FALSE(parse_count_and_text("three\tD-AIPX"));

    auto contact = parse_stream_contact("1796703300\tLH1234\t-unknown-");
    ASSERT_TRUE(contact);
    EXPECT_EQ(contact->time, 1796703300);
    EXPECT_EQ(contact->first, "LH1234");
    EXPECT_EQ(contact->second, "-unknown-");
    EXPECT_FALSE(parse_stream_contact("1796703300\tLH1234"));

    auto note = parse_contact_record("?\tN123AB\tAB0001\tAB0001");
    ASSERT_TRUE(note);
    EXPECT_EQ(note->aircraft_type, "?");
    EXPECT_EQ(note->route, "AB0001");

    ChatLine system = parse_chat_line("SYSTEM\tanna logged in");
    EXPECT_EQ(system.nick, "SYSTEM");
    EXPECT_EQ(system.text, "anna logged in");
    EXPECT_EQ(parse_chat_line("no tab").text, "no tab");

    auto presence = parse_presence("anna\tis now in chatmode\t1");
    ASSERT_TRUE(presence);
    EXPECT_EQ(presence->nick, "anna");
    EXPECT_EQ(presence->status, "is now in chatmode");
    EXPECT_TRUE(presence->in_chat);
    EXPECT_FALSE(parse_presence("anna\thas closed chat window\t0")->in_chat);
    EXPECT_FALSE(parse_presence("anna\t2"));

    EXPECT_EQ(parse_registration_batch("D-AIPX|N123AB|"),
              (std::vector<std::string>{"D-AIPX", "N123AB"}));
    EXPECT_TRUE(parse_registration_batch("").empty());
}

TEST(ClientRecord, NumbersAreWholeDecimalsInRange) {
    EXPECT_EQ(read_number("0"), 0);
    EXPECT_EQ(read_number("-12"), -12);
    EXPECT_EQ(read_number("9223372036854775807"), INT64_MAX);
    for (const char* bad : {"", "-", "+1", " 1", "1 ", "0x10", "9223372036854775808", "1e3"})
        EXPECT_FALSE(read_number(bad)) << bad;
}

Packet packet(std::int32_t code, std::string text) {
    return Packet{PacketHeader{code, static_cast<std::int32_t>(text.size()), 0}, std::move(text)};
}

TEST(Greeting, EveryPacketOfAGreetingTakenInOrder) {
    Greeting g;
    EXPECT_TRUE(take_greeting_packet(g, packet(1, "station\t2202")));
    EXPECT_TRUE(take_greeting_packet(g, packet(11, "100\t20\t300\t4000")));
    EXPECT_TRUE(take_greeting_packet(g, packet(12, "1200")));
    EXPECT_TRUE(take_greeting_packet(g, packet(152, "korvad 1.oo\nWelcome to the tower\t ")));
    EXPECT_TRUE(take_greeting_packet(g, packet(25, " ")));
    EXPECT_TRUE(take_greeting_packet(g, packet(21, " ")));
    EXPECT_TRUE(take_greeting_packet(g, packet(106, " ")));
    EXPECT_TRUE(take_greeting_packet(g, packet(65, " ")));
    EXPECT_TRUE(take_greeting_packet(g, packet(91, "131.725 MHz")));
    EXPECT_TRUE(g.station_seen);
    EXPECT_EQ(g.host, "station");
    EXPECT_EQ(g.port, 2202);
    EXPECT_EQ(g.flights, 100);
    EXPECT_EQ(g.airlines, 20);
    EXPECT_EQ(g.types, 300);
    EXPECT_EQ(g.airports, 4000);
    EXPECT_EQ(g.collection_entries, 1200);
    EXPECT_EQ(g.program, "korvad");
    EXPECT_EQ(g.version, "1.oo");
    EXPECT_EQ(g.notice, "Welcome to the tower");
    EXPECT_EQ(g.valid_only, true);
    EXPECT_FALSE(g.reports);
    EXPECT_FALSE(g.corrections);
    EXPECT_FALSE(g.mailing);
    EXPECT_EQ(g.frequency, "131.725 MHz");

    // Not greeting packets, or greeting codes whose text does not read.
    Greeting before = g;
    for (const Packet& p : {packet(1, "station"), packet(1, "station\tport"), packet(11, "1\t2\t3"),
                            packet(12, "many"), packet(18, "x"), packet(149, " ")}) {
        EXPECT_FALSE(take_greeting_packet(g, p)) << p.header.code << " " << p.payload;
    }
    EXPECT_EQ(g.host, before.host);
    EXPECT_EQ(g.flights, before.flights);
}

TEST(Greeting, SummariesSayWhatTheStationOffers) {
    Greeting g;
    ASSERT_TRUE(take_greeting_packet(g, packet(1, "tower\t2203")));
    ASSERT_TRUE(take_greeting_packet(g, packet(12, "7")));
    ASSERT_TRUE(take_greeting_packet(g, packet(26, " ")));
    ASSERT_TRUE(take_greeting_packet(g, packet(21, " ")));
    EXPECT_EQ(greeting_summary(g),
              "Connected to tower port 2203: 7 aircraft contacts in the "
              "collection\n");
    const std::string table = greeting_table(g);
    EXPECT_NE(table.find("port:          2203\n"), std::string::npos) << table;
    EXPECT_NE(table.find("collection:    7 entries\n"), std::string::npos);
    EXPECT_NE(table.find("CRC:           all messages are shown\n"), std::string::npos);
    EXPECT_NE(table.find("reports:       none\n"), std::string::npos);
    EXPECT_NE(table.find("corrections:   yes\n"), std::string::npos);
    EXPECT_NE(table.find("frequency:     not said\n"), std::string::npos);
}

TEST(RequestFields, NamesAndFieldsTheProtocolCanCarry) {
    for (const char* good : {"korvad-2026-12-08.log", "a", "..x", "report.zip"})
        EXPECT_TRUE(is_plain_file_name(good)) << good;
    for (std::string bad : {""s, "."s, ".."s, "../x"s, "/etc/passwd"s, "a/b"s, "a\nb"s, "a\0b"s,
                            std::string(4093, 'x')})
        EXPECT_FALSE(is_plain_file_name(bad)) << bad;
    EXPECT_TRUE(is_plain_field("D-AIPX"));
    EXPECT_TRUE(is_plain_field("    "));
    EXPECT_FALSE(is_plain_field("a\tb"));
    EXPECT_FALSE(is_plain_field("a\rb"));
    EXPECT_FALSE(is_plain_field(std::string(4093, 'x')));
}

TEST(TextForms, StationTextsCannotDriveTheTerminal) {
    EXPECT_EQ(printable("line one\r\nline two\tend"), "line one\nline two\tend");
    EXPECT_EQ(printable("\x1b[2J\x07\x7f\r"s + "x\0y"s), "^[[2J^G^?^Mx^@y");
    EXPECT_EQ(printable("D\xc3\xbcsseldorf"), "D\xc3\xbcsseldorf");

    MessageRecord r;
    r.time_text = "08/12/2026 04:15";
    r.mode = "2";
    r.registration = "D-AIPX";
    r.aircraft_type = "A320";
    r.label = "H1";
    r.block_id = "7";
    r.message_number = "M01A";
    r.flight = "LH1234";
    r.route = "unknown";
    r.airline = "-";
    r.text = "POS N50\r\n\x1b]0;owned\x07";
    EXPECT_EQ(message_block(r),
              "08/12/2026 04:15  downlink  D-AIPX [A320]  label H1  block 7  mode 2\n"
              "  flight LH1234  message M01A  route: unknown  airline: -\n"
              "  | POS N50\n"
              "  | ^[]0;owned^G\n"
              "\n");
    r.uplink = true;
    r.text = "-";
    EXPECT_EQ(message_block(r),
              "08/12/2026 04:15  uplink    D-AIPX [A320]  label H1  block 7  mode 2\n\n");

    EXPECT_EQ(progress_bar(0, 0, 4), "[####] 100% 0/0 bytes");
    EXPECT_EQ(progress_bar(2048, 8192, 4), "[#...]  25% 2048/8192 bytes");
    EXPECT_EQ(chat_text({"SYSTEM", "anna logged in"}), "* anna logged in\n");
    EXPECT_EQ(chat_text({"bob", "hello"}), "<bob> hello\n");
}

}  // namespace
}  // namespace korvad::client
