// watch and chat: the commands that stay connected, with keep-alives.

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "client/commands.h"
#include "client/text_forms.h"
#include "common/format.h"

namespace korvad::client {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kLongestRetryS = 60;

int ms_until(Clock::time_point t) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(t - Clock::now());
    return static_cast<int>(std::clamp<long long>(left.count(), 0, 24LL * 3600 * 1000));
}

// Keep-alives on a timer of their own, whatever else comes. The station
// counts as gone when nothing at all came for the time-out after one was sent.
class KeepAlive {
  public:
    explicit KeepAlive(const ClientOptions& o)
        : interval_(std::chrono::seconds(o.keepalive_s)),
          patience_(std::chrono::seconds(o.timeout_s)),
          next_(Clock::now() + interval_) {}

    void heard() { waiting_ = false; }
    // Milliseconds until the next thing to do.
    int wait_ms() const {
        Clock::time_point t = next_;
        if (waiting_) t = std::min(t, sent_ + patience_);
        return std::max(1, ms_until(t));
    }
    // After a wait: sends what is due; false with the reason when the
    // station is gone.
    bool act(Session& session, std::string& reason) {
        const Clock::time_point now = Clock::now();
        if (waiting_ && now >= sent_ + patience_) {
            reason = format_text("no answer to the keep-alive within %lld s",
                                 static_cast<long long>(patience_.count()));
            return false;
        }
        if (now >= next_) {
            if (session.send(code::kKeepAlive, 0, " ", reason) != status::kDone) return false;
            if (!waiting_) sent_ = now;
            waiting_ = true;
            next_ = now + interval_;
        }
        return true;
    }

  private:
    std::chrono::seconds interval_;
    std::chrono::seconds patience_;
    Clock::time_point next_;
    Clock::time_point sent_{};
    bool waiting_ = false;
};

// A readable line for a packet of the station's traffic; empty for none.
std::string traffic_text(const Packet& p) {
    const std::string& t = p.payload;
    switch (p.header.code) {
        case code::kUplink:
        case code::kDownlink: {
            auto r = parse_message_record(t, p.header.code == code::kUplink);
            if (r) return message_block(*r);
            break;
        }
        case code::kContactNote:
            return format_text("  %s\n", printable(t).c_str());
        case code::kContactRecord: {
            auto c = parse_contact_record(t);
            if (c)
                return format_text("  contact: %s [%s] as %s, route %s\n",
                                   printable(c->registration).c_str(),
                                   printable(c->aircraft_type).c_str(),
                                   printable(c->flight).c_str(), printable(c->route).c_str());
            break;
        }
        case code::kTypeCounted:
            return format_text("  counted for the day: type %s\n", printable(t).c_str());
        case code::kAirlineCounted:
            return format_text("  counted for the day: airline %s\n", printable(t).c_str());
        case code::kCounters:
            return format_text("counters: %s\n", printable(t).c_str());
        case code::kVolume: {
            auto v = parse_volume(t);
            if (v)
                return format_text("volume %lld, extended mode %s\n",
                                   static_cast<long long>(v->level), v->extended ? "on" : "off");
            break;
        }
        case code::kBroadcast:
            return format_text("*** from the station's operator: %s\n", printable(t).c_str());
        case code::kNotice:
            return format_text("notice: %s\n", printable(t).c_str());
        case code::kUptime: {
            auto u = parse_uptime(t);
            if (u)
                return format_text("station up %lld h %02lld min, %lld clients connected\n",
                                   static_cast<long long>(u->seconds / 3600),
                                   static_cast<long long>(u->seconds / 60 % 60),
                                   static_cast<long long>(u->clients));
            break;
        }
        case code::kValidOnly:
            return "the station now shows only messages with a valid checksum\n";
        case code::kAllMessages:
            return "the station now shows all messages\n";
        case code::kPresence: {
            auto presence = parse_presence(t);
            if (presence) return presence_text(*presence);
            break;
        }
        case code::kChatLine:
            return chat_text(parse_chat_line(t));
        case code::kKeepAliveAnswer:
            return std::string();
        default:
            break;
    }
    return format_text("[code %d] %s\n", p.header.code, printable(t).c_str());
}

// Waits `seconds`, or less when a stop is asked for. false when stopped.
bool pause_for(Session& session, int seconds) {
    const Clock::time_point end = Clock::now() + std::chrono::seconds(seconds);
    while (!session.stop_requested()) {
        int left = ms_until(end);
        if (left == 0) return true;
        usleep(static_cast<useconds_t>(std::min(left, kStopCheckMs)) * 1000);
    }
    return false;
}

// Follows one connection until it is lost (false, with the reason), the
// count of messages is reached or a stop is asked for (true).
bool follow(Session& session, long& messages, std::string& reason) {
    Output& out = session.output();
    out.event(greeting_to_json(session.greeting()));
    out.text(greeting_summary(session.greeting()));
    KeepAlive keep_alive(session.options());
    const long limit = session.options().count;
    for (;;) {
        if (limit >= 0 && messages >= limit) return true;
        Packet p;
        int s = session.next(p, keep_alive.wait_ms(), reason);
        if (s == status::kInterrupted) return true;
        if (s == status::kNoAnswer) {
            if (!keep_alive.act(session, reason)) return false;
            continue;
        }
        if (s != status::kDone) return false;
        keep_alive.heard();
        if (!keep_alive.act(session, reason)) return false;
        if (p.header.code == code::kKeepAliveAnswer) continue;
        out.event(session.mapper().map(p));
        out.text(traffic_text(p));
        if (p.header.code == code::kUplink || p.header.code == code::kDownlink) ++messages;
    }
}

void show_chat_packet(Session& session, const Packet& p) {
    const std::int32_t c = p.header.code;
    if (c != code::kChatLine && c != code::kPresence && c != code::kBroadcast) return;
    session.output().event(session.mapper().map(p));
    session.output().text(traffic_text(p));
}

// A keep-alive, and the chat shown until its answer: the station answers in
// order, so whatever it had for us (the history, the echo of our lines) has
// come by then.
int show_chat_until_answered(Session& session, std::string& reason) {
    int s = session.send(code::kKeepAlive, 0, " ", reason);
    if (s != status::kDone) return s;
    const int wait_ms = session.options().timeout_s * 1000;
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(wait_ms);
    for (;;) {
        Packet p;
        s = session.next(p, ms_until(end), reason);
        if (s != status::kDone) return s;
        if (p.header.code == code::kKeepAliveAnswer) return status::kDone;
        show_chat_packet(session, p);
    }
}

}  // namespace

int run_watch(Session& session) {
    Output& out = session.output();
    std::string reason;
    int s = session.connect(reason);
    if (s != status::kDone) return session.fail(s, reason);
    long messages = 0;
    int retry_s = 1;
    for (;;) {
        if (follow(session, messages, reason)) {
            session.leave();
            return status::kDone;
        }
        session.leave();
        for (;;) {
            out.note("connection to %s port %d lost: %s; connecting again in %d s",
                     session.options().host.c_str(), session.options().port,
                     printable(reason).c_str(), retry_s);
            out.event(nlohmann::json{{"event", "disconnected"},
                                     {"reason", text_value(reason)},
                                     {"retry_seconds", retry_s}});
            if (!pause_for(session, retry_s)) return status::kDone;
            retry_s = std::min(retry_s * 2, kLongestRetryS);
            s = session.connect(reason);
            if (s == status::kInterrupted) return status::kDone;
            if (s == status::kDone) break;
        }
        out.note("connected again to %s port %d", session.options().host.c_str(),
                 session.options().port);
        retry_s = 1;
    }
}

int run_chat(Session& session, const std::string& nick, int input_fd) {
    int s = session.start();
    if (s != status::kDone) return s;
    Output& out = session.output();
    std::string reason;
    auto leave_chat = [&]() {
        std::string ignored;
        (void)session.send(code::kChatLeave, 0, nick, ignored);
        session.leave();
    };
    if (session.send(code::kChatEnter, 0, nick, reason) != status::kDone)
        return session.fail(status::kNotStation, reason);
    s = show_chat_until_answered(session, reason);
    if (s != status::kDone) return session.fail(s, reason);
    out.note("in the chat as %s; lines you type go out, Ctrl-D leaves", nick.c_str());
    KeepAlive keep_alive(session.options());
    std::string typed;
    bool input_open = true;
    for (;;) {
        Packet p;
        bool typing = false;
        s = session.next(p, keep_alive.wait_ms(), reason, input_open ? input_fd : -1, &typing);
        if (s == status::kInterrupted) {
            leave_chat();
            return status::kDone;
        }
        if (s == status::kNoAnswer) {
            if (!keep_alive.act(session, reason)) return session.fail(status::kNoAnswer, reason);
            continue;
        }
        if (s != status::kDone) return session.fail(s, reason);
        if (typing) {
            char buffer[4096];
            ssize_t n = read(input_fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n > 0) typed.append(buffer, static_cast<std::size_t>(n));
            if (n <= 0 && !typed.empty()) typed.push_back('\n');  // a last line without its end
            std::size_t end;
            while ((end = typed.find('\n')) != std::string::npos) {
                std::string line = typed.substr(0, end);
                typed.erase(0, end + 1);
                if (!line.empty() && line.back() == '\r') line.pop_back();
                if (line.empty()) continue;
                std::string said = nick + "\t" + line;
                if (said.size() > kPacketTextMax) {
                    out.note("line cut to the %zu bytes a packet carries", kPacketTextMax);
                    said.resize(kPacketTextMax);
                }
                if (session.send(code::kChatSay, 0, said, reason) != status::kDone)
                    return session.fail(status::kNotStation, reason);
            }
            if (n <= 0) {
                // The echoes of the last lines come before the answer to this.
                s = show_chat_until_answered(session, reason);
                leave_chat();
                return s == status::kDone ? s : session.fail(s, reason);
            }
            if (!keep_alive.act(session, reason)) return session.fail(status::kNoAnswer, reason);
            continue;
        }
        keep_alive.heard();
        if (!keep_alive.act(session, reason)) return session.fail(status::kNoAnswer, reason);
        show_chat_packet(session, p);
    }
}

}  // namespace korvad::client
