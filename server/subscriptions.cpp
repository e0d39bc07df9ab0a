#include "server/subscriptions.h"

#include <signal.h>
#include <sys/random.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstring>

#include "common/format.h"
#include "common/program.h"
#include "common/version.h"
#include "report/daily_report.h"
#include "store/reference.h"

namespace korvad {
namespace {

constexpr int kSubscriptionNotice = 108;
constexpr int kConfirmation = 64;
constexpr char kNotSubscribed[] = "You are not subscribed to this Server";
constexpr char kWrongCode[] = "Your authorisation code is wrong!";

void notice(ServerState& server, int index, int code, const std::string& text) {
    (void)send_text(server.table, index, code, 0, text);
}

std::string lower_case(const std::string& text) {
    std::string lower = text;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower;
}

// An unguessable code: a random positive 31-bit number.
std::int32_t new_auth_code() {
    for (;;) {
        std::uint32_t random = 0;
        if (getrandom(&random, sizeof random, 0) != sizeof random) continue;
        const auto code = static_cast<std::int32_t>(random & 0x7fffffffu);
        if (code != 0) return code;
    }
}

std::int32_t find_subscriber(const SubscriberList& list, const std::string& email) {
    Subscriber probe;
    probe.email = email;
    const SearchResult at = list.search(probe);
    return at.found ? at.index : -1;
}

// Whether this request may mail the code now; notes the mail when it may.
bool code_mail_allowed(CodeMailLog& log, const std::string& email, std::time_t now) {
    while (!log.sent.empty() && log.sent.front() <= now - 3600) log.sent.pop_front();
    const std::string key = lower_case(email);
    auto last = log.last_by_address.find(key);
    if (last != log.last_by_address.end() && now - last->second < kCodeMailAgainSeconds) {
        return false;
    }
    if (log.sent.size() >= kCodeMailsPerHour) return false;
    log.sent.push_back(now);
    log.last_by_address[key] = now;
    return true;
}

// The code mail, in a process of its own that ends with status 10.
void send_code_mail(ServerState& server, const Subscriber& subscriber) {
    const std::string email = subscriber.email.value_or("");
    const std::string mail = format_text(
        "From: %s\nTo: %s\nSubject: Subscribe for daily ACARS Reports\n\n"
        "Please send the following code back to this korvad server with your korvadclient.\n"
        "Your code: %ld\n\nUntil you are not fully subscribed you'll not receive any reports!\n",
        report_sender(server.host_name).c_str(), email.c_str(),
        static_cast<long>(subscriber.auth_code));
    const std::string sendmail = mail_program_paths(server.start.settings).sendmail;
    pid_t pid = fork();
    if (pid != 0) return;  // the server goes on at once; the system reaps the child
    close_server_descriptors(server);
    signal(SIGCHLD, SIG_DFL);  // to wait for sendmail
    process_title_set(server.start.title, "%s send mail to: %s", kProgramName, email.c_str());
    std::optional<Program> program =
        start_program(sendmail, {"sendmail", "-t"}, ProgramPipe::kInput);
    if (program) {
        (void)write_all_input(*program, mail);
        (void)finish_program(*program);
    }
    _exit(10);
}

void subscribe(ServerState& server, int index, const std::string& email) {
    SubscriberList& list = *server.subscribers;
    const Subscriber* record = nullptr;
    std::int32_t at = find_subscriber(list, email);
    if (at < 0) {
        auto subscriber = std::make_unique<Subscriber>();
        subscriber->email = email;
        subscriber->flags = SUB_PENDING;
        subscriber->auth_code = new_auth_code();
        const Subscriber* added = subscriber.get();
        if (!list.add(subscriber)) return;
        server.subscribers_changed = true;
        record = added;
        notice(server, index, kConfirmation,
               "You are now subscribed. You'll receive a mail with your authorisation code.\n"
               "Please send this code back to this korvad Server with your korvadclient to get "
               "fully enabled.");
    } else {
        record = list.at(at);
        notice(server, index, kSubscriptionNotice,
               "You are already subscribed but we send the code again :)");
    }
    if (record != nullptr && code_mail_allowed(server.code_mails, email, server.now)) {
        send_code_mail(server, *record);
    }
}

// The record of the address when the code is right; else the notice is sent.
Subscriber* authorised(ServerState& server, int index, const std::string& email, std::int32_t code,
                       std::int32_t& at) {
    at = find_subscriber(*server.subscribers, email);
    if (at < 0) {
        notice(server, index, kSubscriptionNotice, kNotSubscribed);
        return nullptr;
    }
    Subscriber* record = server.subscribers->at(at);
    if (record == nullptr || record->auth_code != code) {
        notice(server, index, kSubscriptionNotice, kWrongCode);
        return nullptr;
    }
    return record;
}

}  // namespace

bool is_subscription_request(std::int32_t code) {
    return code == 60 || code == 61 || code == 62 || code == 63 || code == 66;
}

void open_subscribers(ServerState& server) {
    if (!server.start.settings.mail_enabled) return;
    server.subscribers = make_subscriber_list(30, 5);
    if (server.subscribers->load_file(store_file_path(server.start.folder, kSubscribersFile)) !=
        LoadResult::loaded) {
        server.subscribers->free_all();
    }
}

void save_subscribers(ServerState& server) {
    if (!server.subscribers || !server.subscribers_changed) return;
    if (server.subscribers->save_file(store_file_path(server.start.folder, kSubscribersFile))) {
        server.subscribers_changed = false;
    }
}

ReportRun report_run_of(const ServerState& server) {
    const Settings& settings = server.start.settings;
    ReportRun run;
    run.log_dir = settings.log_path();
    run.subject_name = settings.mail_system_name.value_or(server.host_name);
    run.sender = report_sender(server.host_name);
    run.subscribers_file = store_file_path(server.start.folder, kSubscribersFile);
    run.programs = mail_program_paths(settings);
    run.title = server.start.title;
    return run;
}

void start_daily_reports(ServerState& server) {
    if (!server.subscribers || server.report_run > 0) return;
    server.subscribers_changed = true;  // the run reads the file: it must be current
    save_subscribers(server);
    const pid_t run = send_daily_reports(report_run_of(server), server.now,
                                         [&server] { close_server_descriptors(server); });
    server.report_run = run > 0 ? run : 0;
}

bool check_report_run(ServerState& server) {
    if (server.report_run <= 0) return false;
    // SIGCHLD is ignored, so the ended run is reaped by the system and
    // waitpid says it is gone.
    if (waitpid(server.report_run, nullptr, WNOHANG) == 0) return false;
    server.report_run = 0;
    return true;
}

void handle_subscription(ServerState& server, int index, std::int32_t code, std::int32_t argument,
                         const std::string& email) {
    if (!server.subscribers) {
        notice(server, index, kSubscriptionNotice, "No support for daily reports on this server");
        return;
    }
    if (code == 60) {
        if (!plain_email_address(email)) {
            notice(server, index, kSubscriptionNotice, "Invalid e-mail address");
            return;
        }
        subscribe(server, index, email);
        return;
    }
    if (code == 66) {
        Subscriber* record = nullptr;
        const std::int32_t at = find_subscriber(*server.subscribers, email);
        if (at >= 0) record = server.subscribers->at(at);
        if (record == nullptr) {
            notice(server, index, kSubscriptionNotice, kNotSubscribed);
            return;
        }
        if (argument != 0) {
            record->flags |= SUB_ANAD;
        } else {
            record->flags &= static_cast<std::uint8_t>(~SUB_ANAD);
        }
        server.subscribers_changed = true;
        notice(server, index, kConfirmation,
               format_text("Your logfile format is now: %s",
                           (record->flags & SUB_ANAD) != 0 ? "ANAD Style" : "korvad Style"));
        return;
    }
    std::int32_t at = -1;
    Subscriber* record = authorised(server, index, email, argument, at);
    if (record == nullptr) return;
    server.subscribers_changed = true;
    if (code == 61) {
        server.subscribers->remove_at(at);
        notice(server, index, kConfirmation, "You are now unsubscribed from this Server");
    } else if (code == 62) {
        record->flags = static_cast<std::uint8_t>((record->flags & ~SUB_PENDING) | SUB_ACTIVE);
        notice(server, index, kConfirmation,
               "You are now fully subscribed to this Server\n\nYou now should receive daily "
               "reports with your mail.");
    } else {
        record->flags &= static_cast<std::uint8_t>(~SUB_ACTIVE);
        notice(server, index, kConfirmation,
               "Your subscription is temporarily disabled\n\nYou must activate your account to "
               "receive reports again");
    }
}

}  // namespace korvad
