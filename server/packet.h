#pragma once
// Packet: the unit of the client protocol, in both directions.
//
//   offset  size    field
//        0     4    code      signed; below 200 a text packet, 200 and above binary
//        4     4    length    payload bytes that follow, signed
//        8     4    argument  signed; a small number chosen by the sender, 0
//                             unless the code says otherwise (always 0 in a
//                             binary packet)
//       12  length  payload   a text without terminating NUL, or raw bytes
//
// The three header fields are little-endian, encoded and decoded byte by byte.
// A sender formats a text into 4093 bytes, so a text is at most 4092 bytes
// long; a binary payload is at most 4096 bytes. A receiver keeps one packet of
// at most 12 + 4096 bytes at a time: a header with a negative length or one
// above 4096 is not a packet of this protocol.
//
// This library is all of korvad that a client program needs to link.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace korvad {

inline constexpr std::size_t kPacketHeaderSize = 12;    // bytes
inline constexpr std::size_t kPacketPayloadMax = 4096;  // bytes
inline constexpr std::size_t kPacketTextMax = 4092;     // bytes of a text payload
inline constexpr std::int32_t kFirstBinaryCode = 200;

struct PacketHeader {
    std::int32_t code = 0;
    std::int32_t length = 0;
    std::int32_t argument = 0;
};

void encode_header(const PacketHeader& header, unsigned char* out);  // 12 bytes
[[nodiscard]] PacketHeader decode_header(const unsigned char* in);   // 12 bytes

enum class HeaderVerdict {
    kOk,
    kNegativeLength,
    kOversized,  // length above kPacketPayloadMax
};
[[nodiscard]] HeaderVerdict check_header(const PacketHeader& header);

// A web browser's request line where a header should be: the first five
// bytes are "GET /". n is the number of bytes at `bytes` (at most 5 are read).
[[nodiscard]] bool looks_like_browser(const unsigned char* bytes, std::size_t n);

// Header and payload as they go on the wire. A text packet's text is cut to
// kPacketTextMax bytes; a binary packet's bytes to kPacketPayloadMax, with
// argument 0.
[[nodiscard]] std::string encode_text_packet(std::int32_t code, std::int32_t argument,
                                             std::string_view text);
[[nodiscard]] std::string encode_binary_packet(std::int32_t code, std::string_view bytes);

struct Packet {
    PacketHeader header;
    std::string payload;  // exactly header.length bytes
};

// Cuts a byte stream into packets. Feed what arrived, then take packets until
// it needs more. A header that is not of this protocol (negative or oversized
// length) stops the reader for good: the peer speaks something else.
class PacketReader {
  public:
    enum class Status {
        kNeedMore,   // no complete packet yet
        kPacket,     // one taken into `out`
        kBadHeader,  // the stream is not this protocol; nothing more is taken
    };

    void feed(const char* data, std::size_t size) { pending_.append(data, size); }
    [[nodiscard]] Status next(Packet& out);

    // Bytes fed and not yet taken (at most one partial packet once next()
    // returned kNeedMore).
    std::size_t pending() const { return pending_.size() - taken_; }
    // The first bytes of the stream, for telling the user what answered.
    std::string_view pending_bytes() const { return std::string_view(pending_).substr(taken_); }

  private:
    std::string pending_;
    std::size_t taken_ = 0;  // bytes of pending_ already handed out
    bool broken_ = false;
};

}  // namespace korvad
