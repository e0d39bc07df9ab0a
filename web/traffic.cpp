#include "web/traffic.h"

#include <algorithm>
#include <utility>

#include "client/events.h"

namespace korvad::web {

using nlohmann::json;

namespace {

std::int64_t bucket_start(std::int64_t t) {
    std::int64_t q = t / kCountBucketSeconds;
    if (t % kCountBucketSeconds < 0) --q;  // times before 1970 round down too
    return q * kCountBucketSeconds;
}

std::size_t bucket_index(std::int64_t start) {
    const auto n = static_cast<std::int64_t>(kCountBuckets);
    return static_cast<std::size_t>(((start / kCountBucketSeconds) % n + n) % n);
}

std::string dump(const json& j) {
    return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace

Traffic::Traffic(std::string station_host, int station_port, std::int64_t served_since)
    : station_host_(std::move(station_host)),
      station_port_(station_port),
      served_since_(served_since),
      buckets_(kCountBuckets) {
    for (const char* field : {"station", "uptime", "broadcast"}) details_[field] = nullptr;
    link_text_ = std::make_shared<const std::string>(dump(link_locked()));
}

std::uint64_t Traffic::add_message(json message, std::int64_t received) {
    const bool uplink = message.value("direction", "") == "uplink";
    std::lock_guard<std::mutex> lock(mutex_);
    const std::uint64_t id = next_id_++;
    message["id"] = id;
    message["received"] = received;
    messages_.push_back(
        KeptMessage{id, received, std::make_shared<const std::string>(dump(message))});
    if (messages_.size() > kKeptMessages) messages_.pop_front();
    ++received_;
    ++(uplink ? uplinks_ : downlinks_);
    const std::int64_t start = bucket_start(received);
    Bucket& b = buckets_[bucket_index(start)];
    // The slot of a day ago starts again; a clock set back never overwrites
    // a newer slot.
    if (b.start < start) b = Bucket{start, 0};
    if (b.start == start) ++b.count;
    changed_.notify_all();
    return id;
}

void Traffic::set_connected(json station, std::int64_t now) {
    std::lock_guard<std::mutex> lock(mutex_);
    connected_ = true;
    link_since_ = now;
    reason_.clear();
    details_["station"] = std::move(station);
    link_changed();
}

void Traffic::set_disconnected(const std::string& reason, std::int64_t now) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!connected_ && reason == reason_) return;  // the same failure again: nothing new
    if (connected_) link_since_ = now;
    connected_ = false;
    reason_ = reason;
    link_changed();
}

void Traffic::set_detail(const char* field, json value) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (details_[field] == value) return;
    details_[field] = std::move(value);
    link_changed();
}

void Traffic::set_counters(json counters) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (counters_ == counters) return;
    counters_ = std::move(counters);
    ++counters_version_;
    counters_text_ = std::make_shared<const std::string>(dump(counters_));
    changed_.notify_all();
}

bool Traffic::connected() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return connected_;
}

void Traffic::link_changed() {
    ++link_version_;
    link_text_ = std::make_shared<const std::string>(dump(link_locked()));
    changed_.notify_all();
}

json Traffic::link_locked() const {
    json j = details_;
    j["link"] = json{{"host", client::text_value(station_host_)},
                     {"port", station_port_},
                     {"connected", connected_},
                     {"since", link_since_},
                     {"reason", client::text_value(reason_)}};
    j["served_since"] = served_since_;
    return j;
}

std::uint64_t Traffic::first_kept_id() const {
    return messages_.empty() ? next_id_ : messages_.front().id;
}

std::vector<KeptMessage> Traffic::messages_after(std::uint64_t since, std::size_t limit,
                                                 std::uint64_t* last_id) const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (last_id != nullptr) *last_id = next_id_ - 1;
    // Ids are consecutive, so the first one after since is found by arithmetic.
    const std::uint64_t first = std::max(since + 1, first_kept_id());
    std::vector<KeptMessage> out;
    if (first >= next_id_ || limit == 0) return out;
    std::size_t from = static_cast<std::size_t>(first - first_kept_id());
    const std::size_t available = messages_.size() - from;
    if (available > limit) from += available - limit;
    out.assign(messages_.begin() + static_cast<std::ptrdiff_t>(from), messages_.end());
    return out;
}

json Traffic::link() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return link_locked();
}

json Traffic::info() const {
    std::lock_guard<std::mutex> lock(mutex_);
    json j = link_locked();
    j["counters"] = counters_;
    j["messages"] = json{{"received", received_},
                         {"uplinks", uplinks_},
                         {"downlinks", downlinks_},
                         {"kept", messages_.size()},
                         {"first_id", messages_.empty() ? 0 : messages_.front().id},
                         {"last_id", next_id_ - 1}};
    return j;
}

json Traffic::counts(std::int64_t now) const {
    std::lock_guard<std::mutex> lock(mutex_);
    json list = json::array();
    const std::int64_t last = bucket_start(now);
    const std::int64_t first =
        last - static_cast<std::int64_t>(kCountBuckets - 1) * kCountBucketSeconds;
    for (std::int64_t start = first; start <= last; start += kCountBucketSeconds) {
        const Bucket& b = buckets_[bucket_index(start)];
        list.push_back(json{{"start", start}, {"count", b.start == start ? b.count : 0}});
    }
    return json{{"bucket_seconds", kCountBucketSeconds}, {"buckets", std::move(list)}};
}

bool Traffic::join_events(std::uint64_t since, EventCursor& cursor) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (event_clients_ >= kMaxEventClients || stopping_) return false;
    ++event_clients_;
    // A reader that asks for more than is kept starts at the oldest kept; one
    // that names an id not given out yet starts with the next message.
    cursor.last_id = std::clamp(since, first_kept_id() - 1, next_id_ - 1);
    cursor.link_version = 0;
    cursor.counters_version = 0;
    return true;
}

void Traffic::leave_events() {
    std::lock_guard<std::mutex> lock(mutex_);
    --event_clients_;
}

int Traffic::event_clients() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return event_clients_;
}

Update Traffic::wait_for_update(EventCursor& cursor, std::chrono::milliseconds timeout,
                                std::size_t max_messages) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, timeout, [&] {
        return stopping_ || cursor.last_id + 1 < next_id_ || cursor.link_version != link_version_ ||
               cursor.counters_version != counters_version_;
    });
    Update u;
    if (stopping_) {
        u.stopping = true;
        return u;
    }
    if (cursor.last_id + 1 < first_kept_id()) {
        u.fell_behind = true;
        return u;
    }
    if (cursor.link_version != link_version_) {
        u.link = link_text_;
        cursor.link_version = link_version_;
    }
    if (cursor.counters_version != counters_version_) {
        u.counters = counters_text_;
        cursor.counters_version = counters_version_;
    }
    std::size_t from = static_cast<std::size_t>(cursor.last_id + 1 - first_kept_id());
    for (; from < messages_.size() && u.messages.size() < max_messages; ++from)
        u.messages.push_back(messages_[from]);
    if (!u.messages.empty()) cursor.last_id = u.messages.back().id;
    return u;
}

void Traffic::stop() {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    changed_.notify_all();
}

}  // namespace korvad::web
