#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "signal/frame.h"

namespace korvad {
namespace {

// Odd parity in bit 7, as transmitters send it.
std::uint8_t with_parity(char c) {
    std::uint8_t b = static_cast<std::uint8_t>(c) & 0x7F;
    return __builtin_parity(b) ? b : static_cast<std::uint8_t>(b | 0x80);
}

// The ACARS block check as the standards write it: CRC-16 over 0x8408 (the
// reflected 0x1021), register 0, no final inversion, sent low byte first.
std::uint16_t reference_bcs(const std::vector<std::uint8_t>& bytes) {
    std::uint16_t crc = 0;
    for (std::uint8_t b : bytes) {
        crc ^= b;
        for (int i = 0; i < 8; ++i) crc = (crc & 1) ? (crc >> 1) ^ 0x8408 : crc >> 1;
    }
    return crc;
}

struct FrameBytes {
    std::vector<std::uint8_t> bytes;
    int etx_index = -1;
};

// '*' SYN SYN SOH, then the body from the mode character, ETX, BCS and DEL.
// flip_parity: body positions sent with a wrong parity bit (covered by the BCS).
FrameBytes make_frame(const std::string& body, char end = 0x03, bool good_bcs = true,
                      std::vector<int> flip_parity = {}) {
    FrameBytes f;
    f.bytes = {'*', 0x16, 0x16, 0x01};
    for (std::size_t i = 0; i < f.bytes.size(); ++i)
        f.bytes[i] = with_parity(static_cast<char>(f.bytes[i]));
    std::vector<std::uint8_t> covered;
    for (char c : body) covered.push_back(with_parity(c));
    for (int i : flip_parity) covered[i] ^= 0x80;
    covered.push_back(with_parity(end));
    std::uint16_t bcs = reference_bcs(covered);
    if (!good_bcs) bcs ^= 0x0100;
    f.bytes.insert(f.bytes.end(), covered.begin(), covered.end());
    f.etx_index = static_cast<int>(f.bytes.size()) - 1;
    f.bytes.push_back(static_cast<std::uint8_t>(bcs & 0xFF));
    f.bytes.push_back(static_cast<std::uint8_t>(bcs >> 8));
    f.bytes.push_back(0x7F | 0x80);  // DEL trailer
    return f;
}

// Downlink body: mode, address, TAK, label, block id, STX, msg no, flight, text.
const std::string kDownlink =
    std::string("2.N123AB") + '\x15' + "H1" + "4" + '\x02' + "M01A" + "BA0123" + "HELLO WORLD";

struct Decoded {
    FrameTable table;
    std::vector<std::uint8_t> buffer;
};

Decoded decode(std::vector<std::uint8_t> bytes, int length = -1) {
    Decoded d;
    d.table.clear();
    d.buffer = bytes;
    d.buffer.resize(kFrameBufferSize, 0);
    decode_frame(d.table, d.buffer.data(), length < 0 ? static_cast<int>(bytes.size()) : length);
    return d;
}

std::string chars_of(const FrameRecord& r, int from, int to) {
    std::string s;
    for (int i = from; i <= to; ++i) s.push_back(static_cast<char>(r.chars[i].ch));
    return s;
}

TEST(BlockCheck, LeavesZeroOnAGoodFrameAndNotAfterAnyFlippedBit) {
    FrameBytes f = make_frame(kDownlink);
    std::uint16_t crc = 0;
    for (int i = 4; i <= f.etx_index + 2; ++i) crc = crc_feed(crc, f.bytes[i]);
    EXPECT_EQ(crc, 0);
    for (int i = 4; i <= f.etx_index + 2; ++i) {
        for (int bit = 0; bit < 8; ++bit) {
            std::vector<std::uint8_t> bad = f.bytes;
            bad[i] ^= static_cast<std::uint8_t>(1 << bit);
            std::uint16_t c = 0;
            for (int k = 4; k <= f.etx_index + 2; ++k) c = crc_feed(c, bad[k]);
            EXPECT_NE(c, 0) << "byte " << i << " bit " << bit;
        }
    }
}

TEST(DecodeFrame, GoodDownlinkFillsTheRecord) {
    FrameBytes f = make_frame(kDownlink);
    Decoded d = decode(f.bytes);
    ASSERT_EQ(d.table.count, 1);
    const FrameRecord& r = d.table.records[0];
    EXPECT_TRUE(d.table.message_pending);
    EXPECT_TRUE(d.table.frame_good);
    EXPECT_EQ(r.crc, 0);
    EXPECT_EQ(r.terminated, 1);
    EXPECT_EQ(r.end_index, f.etx_index);
    EXPECT_EQ(r.error_count, 0);
    EXPECT_EQ(r.error_flags, 0);
    EXPECT_EQ(r.uplink, 0);
    EXPECT_EQ(r.squitter, 0);
    EXPECT_EQ(chars_of(r, 0, 0), "*");
    EXPECT_EQ(chars_of(r, 4, 11), "2.N123AB");
    EXPECT_EQ(chars_of(r, 13, 15), "H14");
    EXPECT_EQ(chars_of(r, 17, 26), "M01ABA0123");
    EXPECT_EQ(chars_of(r, 27, f.etx_index - 1), "HELLO WORLD");
    EXPECT_EQ(r.chars[f.etx_index].ch, 0x03);
    for (int i = 0; i <= f.etx_index; ++i) EXPECT_EQ(r.chars[i].parity_error, 0);
}

TEST(DecodeFrame, TwentyBytesAreDecodedNineteenIgnored) {
    FrameBytes f = make_frame(kDownlink);
    Decoded d19 = decode(f.bytes, 19);
    EXPECT_EQ(d19.table.count, 0);
    EXPECT_FALSE(d19.table.message_pending);

    Decoded d20 = decode(f.bytes, 20);
    ASSERT_EQ(d20.table.count, 1);
    const FrameRecord& r = d20.table.records[0];
    EXPECT_EQ(r.terminated, 0);
    EXPECT_EQ(r.end_index, 20);
    EXPECT_NE(r.crc, 0);
    EXPECT_FALSE(d20.table.frame_good);
    // Only 17..19 of the message number were collected; the flight id has no
    // valid character at all, which fails the count test.
    EXPECT_TRUE(r.error_flags & MSG_ERR_FLI);
    EXPECT_FALSE(r.error_flags & MSG_ERR_MSG);
    EXPECT_EQ(r.error_count, 1);
}

TEST(DecodeFrame, OpeningMustBeStarSynSynSoh) {
    FrameBytes f = make_frame(kDownlink);
    f.bytes[3] = with_parity('A');
    Decoded d = decode(f.bytes);
    EXPECT_EQ(d.table.count, 0);
    EXPECT_FALSE(d.table.message_pending);
}

TEST(DecodeFrame, FourSynFrameIsShiftedToTheTwoSynLayout) {
    FrameBytes f = make_frame(kDownlink);
    std::vector<std::uint8_t> four = f.bytes;
    four.insert(four.begin() + 1, {with_parity(0x16), with_parity(0x16)});
    // The parity bit of SYN (3 ones) is 0, so the opening test sees plain SYN.
    Decoded d = decode(four);
    ASSERT_EQ(d.table.count, 1);
    const FrameRecord& r = d.table.records[0];
    EXPECT_EQ(r.crc, 0);
    EXPECT_EQ(r.end_index, f.etx_index);
    EXPECT_TRUE(d.table.frame_good);
    // The length is unchanged, so the last two bytes now appear twice.
    std::size_t n = four.size();
    EXPECT_EQ(d.buffer[n - 3], four[n - 1]);
    EXPECT_EQ(d.buffer[n - 4], four[n - 2]);
    EXPECT_EQ(d.buffer[n - 1], four[n - 1]);
}

TEST(DecodeFrame, DelBeforeTheEndReadsAsSpace) {
    std::string body = kDownlink + "AB" + '\x7F' + "CD";
    FrameBytes f = make_frame(body);
    Decoded d = decode(f.bytes);
    ASSERT_EQ(d.table.count, 1);
    EXPECT_EQ(chars_of(d.table.records[0], 27, f.etx_index - 1), "HELLO WORLDAB CD");
    EXPECT_TRUE(d.table.frame_good);
}

TEST(DecodeFrame, GoodCrcSkipsTheFieldValidation) {
    // Lower-case registration and an invalid block id, but the block check holds.
    std::string body = std::string("2.n12#ab") + '\x15' + "h1" + "!" + '\x02' + "M01A" + "BA0123";
    Decoded good = decode(make_frame(body).bytes);
    ASSERT_EQ(good.table.count, 1);
    EXPECT_EQ(good.table.records[0].error_count, 0);
    EXPECT_EQ(good.table.records[0].error_flags, 0);
    EXPECT_TRUE(good.table.frame_good);

    Decoded bad = decode(make_frame(body, 0x03, /*good_bcs=*/false).bytes);
    const FrameRecord& r = bad.table.records[0];
    EXPECT_NE(r.crc, 0);
    EXPECT_EQ(r.error_flags, MSG_ERR_REG | MSG_ERR_LAB | MSG_ERR_BLK);
    EXPECT_EQ(r.error_count, 4 + 1 + 1);  // n, #, a, b; h; !
    EXPECT_FALSE(bad.table.frame_good);
}

TEST(DecodeFrame, FlightIdentifierCountRule) {
    auto flags_for = [](const std::string& flight) {
        std::string body = std::string("2.N123AB") + '\x15' + "H1" + "4" + '\x02' + "M01A" + flight;
        Decoded d = decode(make_frame(body, 0x03, false).bytes);
        return std::make_pair(d.table.records[0].error_flags, d.table.records[0].error_count);
    };
    EXPECT_EQ(flags_for("BA0123"), std::make_pair(0, 0));
    EXPECT_EQ(flags_for("BA12  "), std::make_pair(0, 0));  // blanks are valid
    EXPECT_EQ(flags_for("BA12#$"),
              std::make_pair(static_cast<int>(MSG_ERR_FLI), 3));  // 2 misses + count
    EXPECT_EQ(flags_for("BA123#"),
              std::make_pair(static_cast<int>(MSG_ERR_FLI), 1));  // 5 valid pass
    EXPECT_EQ(flags_for("m01ABA"),
              std::make_pair(static_cast<int>(MSG_ERR_FLI), 1));  // 'm' invalid
}

TEST(DecodeFrame, ParityErrorsInHeaderAndText) {
    FrameBytes f = make_frame(kDownlink, 0x03, false);
    f.bytes[7] ^= 0x80;   // '1' (odd data bits): bit 7 now set, flagged
    f.bytes[28] ^= 0x80;  // text 'E' (odd): flagged, text only
    f.bytes[27] ^= 0x80;  // text 'H' (even data bits): never flagged
    Decoded d = decode(f.bytes);
    const FrameRecord& r = d.table.records[0];
    EXPECT_EQ(r.error_flags, MSG_ERR_ALL | MSG_ERR_EXT);
    EXPECT_EQ(r.error_count, 1);
    EXPECT_EQ(r.chars[7].parity_error, 1);
    EXPECT_EQ(r.chars[28].parity_error, 1);
    EXPECT_EQ(r.chars[27].parity_error, 0);
    EXPECT_EQ(r.chars[7].ch, '1');

    // When the block check holds, a header parity error is flagged but the
    // validation (and its count) is skipped.
    Decoded e = decode(make_frame(kDownlink, 0x03, true, {3}).bytes);  // frame index 7
    const FrameRecord& g = e.table.records[0];
    EXPECT_EQ(g.crc, 0);
    EXPECT_EQ(g.error_flags, MSG_ERR_ALL);
    EXPECT_EQ(g.error_count, 0);
    EXPECT_TRUE(e.table.frame_good);
}

TEST(DecodeFrame, UplinkAndSquitterAreToldApart) {
    // Mode a digit and an upper-case block id: an uplink, whose text starts at 17.
    std::string up = std::string("2.N123AB") + '\x15' + "H1" + "A" + '\x02' + "UPLINK";
    Decoded d = decode(make_frame(up, 0x03, false).bytes);
    EXPECT_EQ(d.table.records[0].uplink, 1);
    EXPECT_EQ(d.table.records[0].error_flags, 0);  // no sequence or flight checks

    // Label SQ: a squitter, never an uplink.
    std::string sq = std::string("2.......") + '\x15' + "SQ" + "A" + '\x02' + "02XAYYZ";
    Decoded s = decode(make_frame(sq).bytes);
    EXPECT_EQ(s.table.records[0].squitter, 1);
    EXPECT_EQ(s.table.records[0].uplink, 0);

    // A downlink block id is a digit.
    Decoded dn = decode(make_frame(kDownlink).bytes);
    EXPECT_EQ(dn.table.records[0].uplink, 0);
}

TEST(DecodeFrame, LongFrameKeepsOnlyEntriesUpTo512) {
    std::string body = kDownlink + std::string(600, 'X');
    FrameBytes f = make_frame(body, 0x17);  // ETB ends it
    ASSERT_GT(f.etx_index, 600);
    FrameTable table;
    table.clear();
    std::vector<std::uint8_t> buf = f.bytes;
    buf.resize(kFrameBufferSize, 0);
    decode_frame(table, buf.data(), static_cast<int>(f.bytes.size()));
    ASSERT_EQ(table.count, 1);
    const FrameRecord& r = table.records[0];
    EXPECT_EQ(r.crc, 0);
    EXPECT_EQ(r.terminated, 1);
    EXPECT_EQ(r.end_index, f.etx_index);
    EXPECT_EQ(r.chars[512].ch, 'X');
    // Nothing spilled into the next record.
    const FrameRecord& next = table.records[1];
    const auto* raw = reinterpret_cast<const unsigned char*>(&next);
    for (std::size_t i = 0; i < sizeof next; ++i) ASSERT_EQ(raw[i], 0) << i;
}

TEST(DecodeFrame, UnterminatedFrameCoversEverythingCollected) {
    FrameBytes f = make_frame(kDownlink);
    int length = f.etx_index;  // cut just before the ETX
    Decoded d = decode(f.bytes, length);
    const FrameRecord& r = d.table.records[0];
    EXPECT_EQ(r.terminated, 0);
    EXPECT_EQ(r.end_index, length);
    std::uint16_t crc = 0;
    for (int i = 4; i < length; ++i) crc = crc_feed(crc, f.bytes[i]);
    EXPECT_EQ(r.crc, crc);
    EXPECT_FALSE(d.table.frame_good);
}

}  // namespace
}  // namespace korvad
