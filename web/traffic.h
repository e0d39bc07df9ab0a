#pragma once
// Traffic: everything korvadweb knows of its station, in one place, behind one
// lock. The station thread writes it; the web server's threads read it.
//
//   station thread ──add_message / set_link / set_detail──┐
//                                                         ▼
//                                           Traffic (mutex_, changed_)
//                                                         │
//   web threads ◄── messages_after / info / counts / wait_for_update
//
// Lock discipline: mutex_ guards every member below it. It is held only to
// copy in or copy out (a message is kept as its JSON text, shared, so a reader
// copies a pointer, not the text); never while a socket is read or written,
// and no other lock is taken while it is held.
//
// Bounds: the last kKeptMessages messages, kCountBuckets counts of
// kCountBucketSeconds, at most kMaxEventClients readers of /events. A message
// text is at most 4092 bytes, so a kept message is at most about 25 KB of JSON
// (6 bytes for an escaped control byte), 50 MB for all of them; traffic from
// the air is a few hundred bytes a message.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace korvad::web {

inline constexpr std::size_t kKeptMessages = 2000;
inline constexpr std::int64_t kCountBucketSeconds = 600;  // ten minutes
inline constexpr std::size_t kCountBuckets = 144;         // 24 hours of them
inline constexpr int kMaxEventClients = 100;

struct KeptMessage {
    std::uint64_t id = 0;       // 1, 2, ... in the order korvadweb received them
    std::int64_t received = 0;  // seconds since 1970, when korvadweb received it
    // The message object of korvadclient --json with "id" and "received"
    // added, as one line of JSON without line break.
    std::shared_ptr<const std::string> json;
};

// What a reader of /events is shown next.
struct Update {
    std::vector<KeptMessage> messages;            // after the reader's last, oldest first
    std::shared_ptr<const std::string> link;      // the link object when it changed, else null
    std::shared_ptr<const std::string> counters;  // the station's counters when they changed
    bool fell_behind = false;  // messages the reader had not taken left the store
    bool stopping = false;     // the program ends
};

// Where a reader of /events stands.
struct EventCursor {
    std::uint64_t last_id = 0;           // the last message it was given
    std::uint64_t link_version = 0;      // the link object it was given last (0: none)
    std::uint64_t counters_version = 0;  // the counters it was given last (0: none)
};

class Traffic {
  public:
    Traffic(std::string station_host, int station_port, std::int64_t served_since);

    // --- the station thread -------------------------------------------------
    // Keeps a message object (from the client's mapping of packets 6 and 18)
    // and counts it; returns its id.
    std::uint64_t add_message(nlohmann::json message, std::int64_t received);
    // The connection came (station: the greeting object) or went (reason).
    void set_connected(nlohmann::json station, std::int64_t now);
    void set_disconnected(const std::string& reason, std::int64_t now);
    // One of the station's notices that the link object carries: "station"
    // (the greeting changed), "uptime", "broadcast".
    void set_detail(const char* field, nlohmann::json value);
    // The station's counters line, after every message it decodes: apart
    // from the link object, so readers are not sent all of it each time.
    void set_counters(nlohmann::json counters);
    bool connected() const;

    // --- the web threads ----------------------------------------------------
    // Up to limit kept messages with an id above since, the newest of them,
    // oldest first; last_id (when not null) is set to the newest id given out.
    std::vector<KeptMessage> messages_after(std::uint64_t since, std::size_t limit,
                                            std::uint64_t* last_id = nullptr) const;
    // The link object: "link" (host, port, connected, since, reason),
    // "station", "uptime", "broadcast" (null when not known), and
    // "served_since", when this korvadweb started (its message ids start at 1
    // again when it starts again).
    nlohmann::json link() const;
    // link() with "counters" (the station's, null when not known) and
    // "messages": received, uplinks, downlinks, kept, first_id, last_id.
    nlohmann::json info() const;
    // Messages per ten minutes over the 24 hours up to now, oldest first.
    nlohmann::json counts(std::int64_t now) const;

    // A reader of /events comes: false when kMaxEventClients are reading.
    // On true the cursor starts at since (clamped to what is kept, so the
    // kept messages after since are shown first) and leave_events must follow.
    [[nodiscard]] bool join_events(std::uint64_t since, EventCursor& cursor);
    void leave_events();
    int event_clients() const;
    // Waits up to timeout for something new for the cursor and moves it:
    // at most max_messages messages, the link object and the counters when
    // they changed.
    [[nodiscard]] Update wait_for_update(EventCursor& cursor, std::chrono::milliseconds timeout,
                                         std::size_t max_messages);

    // Wakes every waiting reader, for good.
    void stop();

  private:
    // REQUIRES: mutex_ held.
    void link_changed();
    nlohmann::json link_locked() const;
    std::uint64_t first_kept_id() const;

    const std::string station_host_;
    const int station_port_;
    const std::int64_t served_since_;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<KeptMessage> messages_;
    std::uint64_t next_id_ = 1;
    std::uint64_t received_ = 0, uplinks_ = 0, downlinks_ = 0;
    struct Bucket {
        std::int64_t start = 0;  // seconds since 1970, a multiple of kCountBucketSeconds
        std::uint64_t count = 0;
    };
    std::vector<Bucket> buckets_;
    bool connected_ = false;
    std::int64_t link_since_ = 0;
    std::string reason_ = "not connected yet";
    nlohmann::json details_ = nlohmann::json::object();
    std::uint64_t link_version_ = 1;
    std::shared_ptr<const std::string> link_text_;
    nlohmann::json counters_;
    std::uint64_t counters_version_ = 0;  // 0: the station sent none yet
    std::shared_ptr<const std::string> counters_text_;
    int event_clients_ = 0;
    bool stopping_ = false;
};

}  // namespace korvad::web
