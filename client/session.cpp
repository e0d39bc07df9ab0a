#include "client/session.h"

#include <algorithm>
#include <chrono>
#include <cstdarg>

#include "client/text_forms.h"
#include "common/format.h"

namespace korvad::client {

namespace {

using Clock = std::chrono::steady_clock;

int ms_left(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return std::max<long long>(0, left.count());
}

}  // namespace

void Output::event(const nlohmann::json& object) {
    if (!json_) return;
    std::fputs(json_line(object).c_str(), out_);
    std::fflush(out_);
}

void Output::text(const std::string& text) {
    if (json_) return;
    std::fwrite(text.data(), 1, text.size(), out_);
    std::fflush(out_);
}

void Output::note(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = vformat_text(format, args);
    va_end(args);
    print_to(err_, "korvadclient: %s\n", text.c_str());
}

int Output::fail(int status, const std::string& text) {
    print_to(err_, "korvadclient: %s\n", printable(text).c_str());
    event(error_to_json(status, text));
    return status;
}

int Session::failure_status(const Outcome& o, std::string& reason, bool connecting) const {
    const std::string where = format_text("%s port %d", options_.host.c_str(), options_.port);
    switch (o.failure) {
        case Failure::kNone:
            return status::kDone;
        case Failure::kUnknownHost:
            reason = o.detail;
            return status::kCannotConnect;
        case Failure::kRefused:
            reason =
                format_text("connection refused by %s: no station listens there", where.c_str());
            return status::kCannotConnect;
        case Failure::kUnreachable:
            reason = format_text("cannot reach %s: %s", where.c_str(), o.detail.c_str());
            return status::kCannotConnect;
        case Failure::kConnectTimeout:
            reason =
                format_text("no answer from %s within %d s", where.c_str(), options_.timeout_s);
            return status::kCannotConnect;
        case Failure::kTimeout:
            reason = connecting ? format_text(
                                      "%s took the connection but sent no greeting "
                                      "within %d s: not a korvad station?",
                                      where.c_str(), options_.timeout_s)
                                : format_text("no answer from %s within the time (%s)",
                                              where.c_str(), o.detail.c_str());
            return status::kNoAnswer;
        case Failure::kClosed:
            reason = format_text("%s: %s", where.c_str(), o.detail.c_str());
            return status::kNotStation;
        case Failure::kNotProtocol:
            reason = format_text("%s is not a korvad station: %s", where.c_str(), o.detail.c_str());
            return status::kNotStation;
        case Failure::kSendFailed:
            reason = format_text("cannot send to %s: %s", where.c_str(), o.detail.c_str());
            return status::kNotStation;
        case Failure::kInterrupted:
            reason = "interrupted";
            return status::kInterrupted;
    }
    return status::kNotStation;
}

int Session::connect(std::string& reason) {
    greeting_ = Greeting();
    early_.clear();
    const int timeout_ms = options_.timeout_s * 1000;
    Outcome o = Connection::open(options_.host, options_.port, timeout_ms, stop_, connection_);
    if (!o.ok()) return failure_status(o, reason, true);
    // The greeting has no end of its own: the answer to a keep-alive sent
    // now comes right after it.
    o = connection_.send(code::kKeepAlive, 0, " ", timeout_ms);
    if (!o.ok()) return failure_status(o, reason, true);
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (bool first = true;; first = false) {
        Packet p;
        o = connection_.receive(p, ms_left(deadline));
        if (!o.ok()) {
            connection_.close();
            return failure_status(o, reason, true);
        }
        if (p.header.code == code::kBusy) {
            connection_.close();
            reason = format_text("%s port %d is busy: %s", options_.host.c_str(), options_.port,
                                 p.payload.c_str());
            return status::kBusy;
        }
        if (first && p.header.code != code::kStation) {
            connection_.close();
            reason = format_text(
                "%s port %d is not a korvad station: it began with packet "
                "code %d",
                options_.host.c_str(), options_.port, p.header.code);
            return status::kNotStation;
        }
        if (p.header.code == code::kKeepAliveAnswer) return status::kDone;
        if (!take_greeting_packet(greeting_, p)) {
            if (p.header.code == code::kStation) {
                connection_.close();
                reason = format_text(
                    "%s port %d is not a korvad station: its greeting does not "
                    "read",
                    options_.host.c_str(), options_.port);
                return status::kNotStation;
            }
            early_.push_back(std::move(p));
        }
    }
}

int Session::start() {
    std::string reason;
    int s = connect(reason);
    return s == status::kDone ? s : fail(s, reason);
}

int Session::send(std::int32_t code, std::int32_t argument, std::string_view text,
                  std::string& reason) {
    Outcome o = connection_.send(code, argument, text, options_.timeout_s * 1000);
    return failure_status(o, reason, false);
}

int Session::next(Packet& out, int timeout_ms, std::string& reason, int extra_fd,
                  bool* extra_ready) {
    if (extra_ready != nullptr) *extra_ready = false;
    if (!early_.empty()) {
        out = std::move(early_.front());
        early_.pop_front();
        return status::kDone;
    }
    Outcome o = connection_.receive(out, timeout_ms, extra_fd, extra_ready);
    if (o.ok() && out.header.code == code::kBusy && !(extra_ready && *extra_ready)) {
        reason = format_text("the station refused: %s", out.payload.c_str());
        return status::kBusy;
    }
    return failure_status(o, reason, false);
}

int Session::await(std::initializer_list<std::int32_t> wanted, int timeout_s, Packet& out,
                   std::string& reason) {
    const auto deadline = Clock::now() + std::chrono::seconds(timeout_s);
    for (;;) {
        int s = next(out, ms_left(deadline), reason);
        if (s != status::kDone) {
            if (s == status::kNoAnswer)
                reason = format_text("no answer from %s port %d within %d s", options_.host.c_str(),
                                     options_.port, timeout_s);
            return s;
        }
        if (std::find(wanted.begin(), wanted.end(), out.header.code) != wanted.end())
            return status::kDone;
    }
}

void Session::leave() {
    if (!connection_.is_open()) return;
    // A short wait only: the connection may already be gone.
    (void)connection_.send(code::kLeave, 0, " ", 1000);
    connection_.close();
}

}  // namespace korvad::client
