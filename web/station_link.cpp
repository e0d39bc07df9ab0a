#include "web/station_link.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <thread>
#include <utility>

#include "client/protocol.h"
#include "client/text_forms.h"
#include "common/format.h"

namespace korvad::web {

using nlohmann::json;
using Clock = std::chrono::steady_clock;
namespace code = client::code;
namespace status = client::status;

namespace {

constexpr int kReceiveStepMs = 200;  // longest wait before stop is looked at again

std::int64_t wall_now() {
    return static_cast<std::int64_t>(std::time(nullptr));
}

const char* kind_name(SearchKind kind) {
    return kind == SearchKind::kAircraft ? "aircraft" : "flight";
}

client::ClientOptions options_for(const std::string& host, int port) {
    client::ClientOptions o;
    o.host = host;
    o.port = port;
    o.timeout_s = kConnectTimeoutS;
    return o;
}

}  // namespace

StationLink::StationLink(std::string host, int port, Traffic& traffic)
    : host_(std::move(host)),
      port_(port),
      traffic_(traffic),
      options_(options_for(host_, port_)),
      output_(false, stdout, stderr),
      session_(options_, output_, &never_interrupted_) {}

void StationLink::run(const std::atomic<bool>& stop) {
    std::chrono::seconds retry = kFirstRetry;
    std::string said;  // the last failure shown, so a station that stays away is said once
    while (!stop) {
        std::string reason;
        if (session_.connect(reason) == status::kDone) {
            retry = kFirstRetry;
            greeting_ = session_.greeting();
            running_.reset();
            traffic_.set_connected(client::greeting_to_json(greeting_), wall_now());
            print_to(stderr, "korvadweb: connected to the station %s port %d\n", host_.c_str(),
                     port_);
            said.clear();
            set_link_up(true);
            stay_connected(stop, reason);
            set_link_up(false);
            fail_waiting_searches();
            session_.leave();
            if (stop) break;
        }
        traffic_.set_disconnected(reason, wall_now());
        if (reason != said) {
            print_to(stderr, "korvadweb: %s; trying again\n", client::printable(reason).c_str());
            said = reason;
        }
        const auto until = Clock::now() + retry;
        while (!stop && Clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(kReceiveStepMs));
        retry = std::min(retry * 2, kLongestRetry);
    }
}

void StationLink::stay_connected(const std::atomic<bool>& stop, std::string& reason) {
    Clock::time_point next_keepalive = Clock::now() + kKeepAliveEvery;
    Clock::time_point keepalive_sent{};
    bool waiting = false;  // a keep-alive went out and nothing came since
    for (;;) {
        if (stop) {
            reason = "korvadweb stops";
            return;
        }
        if (!start_next_search(reason)) return;
        Packet p;
        const int s = session_.next(p, kReceiveStepMs, reason);
        const Clock::time_point now = Clock::now();
        if (s == status::kDone) {
            waiting = false;
            take_packet(p);
        } else if (s != status::kNoAnswer) {
            return;
        }
        if (running_ && now >= running_->deadline) finish_search(false);
        if (waiting && now >= keepalive_sent + kKeepAlivePatience) {
            reason = format_text("no answer to the keep-alive within %lld s",
                                 static_cast<long long>(kKeepAlivePatience.count()));
            return;
        }
        if (now >= next_keepalive) {
            if (session_.send(code::kKeepAlive, 0, " ", reason) != status::kDone) return;
            if (!waiting) keepalive_sent = now;
            waiting = true;
            next_keepalive = now + kKeepAliveEvery;
        }
    }
}

void StationLink::take_packet(const Packet& p) {
    json event = session_.mapper().map(p);
    switch (p.header.code) {
        case code::kUplink:
        case code::kDownlink:
            if (event["event"] == "message") traffic_.add_message(std::move(event), wall_now());
            break;
        case code::kCounters:
            if (event["event"] == "counters") traffic_.set_counters(std::move(event));
            break;
        case code::kUptime:
            if (event["event"] == "uptime") traffic_.set_detail("uptime", std::move(event));
            break;
        case code::kBroadcast:
            traffic_.set_detail("broadcast", std::move(event));
            break;
        case code::kValidOnly:
        case code::kAllMessages:
            if (client::take_greeting_packet(greeting_, p))
                traffic_.set_detail("station", client::greeting_to_json(greeting_));
            break;
        case code::kContact:
        case code::kContactsFound:
        case code::kNotFound:
            take_search_answer(p, event);
            break;
        default:
            break;
    }
}

void StationLink::take_search_answer(const Packet& p, const json& event) {
    if (!running_) return;
    PendingSearch& s = *running_;
    const json key = client::text_value(s.key);
    const std::string name = event.value("event", "");
    if (p.header.code == code::kContactsFound) {
        if (event.value("search", "") != kind_name(s.kind) || event["key"] != key) return;
        s.found_seen = true;
        s.count = event.value("count", std::int64_t{0});
        if (s.count <= 0) finish_search(true);
    } else if (p.header.code == code::kNotFound) {
        if (event["key"] == key) finish_search(true);
    } else if (s.found_seen &&
               name == (s.kind == SearchKind::kAircraft ? "aircraft_contact" : "flight_contact")) {
        ++s.received;
        if (s.contacts.size() < kMaxContacts) s.contacts.push_back(event);
        if (s.received >= s.count) finish_search(true);
    }
}

bool StationLink::start_next_search(std::string& reason) {
    if (running_) return true;
    {
        std::lock_guard<std::mutex> lock(searches_mutex_);
        if (searches_.empty()) return true;
        running_ = std::move(searches_.front());
        searches_.pop_front();
    }
    running_->deadline = Clock::now() + kSearchTime;
    session_.mapper().expect_search(kind_name(running_->kind));
    const std::int32_t request =
        running_->kind == SearchKind::kAircraft ? code::kAircraftContacts : code::kFlightContacts;
    if (session_.send(request, 0, running_->key, reason) == status::kDone) return true;
    running_->answer.set_value(SearchAnswer{SearchAnswer::Outcome::kUnreachable, json()});
    running_.reset();
    return false;
}

void StationLink::finish_search(bool complete) {
    PendingSearch& s = *running_;
    json object{{"search", kind_name(s.kind)},
                {"key", client::text_value(s.key)},
                {"found", s.found_seen && s.count > 0},
                {"count", s.count},
                {"complete", complete},
                {"contacts", std::move(s.contacts)}};
    s.answer.set_value(
        SearchAnswer{complete ? SearchAnswer::Outcome::kAnswered : SearchAnswer::Outcome::kNoAnswer,
                     std::move(object)});
    running_.reset();
}

void StationLink::set_link_up(bool up) {
    std::lock_guard<std::mutex> lock(searches_mutex_);
    link_up_ = up;
}

void StationLink::fail_waiting_searches() {
    std::deque<std::shared_ptr<PendingSearch>> waiting;
    {
        std::lock_guard<std::mutex> lock(searches_mutex_);
        waiting.swap(searches_);
    }
    if (running_) waiting.push_front(std::move(running_));
    running_.reset();
    for (auto& s : waiting)
        s->answer.set_value(SearchAnswer{SearchAnswer::Outcome::kUnreachable, json()});
}

SearchAnswer StationLink::search(SearchKind kind, const std::string& key,
                                 std::chrono::milliseconds wait) {
    auto pending = std::make_shared<PendingSearch>();
    pending->kind = kind;
    pending->key = key;
    std::future<SearchAnswer> answer = pending->answer.get_future();
    {
        std::lock_guard<std::mutex> lock(searches_mutex_);
        if (!link_up_) return SearchAnswer{SearchAnswer::Outcome::kUnreachable, json()};
        if (searches_.size() >= kQueuedSearches)
            return SearchAnswer{SearchAnswer::Outcome::kBusy, json()};
        searches_.push_back(std::move(pending));
    }
    if (answer.wait_for(wait) != std::future_status::ready)
        return SearchAnswer{SearchAnswer::Outcome::kNoAnswer, json()};
    return answer.get();
}

}  // namespace korvad::web
