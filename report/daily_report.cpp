#include "report/daily_report.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "common/format.h"
#include "common/program.h"
#include "common/version.h"
#include "server/subscriber.h"

namespace korvad {
namespace {

constexpr std::size_t kLongestAddress = 254;

bool regular_file(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

std::optional<std::string> read_whole(const std::string& path) {
    if (!regular_file(path)) return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// zip -9 -j ARCHIVE LOG: the log under its bare name, best compression. False
// when zip could not be started; its own failures (a missing log) are not
// reported.
bool zip_log(const std::string& zip, const std::string& log) {
    std::optional<Program> program =
        start_program(zip, {"zip", "-9", "-j", log + ".zip", log}, ProgramPipe::kNone);
    if (!program) return false;
    (void)finish_program(*program);
    return true;
}

}  // namespace

bool plain_email_address(std::string_view address) {
    if (address.empty() || address.size() > kLongestAddress || address.front() == '-') return false;
    const std::size_t at = address.find('@');
    if (at == 0 || at == std::string_view::npos || at + 1 == address.size() ||
        address.find('@', at + 1) != std::string_view::npos) {
        return false;
    }
    for (unsigned char c : address) {
        if (c <= ' ' || c == 0x7f || std::strchr(",;\"'<>()[]\\", c) != nullptr) return false;
    }
    return true;
}

std::string report_day(std::time_t now) {
    std::tm today{};
    localtime_r(&now, &today);
    // Noon of the day before: mktime counts the calendar, so a day of 23 or
    // 25 hours in between does not matter.
    std::tm before{};
    before.tm_year = today.tm_year;
    before.tm_mon = today.tm_mon;
    before.tm_mday = today.tm_mday - 1;
    before.tm_hour = 12;
    before.tm_isdst = -1;
    std::time_t noon = std::mktime(&before);
    std::tm day{};
    localtime_r(&noon, &day);
    return format_text("%04d%02d%02d", day.tm_year + 1900, day.tm_mon + 1, day.tm_mday);
}

std::string report_sender(const char* host_name) {
    return format_text("korvad@%s",
                       host_name != nullptr && host_name[0] != '\0' ? host_name : "localhost");
}

std::optional<std::string> encode_file_base64(const std::string& mimencode,
                                              const std::string& path) {
    std::optional<Program> program =
        start_program(mimencode, {"mimencode", path}, ProgramPipe::kOutput);
    if (!program) return std::nullopt;
    return read_all_output(*program);
}

std::string report_mail_text(const std::string& from, const std::string& to,
                             const std::string& subject, const std::optional<std::string>& news,
                             const std::string& attachment_name,
                             const std::optional<std::string>& attachment,
                             const std::optional<std::string>& new_contacts,
                             const std::string& boundary) {
    std::string mail = format_text("From: %s\n", from.c_str());
    mail += format_text("To: %s\n", to.c_str());
    mail += format_text("X-Header: %s %s\n", kProgramName, kVersion);
    mail += format_text("Subject: %s\n", subject.c_str());
    mail += "MIME-Version: 1.0\n";
    mail += format_text("Content-Type: multipart/mixed; boundary=\"%s\"\n", boundary.c_str());
    mail += "\n";
    const std::string part = format_text("--%s\n", boundary.c_str());
    if (news) {
        mail += part;
        mail += "Content-Type: text/plain; charset=iso-8859-1\n\n" + *news + "\n\n";
    }
    if (new_contacts) {
        mail += part;
        mail += "Content-Type: text/plain; charset=iso-8859-1\n\nFirst contacted aircrafts:\n" +
                *new_contacts + "\n\n";
    }
    if (attachment) {
        mail += "\n" + part;
        mail += format_text("Content-Type: application/zip; name=%s\n", attachment_name.c_str());
        mail += "Content-Transfer-Encoding: BASE64\n\n";
        mail += *attachment;
        mail += format_text("\n--%s--\n.\n", boundary.c_str());
    }
    return mail;
}

int send_report_mail(const std::string& sendmail, const std::string& from, const std::string& to,
                     const std::string& subject, const std::optional<std::string>& news,
                     const std::string& attachment_name,
                     const std::optional<std::string>& attachment,
                     const std::optional<std::string>& new_contacts) {
    const std::string boundary = format_text("-SndST-%ld%d", static_cast<long>(std::time(nullptr)),
                                             static_cast<int>(getpid()));
    std::optional<Program> program =
        start_program(sendmail, {"sendmail", "-t"}, ProgramPipe::kInput);
    if (!program) return 1;
    (void)write_all_input(*program, report_mail_text(from, to, subject, news, attachment_name,
                                                     attachment, new_contacts, boundary));
    (void)finish_program(*program);
    return 1;
}

int report_run_main(const ReportRun& run, const std::string& day) {
    const std::string log = format_text("%s/korvad-%s.log", run.log_dir.c_str(), day.c_str());
    const std::string anad = format_text("%s/ANAD-%s.log", run.log_dir.c_str(), day.c_str());
    if (!zip_log(run.programs.zip, log)) return 22;
    if (!zip_log(run.programs.zip, anad)) return 23;
    std::optional<std::string> korvad_text =
        encode_file_base64(run.programs.mimencode, log + ".zip");
    std::optional<std::string> anad_text =
        encode_file_base64(run.programs.mimencode, anad + ".zip");
    if (!korvad_text || !anad_text) return 23;
    SubscriberList subscribers = make_subscriber_list(30, 15);
    const std::optional<std::string> new_contacts =
        read_whole(format_text("%s/NewRegs-%s.log", run.log_dir.c_str(), day.c_str()));
    const std::optional<std::string> news = read_whole(run.news_file);
    if (subscribers.load_file(run.subscribers_file) != LoadResult::loaded) subscribers.free_all();
    const std::string subject =
        format_text("Daily zipped ACARS Report of %s", run.subject_name.c_str());
    const std::string korvad_name = format_text("korvad-%s.log.zip", day.c_str());
    const std::string anad_name = format_text("ANAD-%s.log.zip", day.c_str());
    for (const auto& entry : subscribers.entries()) {
        if (entry == nullptr || (entry->flags & SUB_ACTIVE) == 0 || !entry->email) continue;
        if (!plain_email_address(*entry->email)) continue;  // never into a header
        const bool wants_anad = (entry->flags & SUB_ANAD) != 0;
        (void)send_report_mail(run.programs.sendmail, run.sender, *entry->email, subject, news,
                               wants_anad ? anad_name : korvad_name,
                               wants_anad ? anad_text : korvad_text, new_contacts);
    }
    std::remove((log + ".zip").c_str());
    std::remove((anad + ".zip").c_str());
    return 20;
}

pid_t send_daily_reports(const ReportRun& run, std::time_t now,
                         const std::function<void()>& close_inherited) {
    const std::string day = report_day(now);
    if (!regular_file(format_text("%s/korvad-%s.log", run.log_dir.c_str(), day.c_str()))) return 0;
    pid_t pid = fork();
    if (pid != 0) return pid;
    if (close_inherited) close_inherited();
    signal(SIGCHLD, SIG_DFL);  // to wait for zip, mimencode and sendmail
    ProcessTitle title = run.title;
    process_title_set(title, "%s send daily reports", kProgramName);
    _exit(report_run_main(run, day));
}

}  // namespace korvad
