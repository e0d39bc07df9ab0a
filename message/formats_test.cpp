// The text forms against texts written out by hand from their formats.

#include "message/formats.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "message/message_test_util.h"
#include "store/collection.h"

namespace korvad {
namespace {

// 08/12/2026 04:15:30 UTC; the tests run with TZ=UTC.
constexpr std::int32_t kTime = 1796703330;

class Formats : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
    }

    // A downlink as message processing leaves it, without any lookup result.
    static Message downlink() {
        return *testing::build_message({.time = kTime,
                                        .mode = '2',
                                        .block_id = '5',
                                        .label = "H1",
                                        .registration = "N123AB",
                                        .message_number = "M01A",
                                        .flight_id = "UA0123"});
    }
    static Message uplink() {
        Message m = downlink();
        m.mode = 'b';
        m.block_id = 'A';
        set_field(m.message_number, " ");
        set_field(m.flight_id, "    ");
        return m;
    }

    static void add(ReferenceList& list, const char* key, const char* value) {
        auto entry = std::make_unique<ReferenceEntry>();
        entry->key = key;
        if (value != nullptr) entry->value = value;
        ASSERT_TRUE(list.add(entry));
    }

    ReferenceList ground = make_reference_list(10, 10);
    ReferenceList labels = make_reference_list(10, 10);
};

TEST_F(Formats, PiecesTimeHeaderAndDottedRegistration) {
    EXPECT_EQ(contact_time_text(kTime), "08/12/2026 04:15");
    EXPECT_EQ(contact_time_text(86400 * 31 + 60 * 61), "01/02/1970 01:01");
    EXPECT_EQ(header_text(kTime),
              "----------------------------------------------------------[ 08/12/2026 04:15 ]-");
    EXPECT_EQ(dotted_registration("N123AB"), ".N123AB");
    EXPECT_EQ(dotted_registration("D-ABCD"), ".D-ABCD");
    EXPECT_EQ(dotted_registration("G-ABCDE"), "G-ABCDE");
    EXPECT_EQ(dotted_registration("N1"), ".....N1");
    EXPECT_EQ(dotted_registration(""), ".......");
}

TEST_F(Formats, ModeAndLabelDescriptions) {
    add(ground, "B", "Bangkok");
    add(ground, "X", nullptr);  // an entry without value finds nothing
    add(labels, "_d", "Demand mode");
    add(labels, "UAH1", "United position");
    add(labels, "H1", nullptr);

    EXPECT_EQ(mode_description(&ground, 'b'), "b [Bangkok]");  // looked up in upper case
    EXPECT_EQ(mode_description(&ground, 'B'), "B [Bangkok]");
    EXPECT_EQ(mode_description(&ground, '2'), "2");
    EXPECT_EQ(mode_description(&ground, 'X'), "X");
    EXPECT_EQ(mode_description(nullptr, 'b'), "b");

    EXPECT_EQ(label_description(&labels, "_d", "UA0123"), "_d [Demand mode]");
    // Not known as a label: the airline's own label (first two of the flight id).
    EXPECT_EQ(label_description(&labels, "H1", "UA0123"), "H1 [United position]");
    EXPECT_EQ(label_description(&labels, "H1", "LH0400"), "H1");
    EXPECT_EQ(label_description(&labels, "Q0", ""), "Q0");
    EXPECT_EQ(label_description(nullptr, "_d", "UA0123"), "_d");
}

TEST_F(Formats, ScreenTextOfDownlinks) {
    Message m = downlink();
    FormatInputs in;
    // No text, all lookups empty.
    EXPECT_EQ(format_message(m, MessageForm::kScreen, in),
              "\n ACARS mode: 2  Aircraft reg: N123AB [-]\n"
              " Message label: H1 Block id: 5  Message number: M01A\n"
              " Flight number: UA0123  Flight: unknown\n"
              " Operator: -\n"
              " ----------------------------------------------------------[ 08/12/2026 04:15 ]-\n");

    m.text = "POS N50 E008\r\nFL350";
    m.aircraft_type = "B747-400";
    m.route = "Frankfurt-Chicago";
    m.airline = "United";
    EXPECT_EQ(format_message(m, MessageForm::kScreen, in),
              "\n ACARS mode: 2  Aircraft reg: N123AB [B747-400]\n"
              " Message label: H1 Block id: 5  Message number: M01A\n"
              " Flight number: UA0123  Flight: Frankfurt-Chicago\n"
              " Operator: United\n"
              " Message content: -\n"
              " POS N50 E008\r\nFL350\n"
              " ----------------------------------------------------------[ 08/12/2026 04:15 ]-\n");

    // Extended: the descriptions stand in place of mode and label.
    add(ground, "2", "Station two");
    add(labels, "H1", "Position");
    in.extended = true;
    in.ground_stations = &ground;
    in.labels = &labels;
    m.text.reset();
    EXPECT_EQ(format_message(m, MessageForm::kScreen, in),
              "\n ACARS mode: 2 [Station two]  Aircraft reg: N123AB [B747-400]\n"
              " Message label: H1 [Position] Block id: 5  Message number: M01A\n"
              " Flight number: UA0123  Flight: Frankfurt-Chicago\n"
              " Operator: United\n"
              " ----------------------------------------------------------[ 08/12/2026 04:15 ]-\n");
}

TEST_F(Formats, ScreenTextOfUplinksAndSquitters) {
    add(ground, "B", "Bangkok");
    FormatInputs in;
    in.uplink = true;
    in.ground_stations = &ground;  // uplinks show the station even without extended
    Message m = uplink();
    m.text = "REQ POS";
    EXPECT_EQ(format_message(m, MessageForm::kScreen, in),
              "\n ACARS Mode: b [Bangkok]  Aircraft reg: N123AB [-]\n"
              " Message Label: H1 Block ID: A [Uplink]\n"
              " Message content:-\n"
              "REQ POS\n"
              " ----------------------------------------------------------[08/12/2026 04:15]-\n");
    m.text.reset();
    m.aircraft_type = "A320";
    EXPECT_EQ(format_message(m, MessageForm::kScreen, in),
              "\n ACARS Mode: b [Bangkok]  Aircraft reg: N123AB [A320]\n"
              " Message Label: H1 Block ID: A [Uplink]\n"
              " \n"  // a line of one blank before the dash row
              " ----------------------------------------------------------[08/12/2026 04:15]-\n");

    FormatInputs squitter;
    squitter.squitter = true;
    Message s = downlink();
    set_field(s.registration, "_______");
    set_field(s.label, "SQ");
    set_field(s.message_number, "");
    set_field(s.flight_id, "");
    s.text = "02XAATLKATL";
    const std::string expected =
        "\nACARS Mode: 2  Aircraft reg: _______\n"
        "Message Label: SQ Block ID: [Uplink]\n"
        "Message content:-\n"
        "02XAATLKATL\n"
        "----------------------------------------------------------[08/12/2026 04:15]-\n";
    EXPECT_EQ(format_message(s, MessageForm::kScreen, squitter), expected);
    EXPECT_EQ(format_message(s, MessageForm::kAnad, squitter), expected);
    s.text.reset();
    EXPECT_EQ(format_message(s, MessageForm::kScreen, squitter),
              "\nACARS Mode: 2  Aircraft reg: _______\n"
              "Message Label: SQ Block ID: [Uplink]\n"
              "Message content:-\n"
              "\n"
              "----------------------------------------------------------[08/12/2026 04:15]-\n");
}

TEST_F(Formats, AnadEntries) {
    FormatInputs in;
    Message m = downlink();
    EXPECT_EQ(format_message(m, MessageForm::kAnad, in),
              "ACARS mode: 2 Aircraft reg: .N123AB\n"
              "Message label: H1 Block id: 5 Msg. no: M01A\n"
              "Flight id: UA0123\n"
              "-----------------------------------------------------------[08/12/2026 04:15]\n\n");
    m.text = "HELLO";
    m.route = "not in this form";
    EXPECT_EQ(format_message(m, MessageForm::kAnad, in),
              "ACARS mode: 2 Aircraft reg: .N123AB\n"
              "Message label: H1 Block id: 5 Msg. no: M01A\n"
              "Flight id: UA0123\n"
              "Message content:-\n"
              "HELLO\n"
              "-----------------------------------------------------------[08/12/2026 04:15]\n\n");

    in.uplink = true;
    Message u = uplink();
    u.text = "REQ POS";
    EXPECT_EQ(format_message(u, MessageForm::kAnad, in),
              "\nACARS Mode: b  Aircraft reg: .N123AB\n"
              "Message Label: H1 Block ID: A [Uplink]\n"
              "Message content:-\n"
              "REQ POS\n"
              "----------------------------------------------------------[08/12/2026 04:15]-\n");
    u.text.reset();
    EXPECT_EQ(format_message(u, MessageForm::kAnad, in),
              "\nACARS Mode: b  Aircraft reg: .N123AB\n"
              "Message Label: H1 Block ID: A [Uplink]\n"
              "\n"
              "----------------------------------------------------------[08/12/2026 04:15]-\n");
}

std::string log_entry_of(const Message& m) {
    std::FILE* file = std::tmpfile();
    EXPECT_NE(file, nullptr);
    if (file == nullptr) return {};
    EXPECT_TRUE(write_log_entry(file, m));
    std::rewind(file);
    std::string text;
    int c;
    while ((c = std::fgetc(file)) != EOF) text.push_back(static_cast<char>(c));
    std::fclose(file);
    return text;
}

TEST_F(Formats, LogEntries) {
    Message m = downlink();
    EXPECT_EQ(log_entry_of(m),
              "----------------------------------------------------------[ 08/12/2026 04:15 ]-\n"
              "ACARS Mode: 2  Aircraft reg: N123AB\n"
              "Message Label: H1 Block ID: 5  Message Number: M01A\n"
              "Flight Number: UA0123\n"
              "\n");
    m.aircraft_type = "B747-400";
    m.route = "Frankfurt-Chicago";
    m.airline = "United";
    m.text = "HELLO";
    EXPECT_EQ(log_entry_of(m),
              "----------------------------------------------------------[ 08/12/2026 04:15 ]-\n"
              "ACARS Mode: 2  Aircraft reg: N123AB\n"
              "Aircraft type: B747-400\n"
              "Message Label: H1 Block ID: 5  Message Number: M01A\n"
              "Flight Number: UA0123  Flight: Frankfurt-Chicago\n"
              "Operator: United\n"
              "Message Content:-\n"
              "HELLO\n"
              "\n");

    // A mode of NUL is written as a blank, never as a NUL byte.
    Message u = uplink();
    u.mode = '\0';
    EXPECT_EQ(log_entry_of(u),
              "----------------------------------------------------------[ 08/12/2026 04:15 ]-\n"
              "ACARS Mode:    Aircraft reg: N123AB\n"
              "Message Label: H1 Block ID: A  Message Number:  \n"
              "Flight Number:     \n"
              "\n");

    EXPECT_FALSE(write_log_entry(nullptr, m));
    std::FILE* full = std::fopen("/dev/full", "w");
    if (full != nullptr) {
        EXPECT_FALSE(write_log_entry(full, m));  // the flush fails: reported
        std::fclose(full);
    }
}

TEST_F(Formats, ClientAndContactRecords) {
    FormatInputs in;
    Message m = downlink();
    EXPECT_EQ(client_record(m, in),
              "----------------------------------------------------------[ 08/12/2026 04:15 ]-"
              "\t2\tN123AB\t-\tH1\t5\tM01A\tUA0123\tunknown\t-\t-");
    EXPECT_EQ(contact_record(m), "?\tN123AB\tUA0123\tUA0123");

    m.text = "LINE 1\nLINE 2";
    m.aircraft_type = "B747-400";
    m.route = "Frankfurt-Chicago";
    m.airline = "United";
    add(ground, "2", "Station two");
    add(labels, "UAH1", "United position");
    in.extended = true;
    in.ground_stations = &ground;
    in.labels = &labels;
    EXPECT_EQ(client_record(m, in),
              "----------------------------------------------------------[ 08/12/2026 04:15 ]-"
              "\t2 [Station two]\tN123AB\tB747-400\tH1 [United position]\t5\tM01A\tUA0123"
              "\tFrankfurt-Chicago\tUnited\tLINE 1\nLINE 2");
    EXPECT_EQ(contact_record(m), "B747-400\tN123AB\tUA0123\tFrankfurt-Chicago");
}

// ---- Fault analysis --------------------------------------------------------

// A downlink frame as a record: "*" SYN SYN SOH, mode 2, ".N123AB", NAK,
// label H1, block 5, STX, "M01A", "UA0123", text "HI", ETX at 29.
FrameRecord analysed_frame(std::int32_t flags) {
    FrameRecord r{};
    const std::string bytes = std::string("*\x16\x16\x01") + "2.N123AB\x15H15\x02M01AUA0123HI\x03";
    for (std::size_t i = 0; i < bytes.size(); ++i)
        r.chars[i].ch = static_cast<std::uint8_t>(bytes[i]);
    r.end_index = 29;
    r.terminated = 1;
    r.error_flags = flags;
    r.error_count = 2;
    return r;
}

struct Drawn {
    std::string text;
    int column;
    int pair;
    bool bold;
};

std::vector<Drawn> drawn(const std::vector<PrintRecord>& records, int row) {
    std::vector<Drawn> out;
    for (const PrintRecord& p : records) {
        EXPECT_EQ(p.window, Window::kMessage);
        EXPECT_EQ(p.row, row);
        EXPECT_FALSE(p.scroll_first);
        out.push_back({p.text, p.column, p.colour_pair, p.bold});
    }
    return out;
}

bool operator==(const Drawn& a, const Drawn& b) {
    return a.text == b.text && a.column == b.column && a.pair == b.pair && a.bold == b.bold;
}
void PrintTo(const Drawn& d, std::ostream* os) {
    *os << "{\"" << d.text << "\", col " << d.column << ", pair " << d.pair
        << (d.bold ? ", bold}" : "}");
}

class FaultAnalysis : public ::testing::Test {
  protected:
    void SetUp() override { screen.recorder = &records; }
    Screen screen;  // 80 x 24: bottom row of the message window 16
    std::vector<PrintRecord> records;
};

TEST_F(FaultAnalysis, ParityFaultsOnlyShowTheFieldsOneByOne) {
    FrameRecord r = analysed_frame(0x41);
    r.chars[7].parity_error = 1;   // the '1' of the registration
    r.chars[28].parity_error = 1;  // the 'I' of the text
    show_fault_analysis(screen, r);
    const std::vector<Drawn> expected = {
        {" MSG_ERR_ALL MSG_ERR_EXT ", 0, 11, true},
        {"ACARS mode:    Aircraft reg: ", 1, 2, false},
        {"2", 13, 7, true},
        {".", 30, 7, true},
        {"N", 31, 7, true},
        {"1", 32, 5, true},
        {"2", 33, 7, true},
        {"3", 34, 7, true},
        {"A", 35, 7, true},
        {"B", 36, 7, true},
        {"Message label:     Block id:   Msg no:  ", 1, 2, false},
        {"H", 16, 7, true},
        {"1", 17, 7, true},
        {"5", 30, 7, true},
        {"M", 40, 7, true},
        {"0", 41, 7, true},
        {"1", 42, 7, true},
        {"A", 43, 7, true},
        {"Flight number:", 1, 2, false},
        {"U", 16, 7, true},
        {"A", 17, 7, true},
        {"0", 18, 7, true},
        {"1", 19, 7, true},
        {"2", 20, 7, true},
        {"3", 21, 7, true},
        {"Message content:-", 1, 2, false},
        {"H", 1, 7, true},
        {"I", 2, 5, true},  // stops before the ETX
    };
    EXPECT_EQ(drawn(records, 16), expected);
}

TEST_F(FaultAnalysis, OtherFaultsListEveryCharacterWithControlNames) {
    show_fault_analysis(screen, analysed_frame(0x03));
    const std::vector<Drawn> expected = {
        {" MSG_ERR_ALL MSG_ERR_REG ", 0, 11, true},
        {"*", 1, 5, true},
        {"<SYN>", 2, 5, true},
        {"<SYN>", 7, 5, true},
        {"<SOH>", 12, 5, true},
        {"2", 17, 5, true},
        {".", 18, 5, true},
        {"N", 19, 5, true},
        {"1", 20, 5, true},
        {"2", 21, 5, true},
        {"3", 22, 5, true},
        {"A", 23, 5, true},
        {"B", 24, 5, true},
        {"<NAK>", 25, 5, true},
        {"H", 30, 5, true},
        {"1", 31, 5, true},
        {"5", 32, 5, true},
        {"<STX>", 33, 5, true},
        {"M", 38, 5, true},
        {"0", 39, 5, true},
        {"1", 40, 5, true},
        {"A", 41, 5, true},
        {"U", 42, 5, true},
        {"A", 43, 5, true},
        {"0", 44, 5, true},
        {"1", 45, 5, true},
        {"2", 46, 5, true},
        {"3", 47, 5, true},
        {"H", 48, 5, true},
        {"I", 49, 5, true},
        {"<ETX>", 50, 5, true},  // end_index inclusive
    };
    EXPECT_EQ(drawn(records, 16), expected);
}

TEST_F(FaultAnalysis, WrapsAtTheWidthLessTwentyAndNamesDel) {
    screen.columns = 40;  // wrap once the column reaches 20
    screen.lines = 30;
    FrameRecord r = analysed_frame(MSG_ERR_BLK);
    r.chars[5].ch = kDel;  // a hand-made record may hold one
    r.end_index = 7;
    show_fault_analysis(screen, r);
    const std::vector<Drawn> expected = {
        {" MSG_ERR_BLK ", 0, 11, true},
        {"*", 1, 5, true},
        {"<SYN>", 2, 5, true},
        {"<SYN>", 7, 5, true},
        {"<SOH>", 12, 5, true},
        {"2", 17, 5, true},
        {"<DEL>", 18, 5, true},  // column 23: wrapped
        {"N", 1, 5, true},
        {"1", 2, 5, true},
    };
    EXPECT_EQ(drawn(records, 22), expected);
}

TEST_F(FaultAnalysis, NeverReadsPastTheRecord) {
    FrameRecord r{};
    for (auto& c : r.chars) c.ch = 'A';
    r.end_index = 1 << 30;  // as many bytes as a long frame collected
    r.error_flags = 0;      // no names line
    show_fault_analysis(screen, r);
    EXPECT_EQ(records.size(), static_cast<std::size_t>(kFrameRecordChars));

    records.clear();
    r.error_flags = MSG_ERR_ALL | MSG_ERR_EXT;  // the text listing stops at 512 too
    show_fault_analysis(screen, r);
    EXPECT_EQ(records.size(), 1u + 4 + 8 + 7 + 6 + (kFrameRecordChars - 27));

    records.clear();
    r.end_index = -5;
    r.error_flags = MSG_ERR_UNK;
    show_fault_analysis(screen, r);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].text, " MSG_ERR_UNK ");
}

}  // namespace
}  // namespace korvad
