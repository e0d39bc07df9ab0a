#pragma once
// One TCP connection to a station, in packets, where every wait is bounded.
//
// The host name is looked up without blocking past the time-out; the connect
// waits at most the time-out; a send waits at most the time-out for room; a
// receive waits at most what its caller allows. A stop flag set by a signal
// handler ends any wait within kStopCheckMs. The stream is cut into packets
// by the codec's PacketReader, so a header whose length is negative or above
// 4096 ends the connection as "not this protocol" before anything is read
// into a packet.

#include <csignal>
#include <cstdint>
#include <string>
#include <string_view>

#include "server/packet.h"

namespace korvad::client {

inline constexpr int kStopCheckMs = 200;  // longest unbroken wait, milliseconds

enum class Failure {
    kNone,
    kUnknownHost,     // the name does not resolve
    kRefused,         // nothing listens on that port
    kUnreachable,     // no route, network down, or another connect error
    kConnectTimeout,  // no answer to the connect in time
    kTimeout,         // connected, but the station did not answer in time
    kClosed,          // the station closed the connection
    kNotProtocol,     // what came is not packets of this protocol
    kSendFailed,      // a request could not be sent
    kInterrupted,     // the user asked to stop (signal)
};

struct Outcome {
    Failure failure = Failure::kNone;
    std::string detail;  // for the user: what exactly happened
    bool ok() const { return failure == Failure::kNone; }
};

class Connection {
  public:
    Connection() = default;
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    Connection(Connection&& other) noexcept;
    Connection& operator=(Connection&& other) noexcept;

    // Resolves host and connects to port, each within timeout_ms. stop may be
    // null; a set flag ends the wait with kInterrupted.
    [[nodiscard]] static Outcome open(const std::string& host, int port, int timeout_ms,
                                      const volatile std::sig_atomic_t* stop, Connection& out);
    // Takes over a connected socket (tests).
    static Connection adopt(int socket, const volatile std::sig_atomic_t* stop);

    bool is_open() const { return socket_ >= 0; }
    int socket() const { return socket_; }
    void close();

    // One text packet (cut to 4092 bytes by the codec).
    [[nodiscard]] Outcome send(std::int32_t code, std::int32_t argument, std::string_view text,
                               int timeout_ms);

    // The next packet within timeout_ms. While waiting it also watches
    // extra_fd when that is not negative (chat: the keyboard); when that fd
    // becomes readable first the result is kNone with *extra_ready set and no
    // packet taken. A timeout is kTimeout with nothing taken.
    [[nodiscard]] Outcome receive(Packet& out, int timeout_ms, int extra_fd = -1,
                                  bool* extra_ready = nullptr);

  private:
    void take_over(Connection& other) noexcept;

    int socket_ = -1;
    const volatile std::sig_atomic_t* stop_ = nullptr;
    PacketReader reader_;
    bool at_end_ = false;  // the station closed its side; only buffered bytes remain
};

// The first bytes of a stream that is not this protocol, for the user: an
// HTTP answer by its status line, anything else as printable text and hex.
[[nodiscard]] std::string describe_foreign_bytes(std::string_view bytes);

}  // namespace korvad::client
