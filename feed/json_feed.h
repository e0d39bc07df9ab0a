#pragma once
// The JSON feed for aggregators: every message that message processing logs
// goes out at that moment as one UDP datagram holding one JSON object, to
// every destination given with --json-udp HOST:PORT.
//
// The object, in the field names the hobby's aggregators and routers read:
//
//   timestamp  number   seconds since the epoch, fractional: when the audio
//                       buffer holding the frame arrived
//   station_id string   --station-id (left out when none was given)
//   channel    number   0
//   freq       number   the receiving frequency in MHz (-F), 0 when none
//   level      number   the frame's audio level, dB below full scale
//   error      number   bits the repair changed
//   mode       string   mode character
//   label      string   2 characters; '_' and DEL is written "_d"
//   block_id   string   block identifier
//   ack        false, or the acknowledgement character as a string
//   tail       string   the address as received, with its '.' fill
//   flight     string   flight id         (downlinks only)
//   msgno      string   sequence number   (downlinks only)
//   text       string   the text, when the message keeps one
//   end        bool     the block ends with ETX (false: ETB, more follow)
//   app        object   {"name": "korvad", "ver": version}
//
// Texts are JSON strings with every byte escaped as JSON requires: control
// characters and DEL as \uXXXX (or \n, \r, \t), quotes and backslashes, and bytes
// above 127 as \uXXXX of their UTF-8 character (U+FFFD for a byte that is no
// UTF-8); the datagram is plain ASCII.
//
// Sending never waits: the sockets are non-blocking, a datagram that cannot
// go out (no route, buffer full, destination down) is dropped and counted,
// and decoding goes on.

#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace korvad {

struct Message;
struct FrameRecord;

// What the feed tells of a frame that the Message does not hold.
struct FrameFacts {
    double timestamp = 0.0;  // seconds since the epoch
    double level_db = 0.0;   // RMS of the frame's samples over full scale, dB (<= 0)
    int repaired_bits = 0;   // bits the repair changed; 0 for the pass loop's frames
};

// RMS level of count 8-bit unsigned samples (128 the zero level) in dB below
// full scale: a square wave from 0 to 255 is 0 dB, a full-scale sine about
// -3 dB, silence kSilenceDb.
inline constexpr double kSilenceDb = -100.0;
[[nodiscard]] double audio_level_db(const std::uint8_t* samples, int count);

struct FeedStation {
    std::string station_id;      // empty: the field is left out
    double frequency_mhz = 0.0;  // 0 when none was given
};

// The JSON object of a message (without a line feed).
[[nodiscard]] std::string feed_object(const Message& message, const FrameRecord& record,
                                      const FrameFacts& facts, const FeedStation& station);

// "HOST:PORT" or "[IPv6 address]:PORT", PORT 1 to 65535. False, with the
// reason, for anything else.
[[nodiscard]] bool split_feed_address(std::string_view text, std::string& host, std::string& port,
                                      std::string& error);

// A --station-id value: 1 to 64 bytes, no control characters. False, with the
// reason, otherwise.
[[nodiscard]] bool valid_station_id(std::string_view id, std::string& error);

struct FeedDestination {
    std::string name;  // as given: HOST:PORT
    sockaddr_storage address{};
    socklen_t address_length = 0;
    int socket = -1;  // one of the feed's sockets, by address family
    std::uint64_t sent = 0;
    std::uint64_t failed = 0;
};

// The destinations and their sockets; owned by the main process. Closes its
// sockets when destroyed.
struct JsonFeed {
    FeedStation station;
    std::vector<FeedDestination> destinations;
    int socket_ipv4 = -1;
    int socket_ipv6 = -1;

    JsonFeed() = default;
    JsonFeed(const JsonFeed&) = delete;
    JsonFeed& operator=(const JsonFeed&) = delete;
    ~JsonFeed();
};

// Resolves every address (a name through the resolver, once, now) and opens
// one non-blocking UDP socket per address family needed. False, with the
// reason naming the address, when one cannot be resolved or no socket can be
// had; the feed is then empty.
[[nodiscard]] bool open_feed(JsonFeed& feed, const std::vector<std::string>& addresses,
                             std::string& error);

// A destination whose datagram did not go out, with the errno of the send.
struct FeedFailure {
    const FeedDestination* destination = nullptr;
    int error = 0;
    bool first = false;  // its first failure: worth a notice
};

// Sends the datagram to every destination without waiting. Returns the
// destinations it failed for (counted in their `failed`).
[[nodiscard]] std::vector<FeedFailure> feed_send(JsonFeed& feed, std::string_view datagram);

}  // namespace korvad
