#include "server/packet.h"

#include <cstring>

#include "common/bytes.h"

namespace korvad {

void encode_header(const PacketHeader& header, unsigned char* out) {
    put_le32(out, static_cast<std::uint32_t>(header.code));
    put_le32(out + 4, static_cast<std::uint32_t>(header.length));
    put_le32(out + 8, static_cast<std::uint32_t>(header.argument));
}

PacketHeader decode_header(const unsigned char* in) {
    return PacketHeader{get_le32s(in), get_le32s(in + 4), get_le32s(in + 8)};
}

HeaderVerdict check_header(const PacketHeader& header) {
    if (header.length < 0) return HeaderVerdict::kNegativeLength;
    if (static_cast<std::size_t>(header.length) > kPacketPayloadMax)
        return HeaderVerdict::kOversized;
    return HeaderVerdict::kOk;
}

bool looks_like_browser(const unsigned char* bytes, std::size_t n) {
    static constexpr char kRequest[] = "GET /";
    return n >= 5 && std::memcmp(bytes, kRequest, 5) == 0;
}

namespace {

std::string encode(std::int32_t code, std::int32_t argument, std::string_view payload) {
    std::string wire(kPacketHeaderSize + payload.size(), '\0');
    encode_header(PacketHeader{code, static_cast<std::int32_t>(payload.size()), argument},
                  reinterpret_cast<unsigned char*>(wire.data()));
    if (!payload.empty())
        std::memcpy(wire.data() + kPacketHeaderSize, payload.data(), payload.size());
    return wire;
}

}  // namespace

std::string encode_text_packet(std::int32_t code, std::int32_t argument, std::string_view text) {
    return encode(code, argument, text.substr(0, kPacketTextMax));
}

std::string encode_binary_packet(std::int32_t code, std::string_view bytes) {
    return encode(code, 0, bytes.substr(0, kPacketPayloadMax));
}

PacketReader::Status PacketReader::next(Packet& out) {
    if (broken_) return Status::kBadHeader;
    if (pending() < kPacketHeaderSize) return Status::kNeedMore;
    const auto* at = reinterpret_cast<const unsigned char*>(pending_.data() + taken_);
    PacketHeader header = decode_header(at);
    if (check_header(header) != HeaderVerdict::kOk) {
        broken_ = true;
        return Status::kBadHeader;
    }
    std::size_t whole = kPacketHeaderSize + static_cast<std::size_t>(header.length);
    if (pending() < whole) return Status::kNeedMore;
    out.header = header;
    out.payload.assign(pending_, taken_ + kPacketHeaderSize,
                       static_cast<std::size_t>(header.length));
    taken_ += whole;
    // Give the taken bytes back once they are the larger part, so the buffer
    // stays about one packet long however long the stream runs.
    if (taken_ > pending_.size() / 2) {
        pending_.erase(0, taken_);
        taken_ = 0;
    }
    return Status::kPacket;
}

}  // namespace korvad
