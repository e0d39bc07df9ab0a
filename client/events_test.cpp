#include "client/events.h"

#include <gtest/gtest.h>

#include <string>

namespace korvad::client {
namespace {

using nlohmann::json;
using namespace std::string_literals;

Packet packet(std::int32_t code, std::string text, std::int32_t argument = 0) {
    return Packet{PacketHeader{code, static_cast<std::int32_t>(text.size()), argument},
                  std::move(text)};
}

struct MappingCase {
    std::int32_t code;
    std::int32_t argument;
    std::string text;
    const char* expected;  // the whole object, as JSON
};

// Each packet as the station sends it, and the object a web view gets.
const MappingCase kCases[] = {
    {1, 0, "tower\t2202", R"({"event":"station_address","code":1,"host":"tower","port":2202})"},
    {4, 0, "Good: 5, Upl: 1, Err parity: 0, block: 2, crc: 3",
     R"({"event":"counters","code":4,"good":5,"uplinks":1,"parity_errors":0,"block_errors":2,
         "crc_errors":3,"text":"Good: 5, Upl: 1, Err parity: 0, block: 2, crc: 3"})"},
    {5, 0, "=[ Vol: 42, Extended: OFF ]=",
     R"({"event":"volume","code":5,"level":42,"extended":false,
         "text":"=[ Vol: 42, Extended: OFF ]="})"},
    {18, 0,
     std::string(58, '-') +
         "[ 08/12/2026 04:15 ]-\t2\tD-AIPX\tA320\tH1\t7\tM01A\tLH1234\tunknown\t-\tPOS\r\nFL350",
     R"({"event":"message","code":18,"direction":"downlink","time_text":"08/12/2026 04:15",
         "mode":"2","registration":"D-AIPX","aircraft_type":"A320","label":"H1","block_id":"7",
         "message_number":"M01A","flight":"LH1234","route":"unknown","airline":"-",
         "text":"POS\r\nFL350"})"},
    {6, 0, std::string(58, '-') + "[ 08/12/2026 04:16 ]-\t2\tN1\t-\t_d\tA\t \t    \tunknown\t-\t-",
     R"({"event":"message","code":6,"direction":"uplink","time_text":"08/12/2026 04:16",
         "mode":"2","registration":"N1","aircraft_type":"-","label":"_d","block_id":"A",
         "message_number":" ","flight":"    ","route":"unknown","airline":"-","text":"-"})"},
    {8, 0, "First contact with this aircraft",
     R"({"event":"contact_note","code":8,"text":"First contact with this aircraft"})"},
    {9, 0, "?\tN1\tAB0001\tAB0001",
     R"({"event":"contact","code":9,"aircraft_type":"?","registration":"N1","flight":"AB0001",
         "route":"AB0001"})"},
    {10, 0, "-= unknown =-",
     R"({"event":"type_counted","code":10,"aircraft_type":"-= unknown =-"})"},
    {13, 0, "Lufthansa", R"({"event":"airline_counted","code":13,"airline":"Lufthansa"})"},
    {11, 0, "1\t2\t3\t4",
     R"({"event":"database_sizes","code":11,"flights":1,"airlines":2,"types":3,"airports":4})"},
    {12, 0, "1200", R"({"event":"collection_size","code":12,"entries":1200})"},
    {21, 0, " ", R"({"event":"no_reports","code":21})"},
    {22, 0, "10000", R"({"event":"report_size","code":22,"bytes":10000})"},
    {23, 0, "day.log", R"({"event":"report_name","code":23,"name":"day.log"})"},
    {25, 0, " ", R"({"event":"checksum_setting","code":25,"valid_only":true,"text":" "})"},
    {26, 0, "CRC off", R"({"event":"checksum_setting","code":26,"valid_only":false,
                           "text":"CRC off"})"},
    {35, 0, "35 4", R"({"event":"correction","code":35,"accepted":true})"},
    {36, 0, "36 4", R"({"event":"correction","code":36,"accepted":false})"},
    {51, 0, "anna\thello\tall", R"({"event":"chat","code":51,"nick":"anna","text":"hello\tall"})"},
    {54, 0, "anna\thas closed chat window\t0",
     R"({"event":"presence","code":54,"nick":"anna","status":"has closed chat window",
         "in_chat":false})"},
    {64, 0, "You are now unsubscribed from this Server",
     R"({"event":"subscription","code":64,"accepted":true,
         "text":"You are now unsubscribed from this Server"})"},
    {65, 0, " ", R"({"event":"no_mailing","code":65})"},
    {71, 0, "A|B|", R"({"event":"registration_batch","code":71,"registrations":["A","B"]})"},
    {71, 0, "", R"({"event":"registration_batch","code":71,"registrations":[]})"},
    {72, 0, "1200\t500", R"({"event":"registration_count","code":72,"count":1200,"batch":500})"},
    {74, 0, "N404", R"({"event":"not_found","code":74,"search":"records","key":"N404"})"},
    {75, 0, "2\tN1", R"({"event":"found","code":75,"search":"records","count":2,"key":"N1"})"},
    {76, 0, "5\t1\t1\t70\t2\tH1\t7\tN1\tM01A\tAB0001\t\t\t\t",
     R"({"event":"record","code":76,"time":5,"day":1,"month":1,"years_since_1900":70,"mode":"2",
         "label":"H1","block_id":"7","registration":"N1","message_number":"M01A",
         "flight":"AB0001","text":"","aircraft_type":"","route":"","airline":""})"},
    {77, 0, "!", R"({"event":"records_end","code":77})"},
    {90, 0, "going down at noon", R"({"event":"broadcast","code":90,"text":"going down at noon"})"},
    {91, 0, "131.725", R"({"event":"frequency","code":91,"frequency":"131.725"})"},
    {100, 0, "all 64 slots are busy. please try later!",
     R"({"event":"busy","code":100,"text":"all 64 slots are busy. please try later!"})"},
    {105, 0, "No report for a/b", R"({"event":"notice","code":105,"text":"No report for a/b"})"},
    {106, 0, " ", R"({"event":"no_corrections","code":106})"},
    {108, 0, "Your authorisation code is wrong!",
     R"({"event":"subscription","code":108,"accepted":false,
         "text":"Your authorisation code is wrong!"})"},
    {149, 0, " ", R"({"event":"keepalive","code":149})"},
    {152, 0, "korvad 1.oo\nhello\t ",
     R"({"event":"version","code":152,"program":"korvad","version":"1.oo","notice":"hello"})"},
    {153, 0, "3600\t2 clients currently connected",
     R"({"event":"uptime","code":153,"seconds":3600,"clients":2})"},
    {200, 0, "\x00\x01\x02"s, R"({"event":"report_chunk","code":200,"bytes":3})"},
    // Unknown codes and texts that do not read as their code says.
    {7, 3, "x", R"({"event":"unknown","code":7,"argument":3,"text":"x"})"},
    {4, 0, "Good: lots", R"({"event":"unknown","code":4,"argument":0,"text":"Good: lots"})"},
    {18, 0, "short\trecord", R"({"event":"unknown","code":18,"argument":0,
                                 "text":"short\trecord"})"},
    {-5, 0, "", R"({"event":"unknown","code":-5,"argument":0,"text":""})"},
};

TEST(EventMapper, EveryCodeAgainstObjectsWrittenByHand) {
    for (const MappingCase& c : kCases) {
        EventMapper mapper;
        json got = mapper.map(packet(c.code, c.text, c.argument));
        EXPECT_EQ(got, json::parse(c.expected)) << "code " << c.code << ": " << got.dump();
    }
}

TEST(EventMapper, ContactsAreNamedByTheSearchTheyAnswer) {
    EventMapper mapper;
    mapper.expect_search("aircraft");
    EXPECT_EQ(mapper.map(packet(104, "N404")),
              json::parse(R"({"event":"not_found","code":104,"search":"aircraft","key":"N404"})"));
    EXPECT_EQ(mapper.map(packet(16, "1\tD-AIPX", 0)),
              json::parse(R"({"event":"found","code":16,"search":"aircraft","count":1,
                              "key":"D-AIPX"})"));
    EXPECT_EQ(mapper.map(packet(15, "1796703300\tLH1234\t-unknown-")),
              json::parse(R"({"event":"aircraft_contact","code":15,"time":1796703300,
                              "flight":"LH1234","route":"-unknown-"})"));
    EXPECT_EQ(mapper.map(packet(16, "1\tLH1234", 1))["search"], "flight");
    EXPECT_EQ(mapper.map(packet(15, "1796703300\tD-AIPX\tA320")),
              json::parse(R"({"event":"flight_contact","code":15,"time":1796703300,
                              "registration":"D-AIPX","aircraft_type":"A320"})"));
    // A contact before any search says nothing about its fields.
    EventMapper fresh;
    EXPECT_EQ(fresh.map(packet(15, "1\tA\tB"))["event"], "unknown");
    EXPECT_EQ(fresh.map(packet(104, "X"))["search"], nullptr);
}

TEST(EventMapper, TextsAreUtf8OrLatin1AndEveryLineParses) {
    // Valid UTF-8 passes; any other byte is Latin-1.
    EXPECT_EQ(text_value("D\xc3\xbcsseldorf"), json("D\u00fcsseldorf"));
    EXPECT_EQ(text_value("D\xfcsseldorf"), json("D\u00fcsseldorf"));
    EXPECT_EQ(text_value("\xed\xa0\x80"), json("\u00ed\u00a0\u0080"));  // a surrogate: not UTF-8
    EXPECT_EQ(text_value("\xc0\xaf"), json("\u00c0\u00af"));            // overlong: not UTF-8
    EXPECT_EQ(text_value("\xf0\x9f\x9b\xab"), json("\U0001F6EB"));

    // Every byte value in a message text still gives one line of valid JSON.
    std::string all;
    for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
    EventMapper mapper;
    const std::string line = json_line(mapper.map(packet(90, all)));
    ASSERT_EQ(line.back(), '\n');
    EXPECT_EQ(line.find('\n'), line.size() - 1);
    json back = json::parse(line);
    EXPECT_EQ(back["text"].get<std::string>().size(), 128u + 128u * 2);
}

TEST(EventMapper, GreetingAndOwnObjects) {
    Greeting g;
    g.host = "tower";
    g.port = 2202;
    g.program = "korvad";
    g.version = "1.oo";
    g.collection_entries = 3;
    g.mailing = false;
    EXPECT_EQ(greeting_to_json(g), json::parse(R"({
        "event":"station","host":"tower","port":2202,"program":"korvad","version":"1.oo",
        "notice":"","flights":0,"airlines":0,"types":0,"airports":0,"collection_entries":3,
        "valid_only":null,"reports":true,"corrections":true,"mailing":false,"frequency":null})"));
    g.valid_only = false;
    g.frequency = "131.550";
    json j = greeting_to_json(g);
    EXPECT_EQ(j["valid_only"], false);
    EXPECT_EQ(j["frequency"], "131.550");
    EXPECT_EQ(registration_to_json("D-AIPX"),
              json::parse(R"({"event":"registration","registration":"D-AIPX"})"));
    EXPECT_EQ(error_to_json(4, "busy"),
              json::parse(R"({"event":"error","status":4,"text":"busy"})"));
}

}  // namespace
}  // namespace korvad::client
