#pragma once
// The daily report run: shortly after midnight the previous day's log is
// zipped, turned into base64 and mailed as a MIME attachment to every active
// subscriber, with the operator's news ("./korvadnews.txt") and the day's
// first contacts ("NewRegs-DATE.log", with -N). Each subscriber gets the log
// in the format chosen (korvad, or ANAD with SUB_ANAD).
//
// Exit statuses of the run: 20 done, 21 no subscriber list, 22 zip could not
// be started for the korvad log, 23 not for the ANAD log, or an encoding
// could not be started.
//
// The mail, as sendmail -t reads it (parts without their text left out):
//
//   From: <sender>
//   To: <subscriber>
//   X-Header: korvad 1.oo
//   Subject: Daily zipped ACARS Report of <system name or host name>
//   MIME-Version: 1.0
//   Content-Type: multipart/mixed; boundary="<boundary>"
//
//   --<boundary>
//   Content-Type: text/plain; charset=iso-8859-1
//
//   <news>
//
//   --<boundary>
//   Content-Type: text/plain; charset=iso-8859-1
//
//   First contacted aircrafts:
//   <new contacts>
//
//
//   --<boundary>
//   Content-Type: application/zip; name=<attachment name>
//   Content-Transfer-Encoding: BASE64
//
//   <base64 lines><closing: "\n--<boundary>--\n.\n">

#include <sys/types.h>

#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "control/process_title.h"
#include "control/settings.h"

namespace korvad {

inline constexpr const char* kNewsFile = "./korvadnews.txt";

struct ReportRun {
    std::string log_dir;       // "." when none is set
    std::string subject_name;  // the -M system name, else the host name
    std::string sender;        // From: address
    std::string subscribers_file;
    std::string news_file = kNewsFile;
    MailProgramPaths programs;
    ProcessTitle title;
};

// The report day of a run at `now`: the previous calendar day in local time,
// "%Y%02m%02d" (right also after a day of 23 or 25 hours).
[[nodiscard]] std::string report_day(std::time_t now);

// A plain address that may stand in a mail header: local@domain, at most 254
// characters, no white space or control characters, no leading "-", none of
// , ; " ' < > ( ) [ ] \. No other address is ever mailed.
[[nodiscard]] bool plain_email_address(std::string_view address);

// The From: address of korvad's mails.
[[nodiscard]] std::string report_sender(const char* host_name);

// Starts the run of the day before `now`: 0 when that day has no korvad log,
// -1 when the fork failed, else the run's process id. In the child,
// close_inherited runs first (the server's sockets).
pid_t send_daily_reports(const ReportRun& run, std::time_t now,
                         const std::function<void()>& close_inherited);

// The base64 text of the file as mimencode writes it, or none when mimencode
// cannot be started (empty when it wrote nothing, e.g. for a missing file).
[[nodiscard]] std::optional<std::string> encode_file_base64(const std::string& mimencode,
                                                            const std::string& path);

// The mail text, exactly as sendmail receives it.
[[nodiscard]] std::string report_mail_text(const std::string& from, const std::string& to,
                                           const std::string& subject,
                                           const std::optional<std::string>& news,
                                           const std::string& attachment_name,
                                           const std::optional<std::string>& attachment,
                                           const std::optional<std::string>& new_contacts,
                                           const std::string& boundary);

// Hands one mail to sendmail -t. Returns 1 (also when sendmail could not be
// started: that subscriber gets no mail).
int send_report_mail(const std::string& sendmail, const std::string& from, const std::string& to,
                     const std::string& subject, const std::optional<std::string>& news,
                     const std::string& attachment_name,
                     const std::optional<std::string>& attachment,
                     const std::optional<std::string>& new_contacts);

// The whole run, in the child: returns its exit status.
int report_run_main(const ReportRun& run, const std::string& day);

}  // namespace korvad
