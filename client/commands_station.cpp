// report, the subscription commands, correct and delete: requests that the
// station answers with a verdict or a file.

#include <unistd.h>

#include <cstring>

#include "client/commands.h"
#include "client/text_forms.h"
#include "common/atomic_file.h"
#include "common/format.h"

namespace korvad::client {

namespace {

constexpr int kProgressWidth = 40;  // cells of the progress bar

// Takes the chunks of a report into `file` until the short chunk that ends
// it. Returns the exit status; `received` counts the bytes taken.
int take_report(Session& session, std::int64_t size, std::FILE* file, std::int64_t& received,
                std::string& reason) {
    Output& out = session.output();
    const bool progress = !out.json() && isatty(fileno(out.err())) == 1;
    received = 0;
    for (;;) {
        Packet chunk;
        int s = session.await({code::kReportChunk}, session.options().timeout_s, chunk, reason);
        if (s != status::kDone) return s;
        received += static_cast<std::int64_t>(chunk.payload.size());
        if (received > size) {
            reason = format_text("the station sent more than the %lld bytes it announced",
                                 static_cast<long long>(size));
            return status::kNotStation;
        }
        if (!chunk.payload.empty() && std::fwrite(chunk.payload.data(), 1, chunk.payload.size(),
                                                  file) != chunk.payload.size()) {
            reason = format_text("cannot write the report: %s", std::strerror(errno));
            return status::kLocalFile;
        }
        if (progress)
            print_to(out.err(), "\r%s", progress_bar(received, size, kProgressWidth).c_str());
        if (chunk.payload.size() < kPacketPayloadMax) break;
    }
    if (progress) print_to(out.err(), "%s", "\n");
    if (received != size) {
        reason = format_text("the report ended after %lld of the %lld bytes announced",
                             static_cast<long long>(received), static_cast<long long>(size));
        return status::kNotStation;
    }
    return status::kDone;
}

// A verdict text as the result of a command: standard output in text mode,
// the mapped answer in JSON mode.
void show_answer(Session& session, const Packet& answer) {
    session.output().event(session.mapper().map(answer));
    session.output().text(printable(answer.payload) + "\n");
}

}  // namespace

int run_report(Session& session, const std::string& name) {
    const std::string& target = session.options().output;
    int s = session.start();
    if (s != status::kDone) return s;
    if (!session.greeting().reports) {
        session.leave();
        return session.fail(status::kStationSaidNo,
                            format_text("%s keeps no reports", session.options().host.c_str()));
    }
    std::string reason;
    Packet answer;
    s = session.send(code::kReport, 0, name, reason);
    if (s == status::kDone)
        s = session.await({code::kReportSize, code::kNotice}, session.options().timeout_s, answer,
                          reason);
    if (s != status::kDone) return session.fail(s, reason);
    if (answer.header.code == code::kNotice) {
        session.leave();
        return session.fail(status::kStationSaidNo, answer.payload);
    }
    auto size = read_number(answer.payload);
    Packet named;
    if (!size || *size < 0)
        return session.fail(status::kNotStation,
                            "the report's size does not read: " + answer.payload);
    s = session.await({code::kReportName}, session.options().timeout_s, named, reason);
    if (s != status::kDone) return session.fail(s, reason);

    std::int64_t received = 0;
    const std::string path = target.empty() ? "./" + name : target;
    if (target == "-") {
        s = take_report(session, *size, stdout, received, reason);
        if (s == status::kDone && std::fflush(stdout) != 0) {
            s = status::kLocalFile;
            reason = "cannot write the report to standard output";
        }
    } else {
        s = status::kDone;
        bool saved = save_atomically(
            path,
            [&](std::FILE* file) {
                s = take_report(session, *size, file, received, reason);
                return s == status::kDone;
            },
            0644);
        if (s == status::kDone && !saved) {
            s = status::kLocalFile;
            reason = format_text("cannot save the report to %s", path.c_str());
        }
    }
    session.leave();
    if (s != status::kDone) return session.fail(s, reason);
    Output& out = session.output();
    out.event(nlohmann::json{{"event", "report"},
                             {"name", text_value(name)},
                             {"file", text_value(target == "-" ? "-" : path)},
                             {"bytes", received}});
    if (target != "-")
        out.text(format_text("%s: %lld bytes saved to %s\n", printable(name).c_str(),
                             static_cast<long long>(received), printable(path).c_str()));
    return status::kDone;
}

int run_subscription(Session& session, const std::string& command, const Arguments& args) {
    std::int32_t request = 0;
    std::int32_t argument = 0;
    if (command == "subscribe") {
        request = code::kSubscribe;
    } else if (command == "format") {
        request = code::kLogFormat;
        argument = args[1] == "anad" ? 1 : 0;
    } else {
        request = command == "confirm" ? code::kActivate
                  : command == "pause" ? code::kPause
                                       : code::kUnsubscribe;
        argument = static_cast<std::int32_t>(*read_number(args[1]));
    }
    int s = session.start();
    if (s != status::kDone) return s;
    std::string reason;
    Packet answer;
    s = session.send(request, argument, args[0], reason);
    if (s == status::kDone)
        s = session.await({code::kSubscriptionDone, code::kSubscriptionRefused},
                          session.options().timeout_s, answer, reason);
    if (s != status::kDone) return session.fail(s, reason);
    show_answer(session, answer);
    session.leave();
    return answer.header.code == code::kSubscriptionDone ? status::kDone : status::kStationSaidNo;
}

int run_correction(Session& session, const Arguments& args) {
    const std::string& kind = args[0];
    const std::int32_t request = kind == "flights"    ? code::kCorrectFlight
                                 : kind == "airlines" ? code::kCorrectAirline
                                                      : code::kCorrectType;
    int s = session.start();
    if (s != status::kDone) return s;
    std::string reason;
    s = session.send(request, 0, args[1] + "\t" + args[2], reason);
    if (s != status::kDone) return session.fail(s, reason);
    const int wait = std::max(kCorrectionWaitS, session.options().timeout_s);
    session.output().note("waiting up to %d s for the station's verdict", wait);
    Packet answer;
    s = session.await({code::kCorrectionAccepted, code::kCorrectionRejected, code::kNoCorrections},
                      wait, answer, reason);
    if (s != status::kDone) return session.fail(s, reason);
    session.output().event(session.mapper().map(answer));
    session.leave();
    switch (answer.header.code) {
        case code::kCorrectionAccepted:
            session.output().text("accepted\n");
            return status::kDone;
        case code::kCorrectionRejected:
            session.output().text("rejected\n");
            return status::kStationSaidNo;
        default:
            session.output().text(format_text("%s lets no client change its databases\n",
                                              session.options().host.c_str()));
            return status::kStationSaidNo;
    }
}

int run_delete(Session& session, const Arguments& args) {
    int s = session.start();
    if (s != status::kDone) return s;
    std::string reason;
    s = session.send(code::kDelete, 0, args[0] + "\t" + args[1] + "\t" + args[2] + "\t" + args[3],
                     reason);
    if (s != status::kDone) return session.fail(s, reason);
    const int wait = std::max(kDeleteWaitS, session.options().timeout_s);
    session.output().note("waiting up to %d s for the station's answer", wait);
    Packet answer;
    s = session.await({code::kNotice}, wait, answer, reason);
    if (s != status::kDone) return session.fail(s, reason);
    show_answer(session, answer);
    session.leave();
    // "Entry '%s' successful deleted" is the one answer of a done delete.
    const std::string& t = answer.payload;
    const std::string done = "' successful deleted";
    const bool deleted = t.rfind("Entry '", 0) == 0 && t.size() > done.size() &&
                         t.compare(t.size() - done.size(), done.size(), done) == 0;
    return deleted ? status::kDone : status::kStationSaidNo;
}

}  // namespace korvad::client
