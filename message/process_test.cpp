// Message processing over hand-built frame record tables, with the screen
// recorder, real log files and a real message queue read back after each run.

#include "message/process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "common/test_folder.h"
#include "control/queue/codes.h"
#include "control/queue/queue.h"
#include "control/queue/queue_test_util.h"
#include "store/collection.h"
#include "store/statistics.h"

namespace korvad {
namespace {

// 08/12/2026 04:15:30 UTC; the tests run with TZ=UTC.
constexpr std::time_t kTime = 1796703330;

const std::string kOpening = "*\x16\x16\x01";

// A downlink as collected: mode, dotted registration, TAK, label, block id,
// STX, message number, flight id, text, ETX and two BCS bytes.
std::string downlink_frame(const std::string& registration7, const std::string& flight,
                           const std::string& text) {
    return kOpening + "2" + registration7 + "\x15" + "H15\x02" + "M01A" + flight + text +
           "\x03\x55\x55";
}
// Uplinks (lower-case mode, upper-case block id) and squitters carry their
// text from index 17.
std::string uplink_frame(const std::string& text) {
    return kOpening + "b.N123AB\x15" + "_dA\x02" + text + "\x03\x55\x55";
}
std::string squitter_frame(const std::string& text) {
    return kOpening + "2.......\x15" + "SQ0\x02" + text + "\x03\x55\x55";
}

// The record frame decoding leaves for a frame that passed every check.
FrameRecord good_record(const std::string& bytes) {
    FrameRecord r{};
    r.end_index = static_cast<std::int32_t>(bytes.size());
    for (std::size_t i = 0; i < bytes.size() && i < static_cast<std::size_t>(kFrameRecordChars);
         ++i) {
        r.chars[i].ch = static_cast<std::uint8_t>(bytes[i]) & 0x7F;
        if (!r.terminated && (r.chars[i].ch == kEtx || r.chars[i].ch == kEtb)) {
            r.terminated = 1;
            r.end_index = static_cast<std::int32_t>(i);
        }
    }
    r.squitter = r.chars[13].ch == 'S' && r.chars[14].ch == 'Q';
    r.uplink = !r.squitter && r.chars[4].ch >= 'a' && r.chars[4].ch <= 'z';
    return r;
}

struct Sent {
    int code;
    std::string text;
};

// The two daily logs as temporary files.
struct TestLogs {
    std::FILE* message_file = nullptr;
    std::FILE* anad_file = nullptr;
    ~TestLogs() {
        if (message_file != nullptr) std::fclose(message_file);
        if (anad_file != nullptr) std::fclose(anad_file);
    }
    MessageLogs sink() const { return MessageLogs{&message_file, &anad_file}; }
};

class Processing : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
        ASSERT_GE(queue.id(), 0);
        channel.queue_id = queue.id();
        channel.server_running = true;
        screen.recorder = &drawn;

        ASSERT_FALSE(folder.path().empty());
        set_store_folder(stores, folder.path());
        stores.collection = make_contact_list(1000, 100);
        stores.statistics = DailyStatistics{};
        stores.repeats = make_string_list(5, 3);
        logs.message_file = std::tmpfile();
        logs.anad_file = std::tmpfile();
        ASSERT_NE(logs.message_file, nullptr);
        ASSERT_NE(logs.anad_file, nullptr);
    }
    MessageOutcome run(std::initializer_list<FrameRecord> records) {
        auto table = std::make_unique<FrameTable>();
        for (const FrameRecord& r : records) table->records[table->count++] = r;
        MessageContext context{settings, counters, screen, channel, stores, logs.sink(), now};
        return process_message(context, *table);
    }

    // Everything the server process would have received, in order.
    std::vector<Sent> sent() {
        std::vector<Sent> out;
        QueueMessage msg;
        while (queue_receive_once(queue.id(), ToServer, msg) > 0)
            out.push_back({msg.code, msg.text});
        return out;
    }
    static std::vector<int> codes(const std::vector<Sent>& messages) {
        std::vector<int> out;
        for (const Sent& s : messages) out.push_back(s.code);
        return out;
    }
    static std::string contents(std::FILE* file) {
        std::string text;
        std::rewind(file);
        for (int c; (c = std::fgetc(file)) != EOF;) text.push_back(static_cast<char>(c));
        return text;
    }
    // The message-window texts drawn, in order.
    std::vector<std::string> message_texts() const {
        std::vector<std::string> out;
        for (const PrintRecord& p : drawn) {
            if (p.window == Window::kMessage) out.push_back(p.text);
        }
        return out;
    }
    const PrintRecord* drawn_text(const std::string& text) const {
        for (const PrintRecord& p : drawn) {
            if (p.text == text) return &p;
        }
        return nullptr;
    }

    void add_reference(ReferenceList& list, const char* key, const char* value) {
        auto entry = std::make_unique<ReferenceEntry>();
        entry->key = key;
        entry->value = value;
        ASSERT_TRUE(list.add(entry));
    }

    MessageOptions settings;
    Counters counters;
    Screen screen;  // 80 x 24: the message window's bottom row is 16
    std::vector<PrintRecord> drawn;
    testing::QueueGuard queue;  // removed however the test ends
    ServerChannel channel;
    Stores stores;
    TestLogs logs;
    TestFolder folder{"korvad-process"};
    std::time_t now = kTime;  // of the buffer the records came from
};

TEST(MessageDigest, IsMd5InLowerCaseHex) {
    EXPECT_EQ(message_digest(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(message_digest("abc"), "900150983cd24fb0d6963f7d28e17f72");
}

TEST_F(Processing, TwoGoodRecordsTakeTheFirstWithEveryOutputInOrder) {
    ReferenceDatabases& db = *stores.databases;
    add_reference(db.types, "N123AB", "B747-400");
    add_reference(db.flights, "UA0123", "fra-ORD");
    add_reference(db.airlines, "UA", "United");
    add_reference(db.airports, "FRA", "Frankfurt");
    add_reference(db.airports, "ORD", "Chicago");
    settings.anad_log = true;

    EXPECT_EQ(run({good_record(downlink_frame(".N123AB", "UA0123", "POS N50")),
                   good_record(downlink_frame(".D-ABCD", "LH0400", "OTHER"))}),
              MessageOutcome::kDownlink);

    const std::string screen_text =
        "\n ACARS mode: 2  Aircraft reg: N123AB [B747-400]\n"
        " Message label: H1 Block id: 5  Message number: M01A\n"
        " Flight number: UA0123  Flight: Frankfurt-Chicago\n"
        " Operator: United\n"
        " Message content: -\n"
        " POS N50\n"
        " ----------------------------------------------------------[ 08/12/2026 04:15 ]-\n";
    ASSERT_EQ(message_texts(), std::vector<std::string>{screen_text});
    const PrintRecord* shown = drawn_text(screen_text);
    EXPECT_EQ(shown->colour_pair, 2);
    EXPECT_EQ(shown->column, 0);
    EXPECT_EQ(shown->row, 16);
    EXPECT_FALSE(shown->bold);
    EXPECT_TRUE(shown->scroll_first);

    const std::vector<Sent> out = sent();
    ASSERT_EQ(codes(out), (std::vector<int>{18, 9, 4, 10, 13}));
    EXPECT_EQ(out[0].text,
              "----------------------------------------------------------[ 08/12/2026 04:15 ]-"
              "\t2\tN123AB\tB747-400\tH1\t5\tM01A\tUA0123\tFrankfurt-Chicago\tUnited\tPOS N50");
    EXPECT_EQ(out[1].text, "B747-400\tN123AB\tUA0123\tFrankfurt-Chicago");
    EXPECT_EQ(out[2].text, "Good: 1, Upl: 0, Err parity: 0, block: 0, crc: 0");
    EXPECT_EQ(out[3].text, "B747-400");
    EXPECT_EQ(out[4].text, "United");

    EXPECT_EQ(contents(logs.message_file),
              "----------------------------------------------------------[ 08/12/2026 04:15 ]-\n"
              "ACARS Mode: 2  Aircraft reg: N123AB\n"
              "Aircraft type: B747-400\n"
              "Message Label: H1 Block ID: 5  Message Number: M01A\n"
              "Flight Number: UA0123  Flight: Frankfurt-Chicago\n"
              "Operator: United\n"
              "Message Content:-\n"
              "POS N50\n"
              "\n");
    EXPECT_EQ(contents(logs.anad_file),
              "ACARS mode: 2 Aircraft reg: .N123AB\n"
              "Message label: H1 Block id: 5 Msg. no: M01A\n"
              "Flight id: UA0123\n"
              "Message content:-\n"
              "POS N50\n"
              "-----------------------------------------------------------[08/12/2026 04:15]\n\n");

    EXPECT_EQ(counters.good_count, 1);
    EXPECT_EQ(counters.crc_error_count, 0);
    ASSERT_EQ(stores.collection->count(), 1);
    const Message* kept = stores.collection->at(0);
    EXPECT_STREQ(kept->registration, "N123AB");
    EXPECT_STREQ(kept->flight_id, "UA0123");
    EXPECT_EQ(kept->time, kTime);
    EXPECT_EQ(kept->day, 8);
    EXPECT_EQ(kept->month, 12);
    EXPECT_EQ(kept->year, 126);
}

TEST_F(Processing, RecordsThatAreNotGoodAreShownAfterTheChecksumLine) {
    // Case 2 (terminated, CRC failed) wins over case 3 (no end), whatever the order.
    FrameRecord no_end = good_record(downlink_frame(".N123AB", "UA0123", "NO END"));
    no_end.terminated = 0;
    no_end.end_index = 40;
    FrameRecord bad_crc = good_record(downlink_frame(".D-ABCD", "LH0400", "BAD CRC"));
    bad_crc.crc = 0x1234;
    EXPECT_EQ(run({no_end, bad_crc}), MessageOutcome::kDownlink);
    std::vector<std::string> texts = message_texts();
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[0], "FCB checksum doesn't match for the following message");
    EXPECT_NE(texts[1].find("Aircraft reg: D-ABCD"), std::string::npos);
    const PrintRecord* line = drawn_text(texts[0]);
    EXPECT_EQ(line->colour_pair, 5);
    EXPECT_EQ(line->column, 1);
    EXPECT_TRUE(line->bold);
    EXPECT_TRUE(line->scroll_first);
    EXPECT_EQ(counters.crc_error_count, 1);
    EXPECT_EQ(counters.good_count, 1);
    // Sent and logged, but not collected: no statistics names (10, 13).
    EXPECT_EQ(codes(sent()), (std::vector<int>{18, 9, 4}));
    EXPECT_NE(contents(logs.message_file).find("Aircraft reg: D-ABCD\n"), std::string::npos);
    EXPECT_EQ(stores.collection->count(), 0);
    EXPECT_EQ(stores.statistics->types.count(), 0);
    EXPECT_EQ(stores.statistics->airlines.count(), 0);

    // A good CRC without ETX is case 3: not good either.
    drawn.clear();
    EXPECT_EQ(run({no_end}), MessageOutcome::kDownlink);
    texts = message_texts();
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[0], "FCB checksum doesn't match for the following message");
    EXPECT_NE(texts[1].find("Aircraft reg: N123AB"), std::string::npos);
    EXPECT_NE(texts[1].find(" NO END\n"), std::string::npos);  // up to end_index, before the ETX
    EXPECT_EQ(counters.crc_error_count, 2);
}

TEST_F(Processing, AFailedCheckNeverReachesTheCollectionTheRegisterOrTheStatistics) {
    // Two bit errors in one character keep its parity: 'BA0175' arrives as
    // 'BA0171', every character in its set, only the CRC fails.
    settings.extended = true;
    stores.new_contacts = make_new_contact_register();
    FrameRecord damaged = good_record(downlink_frame(".G-VIIA", "BA0171", "REQ CLX"));
    damaged.crc = 0x2a41;
    EXPECT_EQ(run({damaged}), MessageOutcome::kDownlink);
    const std::vector<std::string> texts = message_texts();
    EXPECT_EQ(texts[0], "FCB checksum doesn't match for the following message");
    EXPECT_NE(std::find(texts.begin(), texts.end(), "First contact with this aircraft"),
              texts.end());  // shown, as every contact line is
    EXPECT_EQ(stores.collection->count(), 0);
    EXPECT_EQ(stores.new_contacts->count(), 0);
    EXPECT_EQ(stores.statistics->types.count(), 0);
    EXPECT_EQ(counters.collection_additions, 0);
    EXPECT_EQ(codes(sent()), (std::vector<int>{18, 8, 9, 4}));

    // The frame as it was sent is collected as usual.
    EXPECT_EQ(run({good_record(downlink_frame(".G-VIIA", "BA0175", "REQ CLX"))}),
              MessageOutcome::kDownlink);
    EXPECT_EQ(stores.collection->count(), 1);
    EXPECT_EQ(stores.new_contacts->count(), 1);
    EXPECT_EQ(field_text(stores.collection->at(0)->flight_id), "BA0175");
}

TEST_F(Processing, CheckOnlyShowsAFailedMessageOnceAndDoesNothingElse) {
    settings.checksum_only = true;
    settings.extended = true;
    FrameRecord bad = good_record(downlink_frame(".N123AB", "UA0123", "HELLO"));
    bad.crc = 0x0101;
    EXPECT_EQ(run({bad}), MessageOutcome::kCheckFailed);
    const std::vector<std::string> texts = message_texts();
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_NE(texts[0].find(" HELLO\n"), std::string::npos);
    const PrintRecord* shown = drawn_text(texts[0]);
    EXPECT_EQ(shown->colour_pair, 5);
    EXPECT_EQ(shown->column, 0);
    EXPECT_TRUE(shown->bold);
    EXPECT_TRUE(shown->scroll_first);  // a downlink
    EXPECT_EQ(counters.crc_error_count, 1);
    EXPECT_EQ(counters.good_count, 0);
    EXPECT_TRUE(sent().empty());  // no client record, no contact line, no counters
    EXPECT_EQ(contents(logs.message_file), "");
    EXPECT_EQ(stores.collection->count(), 0);

    // An uplink refused by -k comes without a scroll before it (its banner had one).
    FrameRecord bad_uplink = good_record(uplink_frame("REQ POS"));
    bad_uplink.crc = 0x0101;
    drawn.clear();
    EXPECT_EQ(run({bad_uplink}), MessageOutcome::kCheckFailed);
    ASSERT_EQ(message_texts().size(), 2u);
    EXPECT_EQ(drawn[0].text, "-=[ Uplink message ]=-");
    EXPECT_FALSE(drawn[1].scroll_first);
    EXPECT_EQ(counters.crc_error_count, 2);
    EXPECT_EQ(counters.uplink_count, 0);
    EXPECT_TRUE(sent().empty());

    // A good message is processed as usual with -k.
    EXPECT_EQ(run({good_record(downlink_frame(".N123AB", "UA0123", "FINE"))}),
              MessageOutcome::kDownlink);
    EXPECT_EQ(counters.good_count, 1);
    EXPECT_EQ(stores.collection->count(), 1);
}

TEST_F(Processing, TextsWithParityErrorsOrTooShortAreNotKept) {
    FrameRecord parity = good_record(downlink_frame(".N123AB", "UA0123", "HELLO"));
    parity.error_flags = MSG_ERR_EXT;
    parity.chars[28].parity_error = 1;
    EXPECT_EQ(run({parity}), MessageOutcome::kDownlink);
    std::vector<std::string> texts = message_texts();
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_TRUE(drawn_text(texts[0])->bold);
    EXPECT_EQ(texts[0].find("Message content"), std::string::npos);
    EXPECT_FALSE(stores.collection->at(0)->text.has_value());
    std::vector<Sent> out = sent();
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out[0].text.substr(out[0].text.size() - 2), "\t-");  // no text: a dash

    // One and two characters are dropped, three are kept (other flights: new entries).
    EXPECT_EQ(run({good_record(downlink_frame(".N123AB", "UA0001", "A"))}),
              MessageOutcome::kDownlink);
    EXPECT_EQ(run({good_record(downlink_frame(".N123AB", "UA0002", "AB"))}),
              MessageOutcome::kDownlink);
    EXPECT_EQ(run({good_record(downlink_frame(".N123AB", "UA0003", "ABC"))}),
              MessageOutcome::kDownlink);
    ASSERT_EQ(stores.collection->count(), 4);
    for (std::int32_t i = 0; i < 4; ++i) {
        const Message* m = stores.collection->at(i);
        if (field_text(m->flight_id) == "UA0003") {
            EXPECT_EQ(m->text, "ABC");
        } else {
            EXPECT_FALSE(m->text.has_value()) << m->flight_id;
        }
    }
}

TEST_F(Processing, RepeatsAreDroppedUntilTheRegisterIsEmptied) {
    const FrameRecord r = good_record(downlink_frame(".N123AB", "UA0123", "HELLO"));
    EXPECT_EQ(run({r}), MessageOutcome::kDownlink);
    const std::vector<std::string> first = message_texts();
    ASSERT_EQ(first.size(), 1u);
    (void)sent();
    drawn.clear();

    EXPECT_EQ(run({r}), MessageOutcome::kRepeat);
    EXPECT_TRUE(drawn.empty());
    EXPECT_TRUE(sent().empty());
    EXPECT_EQ(counters.good_count, 1);
    EXPECT_EQ(stores.repeats->count(), 1);
    EXPECT_EQ(*stores.repeats->at(0), message_digest(first[0]));  // the digest of the screen text

    stores.repeats->free_all();  // what the main loop does every fifth buffer
    EXPECT_EQ(run({r}), MessageOutcome::kDownlink);
    EXPECT_EQ(counters.good_count, 2);
    EXPECT_EQ(message_texts().size(), 1u);

    // Without a register every message is shown.
    stores.repeats.reset();
    EXPECT_EQ(run({r}), MessageOutcome::kDownlink);
    EXPECT_EQ(run({r}), MessageOutcome::kDownlink);
    EXPECT_EQ(counters.good_count, 4);
}

TEST_F(Processing, SquittersAreShownLoggedAndCountedButNeverSent) {
    settings.extended = true;
    EXPECT_EQ(run({good_record(squitter_frame("02XAATLKATL"))}), MessageOutcome::kUplink);
    const std::vector<std::string> texts = message_texts();
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[0], "-=[ Squitter message ]=-");
    const PrintRecord* banner = drawn_text(texts[0]);
    EXPECT_EQ(banner->colour_pair, 11);
    EXPECT_EQ(banner->column, 1);
    EXPECT_TRUE(banner->bold);
    EXPECT_TRUE(banner->scroll_first);
    EXPECT_EQ(texts[1],
              "\nACARS Mode: 2  Aircraft reg: _______\n"
              "Message Label: SQ Block ID: [Uplink]\n"
              "Message content:-\n"
              "02XAATLKATL\n"
              "----------------------------------------------------------[08/12/2026 04:15]-\n");
    EXPECT_FALSE(drawn_text(texts[1])->scroll_first);
    EXPECT_EQ(counters.uplink_count, 1);
    EXPECT_EQ(counters.good_count, 0);

    const std::vector<Sent> out = sent();
    ASSERT_EQ(codes(out), std::vector<int>{4});  // only the counters line
    EXPECT_EQ(out[0].text, "Good: 0, Upl: 1, Err parity: 0, block: 0, crc: 0");
    EXPECT_EQ(contents(logs.message_file),
              "----------------------------------------------------------[ 08/12/2026 04:15 ]-\n"
              "ACARS Mode: 2  Aircraft reg: _______\n"
              "Message Label: SQ Block ID: 0  Message Number: \n"
              "Flight Number: \n"
              "Message Content:-\n"
              "02XAATLKATL\n"
              "\n");
    EXPECT_EQ(stores.collection->count(), 0);
}

TEST_F(Processing, UplinksReportContactsButStayOutOfTheCollection) {
    settings.extended = true;
    stores.new_contacts = make_new_contact_register();
    EXPECT_EQ(run({good_record(uplink_frame("REQ POS"))}), MessageOutcome::kUplink);
    std::vector<std::string> texts = message_texts();
    ASSERT_EQ(texts.size(), 3u);
    EXPECT_EQ(texts[0], "-=[ Uplink message ]=-");
    EXPECT_EQ(texts[1],
              "\n ACARS Mode: b  Aircraft reg: N123AB [-]\n"
              " Message Label: _d Block ID: A [Uplink]\n"
              " Message content:-\n"
              "REQ POS\n"
              " ----------------------------------------------------------[08/12/2026 04:15]-\n");
    EXPECT_EQ(texts[2], "First contact with this aircraft");
    const PrintRecord* contact = drawn_text(texts[2]);
    EXPECT_EQ(contact->colour_pair, 6);
    EXPECT_EQ(contact->column, 1);
    EXPECT_TRUE(contact->bold);
    EXPECT_FALSE(contact->scroll_first);

    const std::vector<Sent> out = sent();
    ASSERT_EQ(codes(out), (std::vector<int>{6, 8, 9, 4}));
    EXPECT_EQ(out[0].text,
              "----------------------------------------------------------[ 08/12/2026 04:15 ]-"
              "\tb\tN123AB\t-\t_d\tA\t \t    \tunknown\t-\tREQ POS");
    EXPECT_EQ(out[1].text, "First contact with this aircraft");
    EXPECT_EQ(out[2].text, "?\tN123AB\t    \t    ");
    EXPECT_EQ(counters.uplink_count, 1);
    EXPECT_EQ(stores.collection->count(), 0);
    ASSERT_EQ(stores.new_contacts->count(), 1);  // the register takes uplinks too
    EXPECT_STREQ(stores.new_contacts->at(0)->registration, "N123AB");
}

TEST_F(Processing, ExtendedDownlinksTellTheContactHistory) {
    settings.extended = true;
    ASSERT_EQ(run({good_record(downlink_frame(".N123AB", "UA0123", "FIRST"))}),
              MessageOutcome::kDownlink);
    std::vector<Sent> out = sent();
    ASSERT_EQ(codes(out), (std::vector<int>{18, 8, 9, 4, 10, 13}));
    EXPECT_EQ(out[1].text, "First contact with this aircraft");
    EXPECT_EQ(out[4].text, "-= unknown =-");
    EXPECT_EQ(out[5].text, "-= unknown =-");

    ASSERT_EQ(run({good_record(downlink_frame(".N123AB", "UA0124", "LATER"))}),
              MessageOutcome::kDownlink);
    out = sent();
    ASSERT_EQ(codes(out), (std::vector<int>{18, 8, 9, 4, 10, 13}));
    EXPECT_EQ(out[1].text,
              "1 contacts with this aircraft. First contact: 08/12/2026 04:15 as flight UA0123");
    EXPECT_EQ(stores.collection->count(), 2);
}

TEST_F(Processing, FaultyFramesAreCountedAndAnalysed) {
    FrameRecord header_parity = good_record(downlink_frame(".N123AB", "UA0123", "HELLO"));
    header_parity.error_count = 3;
    header_parity.error_flags = MSG_ERR_ALL | MSG_ERR_REG;
    header_parity.crc = 0x0F0F;
    FrameRecord fewer = header_parity;
    fewer.error_count = 1;
    fewer.error_flags = MSG_ERR_FLI;
    FrameRecord tie = fewer;
    tie.error_flags = MSG_ERR_ALL;
    // The fewest faults, the earliest on ties: a block error.
    EXPECT_EQ(run({header_parity, fewer, tie}), MessageOutcome::kFaultyFrame);
    EXPECT_EQ(counters.block_error_count, 1);
    EXPECT_EQ(counters.parity_error_count, 0);
    const std::vector<std::string> texts = message_texts();
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(texts[0], " MSG_ERR_FLI ");
    EXPECT_EQ(texts[1], "*");  // then the raw characters
    EXPECT_EQ(codes(sent()), std::vector<int>{4});
    EXPECT_EQ(stores.collection->count(), 0);

    drawn.clear();
    EXPECT_EQ(run({header_parity}), MessageOutcome::kFaultyFrame);
    EXPECT_EQ(counters.parity_error_count, 1);
    EXPECT_EQ(message_texts()[0], " MSG_ERR_ALL MSG_ERR_REG ");
    EXPECT_EQ(sent()[0].text, "Good: 0, Upl: 0, Err parity: 1, block: 1, crc: 0");

    // Daemon mode: counted only.
    settings.daemon = true;
    screen.daemon = true;
    drawn.clear();
    EXPECT_EQ(run({header_parity}), MessageOutcome::kFaultyFrame);
    EXPECT_EQ(counters.parity_error_count, 2);
    EXPECT_TRUE(drawn.empty());
    EXPECT_TRUE(sent().empty());

    EXPECT_EQ(run({}), MessageOutcome::kNoRecord);
}

TEST_F(Processing, DaemonModeDrawsNothingButStillSends) {
    settings.daemon = true;
    screen.daemon = true;
    settings.extended = true;
    EXPECT_EQ(run({good_record(downlink_frame(".N123AB", "UA0123", "HELLO"))}),
              MessageOutcome::kDownlink);
    // Nothing is drawn; the first-contact line still goes to the server.
    EXPECT_TRUE(drawn.empty());
    const std::vector<Sent> out = sent();
    ASSERT_EQ(codes(out), (std::vector<int>{18, 8, 9, 4, 10, 13}));
    EXPECT_EQ(out[1].text, "First contact with this aircraft");
    EXPECT_EQ(counters.good_count, 1);
}

TEST_F(Processing, WithoutAServerNothingGoesToTheQueue) {
    channel.server_running = false;
    settings.extended = true;
    EXPECT_EQ(run({good_record(downlink_frame(".N123AB", "UA0123", "HELLO"))}),
              MessageOutcome::kDownlink);
    EXPECT_NE(drawn_text("First contact with this aircraft"), nullptr);
    EXPECT_TRUE(sent().empty());
}

TEST_F(Processing, RecordsAreNeverReadPastEntry512) {
    // A long frame without end: the text runs to entry 512 and no further.
    std::string bytes = downlink_frame(".N123AB", "UA0123", "");
    bytes.resize(27);
    bytes += std::string(600, 'T');
    FrameRecord r = good_record(bytes);
    ASSERT_FALSE(r.terminated);
    r.end_index = 4000;
    FrameRecord next = r;  // what lies behind entry 512 in the table
    next.error_count = 1;
    EXPECT_EQ(run({r, next}), MessageOutcome::kDownlink);
    // Not good (no end), so logged but not collected: the log holds the text.
    const std::string log = contents(logs.message_file);
    EXPECT_NE(log.find("Message Content:-\n" + std::string(kFrameRecordChars - 27, 'T') + "\n"),
              std::string::npos);
    EXPECT_EQ(log.find(std::string(kFrameRecordChars - 26, 'T')), std::string::npos);

    // A fill count beyond the table is held to it.
    auto table = std::make_unique<FrameTable>();
    table->count = 1000;
    MessageContext context{settings, counters, screen, channel, stores, logs.sink(), kTime};
    EXPECT_NE(process_message(context, *table), MessageOutcome::kNoRecord);
    table->count = -3;
    EXPECT_EQ(process_message(context, *table), MessageOutcome::kNoRecord);
}

TEST_F(Processing, TheSinkRunsProcessingForThePassLoop) {
    MessageContext context{settings, counters, screen, channel, stores, logs.sink(), kTime};
    PassSink sink = message_sink(context);
    auto table = std::make_unique<FrameTable>();
    table->records[0] = good_record(downlink_frame(".N123AB", "UA0123", "HELLO"));
    table->count = 1;
    sink.handle(sink.context, *table);
    EXPECT_EQ(counters.good_count, 1);
}

}  // namespace
}  // namespace korvad
