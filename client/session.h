#pragma once
// One conversation with a station: connect, take the greeting, send
// requests, wait for their answers, leave with request 2. Every wait has a
// limit; every failure becomes a message and an exit status.

#include <csignal>
#include <cstdio>
#include <deque>
#include <initializer_list>
#include <string>

#include <nlohmann/json.hpp>

#include "client/connection.h"
#include "client/events.h"
#include "client/protocol.h"
#include "common/format.h"

namespace korvad::client {

// Exit statuses of korvadclient.
namespace status {
inline constexpr int kDone = 0;
inline constexpr int kStationSaidNo = 1;  // not found, refused, rejected
inline constexpr int kUsage = 2;          // command line or a request refused locally
inline constexpr int kCannotConnect = 3;  // unknown host, refused, unreachable, connect time-out
inline constexpr int kBusy = 4;           // all slots of the station are taken
inline constexpr int kNotStation = 5;     // not this protocol, or the connection broke
inline constexpr int kNoAnswer = 6;       // the station did not answer in time
inline constexpr int kLocalFile = 7;      // a report could not be saved
inline constexpr int kInterrupted = 130;  // stopped by a signal before it was done
}  // namespace status

struct ClientOptions {
    std::string host;
    int port = 2202;
    bool json = false;
    int timeout_s = 10;    // connect, greeting, each answer
    int keepalive_s = 60;  // watch and chat: request 148 this often
    long count = -1;       // watch: leave after this many messages (-1: never)
    std::string output;    // report: where to save ("" = the name, "-" = standard output)
};

// Where results go: standard output for results (text or JSON lines),
// standard error for progress and failures.
class Output {
  public:
    Output(bool json, std::FILE* out, std::FILE* err) : json_(json), out_(out), err_(err) {}
    bool json() const { return json_; }
    std::FILE* out() const { return out_; }
    std::FILE* err() const { return err_; }

    void event(const nlohmann::json& object);                // JSON mode only
    void text(const std::string& text);                      // text mode only
    void note(const char* format, ...) KORVAD_PRINTF(2, 3);  // standard error
    // Says why the client gives up (standard error; in JSON mode also an
    // "error" object) and returns the status.
    int fail(int status, const std::string& text);

  private:
    bool json_;
    std::FILE* out_;
    std::FILE* err_;
};

class Session {
  public:
    Session(const ClientOptions& options, Output& output, const volatile std::sig_atomic_t* stop)
        : options_(options), output_(output), stop_(stop) {}

    const ClientOptions& options() const { return options_; }
    Output& output() { return output_; }
    EventMapper& mapper() { return mapper_; }
    const Greeting& greeting() const { return greeting_; }
    bool stop_requested() const { return *stop_ != 0; }

    // Connects and takes the greeting (it ends where the station answers the
    // keep-alive sent right after connecting). Returns an exit status; on a
    // failure `reason` says why (not yet shown).
    [[nodiscard]] int connect(std::string& reason);
    // connect() that shows the failure.
    [[nodiscard]] int start();

    [[nodiscard]] int send(std::int32_t code, std::int32_t argument, std::string_view text,
                           std::string& reason);

    // Waits up to timeout_s for a packet whose code is in `wanted`; packets of
    // other codes (the station's broadcasts) are passed over. A busy answer
    // (100) or the connection's end is a failure with its status.
    [[nodiscard]] int await(std::initializer_list<std::int32_t> wanted, int timeout_s, Packet& out,
                            std::string& reason);

    // The next packet of any code within timeout_ms, watching extra_fd too
    // (see Connection::receive). status::kDone with *extra_ready when the fd
    // came first; kNoAnswer on a plain timeout.
    [[nodiscard]] int next(Packet& out, int timeout_ms, std::string& reason, int extra_fd = -1,
                           bool* extra_ready = nullptr);

    // Request 2, then the connection is closed.
    void leave();

    // Leaves (request 2, when still connected), then turns the failure into
    // its message; returns the status.
    int fail(int status, const std::string& reason) {
        leave();
        return output_.fail(status, reason);
    }

  private:
    int failure_status(const Outcome& outcome, std::string& reason, bool connecting) const;

    const ClientOptions& options_;
    Output& output_;
    const volatile std::sig_atomic_t* stop_;
    Connection connection_;
    Greeting greeting_;
    EventMapper mapper_;
    std::deque<Packet> early_;  // broadcasts that came while the greeting was read
};

}  // namespace korvad::client
