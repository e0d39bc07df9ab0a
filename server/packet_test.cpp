#include "server/packet.h"

#include <gtest/gtest.h>

#include <string>

namespace korvad {
namespace {

using namespace std::string_literals;

TEST(Packet, TextAndBinaryPacketsAgainstBytesWrittenByHand) {
    // code 153, length 3, argument 1, "abc"
    EXPECT_EQ(encode_text_packet(153, 1, "abc"),
              "\x99\x00\x00\x00\x03\x00\x00\x00\x01\x00\x00\x00"
              "abc"s);
    // code -2, length 0, argument 0x01020304
    EXPECT_EQ(encode_text_packet(-2, 0x01020304, ""),
              "\xfe\xff\xff\xff\x00\x00\x00\x00\x04\x03\x02\x01"s);
    // binary: code 200, argument always 0, bytes as they are (NULs too)
    EXPECT_EQ(encode_binary_packet(200, "\x00\xff\x00"s),
              "\xc8\x00\x00\x00\x03\x00\x00\x00\x00\x00\x00\x00\x00\xff\x00"s);

    const unsigned char in[12] = {0x10, 0, 0, 0, 0x00, 0x10, 0, 0, 0xff, 0xff, 0xff, 0x7f};
    PacketHeader h = decode_header(in);
    EXPECT_EQ(h.code, 16);
    EXPECT_EQ(h.length, 4096);
    EXPECT_EQ(h.argument, 0x7fffffff);
}

TEST(Packet, LongPayloadsAreCutToTheirLimits) {
    std::string text(5000, 'x');
    std::string wire = encode_text_packet(90, 0, text);
    EXPECT_EQ(wire.size(), kPacketHeaderSize + 4092);
    EXPECT_EQ(decode_header(reinterpret_cast<const unsigned char*>(wire.data())).length, 4092);
    wire = encode_binary_packet(200, text);
    EXPECT_EQ(wire.size(), kPacketHeaderSize + 4096);
}

TEST(Packet, HeaderChecksAndTheBrowserTest) {
    EXPECT_EQ(check_header({1, 0, 0}), HeaderVerdict::kOk);
    EXPECT_EQ(check_header({1, 4096, 0}), HeaderVerdict::kOk);
    EXPECT_EQ(check_header({1, 4097, 0}), HeaderVerdict::kOversized);
    EXPECT_EQ(check_header({1, 0x7fffffff, 0}), HeaderVerdict::kOversized);
    EXPECT_EQ(check_header({1, -1, 0}), HeaderVerdict::kNegativeLength);
    auto bytes = [](const char* s) { return reinterpret_cast<const unsigned char*>(s); };
    EXPECT_TRUE(looks_like_browser(bytes("GET / HTTP/1.1"), 14));
    EXPECT_TRUE(looks_like_browser(bytes("GET /index.html"), 5));
    EXPECT_FALSE(looks_like_browser(bytes("GET /"), 4));
    EXPECT_FALSE(looks_like_browser(bytes("get / HTTP/1.1"), 14));
    EXPECT_FALSE(looks_like_browser(bytes("POST /"), 6));
}

TEST(PacketReader, AStreamCutAtEveryPlaceGivesTheSamePackets) {
    const std::string stream = encode_text_packet(1, 0, "host\t2202") +
                               encode_text_packet(21, 0, " ") + encode_text_packet(5, 7, "") +
                               encode_binary_packet(200, std::string(4096, '\x01'));
    for (std::size_t cut = 0; cut <= stream.size(); cut += 7) {
        PacketReader reader;
        std::vector<Packet> got;
        Packet p;
        auto take = [&](std::size_t from, std::size_t to) {
            reader.feed(stream.data() + from, to - from);
            while (reader.next(p) == PacketReader::Status::kPacket) got.push_back(p);
        };
        take(0, cut);
        take(cut, stream.size());
        ASSERT_EQ(got.size(), 4u) << "cut at " << cut;
        EXPECT_EQ(got[0].header.code, 1);
        EXPECT_EQ(got[0].payload, "host\t2202");
        EXPECT_EQ(got[2].header.argument, 7);
        EXPECT_EQ(got[2].payload, "");
        EXPECT_EQ(got[3].payload.size(), 4096u);
        EXPECT_EQ(reader.pending(), 0u);
    }
}

TEST(PacketReader, TruncatedNegativeAndOversizedHeaders) {
    Packet p;
    {
        PacketReader reader;  // a header cut short, then a payload cut short
        std::string wire = encode_text_packet(90, 0, "hello");
        reader.feed(wire.data(), 11);
        EXPECT_EQ(reader.next(p), PacketReader::Status::kNeedMore);
        reader.feed(wire.data() + 11, 3);
        EXPECT_EQ(reader.next(p), PacketReader::Status::kNeedMore);
        EXPECT_EQ(reader.pending(), 14u);
    }
    for (std::int32_t length : {-1, -2147483647 - 1, 4097, 2147483647}) {
        PacketReader reader;
        unsigned char header[12];
        encode_header({90, length, 0}, header);
        reader.feed(reinterpret_cast<const char*>(header), sizeof header);
        EXPECT_EQ(reader.next(p), PacketReader::Status::kBadHeader) << length;
        // The reader stays stopped: nothing after a bad header is trusted.
        std::string good = encode_text_packet(1, 0, "x");
        reader.feed(good.data(), good.size());
        EXPECT_EQ(reader.next(p), PacketReader::Status::kBadHeader);
    }
    {
        PacketReader reader;  // an HTTP answer where packets were expected
        const char page[] = "HTTP/1.0 200 OK\nContent-Type: text/html\n\n<html>";
        reader.feed(page, sizeof page - 1);
        EXPECT_EQ(reader.next(p), PacketReader::Status::kBadHeader);
        EXPECT_EQ(reader.pending_bytes().substr(0, 8), "HTTP/1.0");
    }
}

}  // namespace
}  // namespace korvad
