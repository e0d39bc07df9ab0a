#pragma once
// StationLink: korvadweb's one connection to its station, run by one thread.
//
// It connects as an ordinary client (the client's Session: connect, greeting,
// packets), keeps every decoded message and notice in the Traffic store, and
// connects again by itself when the station goes (first after kFirstRetry,
// then doubling up to kLongestRetry). It sends only what reads: the contact
// searches 14 and 17, keep-alives (148) and the leave (2); never a
// correction, a delete or a chat line.
//
// Searches come from the web threads and are answered one at a time: the
// station's contacts (15) carry no key, so a second search must not start
// before the first is complete. At most kQueuedSearches wait; each answer is
// complete when the count of the station's "found" (16) has come, and given
// up after kSearchTime. At most kMaxContacts contacts of one answer are kept.
//
// Lock discipline: searches_mutex_ guards searches_ and link_up_; it is held
// only to queue or take a search, never while the socket is used, and never
// together with the Traffic lock.

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <future>
#include <memory>
#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

#include "client/events.h"
#include "client/session.h"
#include "server/packet.h"
#include "web/traffic.h"

namespace korvad::web {

inline constexpr std::chrono::seconds kFirstRetry{1};
inline constexpr std::chrono::seconds kLongestRetry{5};
inline constexpr int kConnectTimeoutS = 5;  // connect, and the greeting
inline constexpr std::chrono::seconds kKeepAliveEvery{30};
inline constexpr std::chrono::seconds kKeepAlivePatience{30};  // for any answer
inline constexpr std::chrono::seconds kSearchTime{5};
inline constexpr std::size_t kQueuedSearches = 8;
inline constexpr std::size_t kMaxContacts = 2000;

enum class SearchKind { kAircraft, kFlight };  // requests 14 and 17

struct SearchAnswer {
    enum class Outcome {
        kAnswered,     // object holds the answer (found or not)
        kUnreachable,  // no station connected
        kBusy,         // kQueuedSearches searches wait already
        kNoAnswer,     // the station did not complete the answer in time
    };
    Outcome outcome = Outcome::kNoAnswer;
    // search ("aircraft"/"flight"), key, found, count, complete, contacts
    // (the aircraft_contact or flight_contact objects).
    nlohmann::json object;
};

class StationLink {
  public:
    StationLink(std::string host, int port, Traffic& traffic);
    StationLink(const StationLink&) = delete;
    StationLink& operator=(const StationLink&) = delete;

    // The station thread's body: until stop is set (looked at every 200 ms).
    void run(const std::atomic<bool>& stop);

    // From any thread: queues a search and waits up to wait for its answer.
    [[nodiscard]] SearchAnswer search(SearchKind kind, const std::string& key,
                                      std::chrono::milliseconds wait);

  private:
    struct PendingSearch {
        SearchKind kind;
        std::string key;
        std::promise<SearchAnswer> answer;
        // Filled by the station thread while the answer comes.
        bool found_seen = false;
        std::int64_t count = 0;
        std::int64_t received = 0;
        nlohmann::json contacts = nlohmann::json::array();
        std::chrono::steady_clock::time_point deadline;
    };

    void stay_connected(const std::atomic<bool>& stop, std::string& reason);
    void take_packet(const Packet& packet);
    void take_search_answer(const Packet& packet, const nlohmann::json& event);
    // Sends the next queued search when none runs; false when the send failed.
    [[nodiscard]] bool start_next_search(std::string& reason);
    void finish_search(bool complete);
    void set_link_up(bool up);
    void fail_waiting_searches();

    const std::string host_;
    const int port_;
    Traffic& traffic_;
    client::ClientOptions options_;
    client::Output output_;
    // No signal handler writes this: the web threads and the station thread
    // stop through run()'s atomic flag, between waits of at most 200 ms.
    volatile std::sig_atomic_t never_interrupted_ = 0;
    client::Session session_;
    client::Greeting greeting_;               // the one last taken, with later 25/26 notices
    std::shared_ptr<PendingSearch> running_;  // station thread only

    std::mutex searches_mutex_;
    std::deque<std::shared_ptr<PendingSearch>> searches_;
    bool link_up_ = false;
};

}  // namespace korvad::web
