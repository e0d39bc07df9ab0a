// The daily report run with stand-in programs, and its texts to the byte.

#include "report/daily_report.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>

#include "common/test_folder.h"
#include "server/subscriber.h"

namespace korvad {
namespace {

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const std::string& path, const std::string& text, mode_t mode = 0644) {
    std::ofstream(path, std::ios::binary) << text;
    chmod(path.c_str(), mode);
}

class LocalTime : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* tz = std::getenv("TZ");
        if (tz != nullptr) saved_ = tz;
        setenv("TZ", "Europe/Berlin", 1);
        tzset();
    }
    void TearDown() override {
        if (saved_) {
            setenv("TZ", saved_->c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }
    static std::time_t local(int year, int month, int day, int hour, int minute, int second) {
        std::tm t{};
        t.tm_year = year - 1900;
        t.tm_mon = month - 1;
        t.tm_mday = day;
        t.tm_hour = hour;
        t.tm_min = minute;
        t.tm_sec = second;
        t.tm_isdst = -1;
        return std::mktime(&t);
    }
    std::optional<std::string> saved_;
};

TEST_F(LocalTime, TheReportDayIsThePreviousCalendarDay) {
    struct Case {
        int year, month, day;
        const char* report;
    } cases[] = {
        {2026, 6, 15, "20260614"},  {2026, 1, 1, "20251231"},  {2026, 3, 1, "20260228"},
        {2024, 3, 1, "20240229"},   {2026, 3, 30, "20260329"},  // after the 23-hour day
        {2026, 10, 26, "20261025"},                             // after the 25-hour day
    };
    for (const Case& c : cases) {
        EXPECT_EQ(report_day(local(c.year, c.month, c.day, 0, 0, 6)), c.report) << c.report;
        EXPECT_EQ(report_day(local(c.year, c.month, c.day, 23, 59, 59)).size(), 8u);
    }
}

TEST(PlainEmailAddress, OnlyLocalAtDomain) {
    for (const char* good : {"anna@example.org", "a.b+c@mail.example.org", "ROOT@localhost"}) {
        EXPECT_TRUE(plain_email_address(good)) << good;
    }
    const std::string longest = std::string(244, 'a') + "@localhost";  // 254
    EXPECT_TRUE(plain_email_address(longest));
    for (const std::string& bad :
         {std::string(""), std::string("anna"), std::string("@example.org"), std::string("anna@"),
          std::string("-oQ/tmp@x.org"), std::string("anna@x.org\nBcc: eve@x.org"),
          std::string("anna@x.org, eve@x.org"), std::string("anna@x.org;eve@x.org"),
          std::string("Anna <anna@x.org>"), std::string("an na@x.org"),
          std::string("\"anna\"@x.org"), std::string("a@b@c"), std::string("anna@x.org\t"),
          std::string("anna@x.org\r"), longest + "a"}) {
        EXPECT_FALSE(plain_email_address(bad)) << bad;
    }
}

TEST(ReportMailText, TheLayoutToTheByte) {
    EXPECT_EQ(
        report_mail_text("korvad@vm", "anna@x.org", "Daily zipped ACARS Report of st",
                         std::string("News!"), "korvad-20260614.log.zip",
                         std::string("UEsD\nAAAA\n"), std::string("D-ABCD\tA320\n"), "-SndST-17"),
        "From: korvad@vm\n"
        "To: anna@x.org\n"
        "X-Header: korvad 1.oo\n"
        "Subject: Daily zipped ACARS Report of st\n"
        "MIME-Version: 1.0\n"
        "Content-Type: multipart/mixed; boundary=\"-SndST-17\"\n"
        "\n"
        "---SndST-17\n"
        "Content-Type: text/plain; charset=iso-8859-1\n\nNews!\n\n"
        "---SndST-17\n"
        "Content-Type: text/plain; charset=iso-8859-1\n\nFirst contacted aircrafts:\n"
        "D-ABCD\tA320\n\n\n"
        "\n---SndST-17\n"
        "Content-Type: application/zip; name=korvad-20260614.log.zip\n"
        "Content-Transfer-Encoding: BASE64\n\n"
        "UEsD\nAAAA\n"
        "\n---SndST-17--\n.\n");
    // Neither news nor new contacts, and an empty attachment text.
    EXPECT_EQ(report_mail_text("f", "t", "s", std::nullopt, "ANAD-1.log.zip", std::string(),
                               std::nullopt, "B"),
              "From: f\nTo: t\nX-Header: korvad 1.oo\nSubject: s\nMIME-Version: 1.0\n"
              "Content-Type: multipart/mixed; boundary=\"B\"\n\n"
              "\n--B\nContent-Type: application/zip; name=ANAD-1.log.zip\n"
              "Content-Transfer-Encoding: BASE64\n\n\n--B--\n.\n");
}

// A folder with stand-ins for zip (copies the log into the archive and notes
// each call), mimencode (base64 in lines of 76) and sendmail -t (appends each
// mail to mails.txt, ended by a line "=====").
class ReportRunTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(folder.path().empty());
        mkdir(folder.file("logs").c_str(), 0755);
        mkdir(folder.file("bin").c_str(), 0755);
        write_file(folder.file("bin/zip"),
                   "#!/bin/sh\necho \"$@\" >> '" + folder.file("zip-calls.txt") +
                       "'\n[ -f \"$4\" ] && cp \"$4\" \"$3\"\nexit 0\n",
                   0755);
        write_file(folder.file("bin/mimencode"),
                   "#!/bin/sh\n[ -f \"$1\" ] && base64 -w 76 \"$1\"\nexit 0\n", 0755);
        write_file(folder.file("bin/sendmail"),
                   "#!/bin/sh\n[ \"$1\" = -t ] || exit 1\ncat >> '" + folder.file("mails.txt") +
                       "'\necho ===== >> '" + folder.file("mails.txt") + "'\n",
                   0755);
        run.log_dir = folder.file("logs");
        run.subject_name = "station";
        run.sender = "korvad@vm";
        run.subscribers_file = folder.file("korvad-reports.db");
        run.news_file = folder.file("korvadnews.txt");
        run.programs = {folder.file("bin/sendmail"), folder.file("bin/zip"),
                        folder.file("bin/mimencode")};
        SubscriberList list = make_subscriber_list(30, 5);
        for (auto [email, flags] :
             {std::pair{"active@x.org", SUB_ACTIVE},
              {"anad@x.org", static_cast<std::uint8_t>(SUB_ACTIVE | SUB_ANAD)},
              {"pending@x.org", SUB_PENDING},
              {"disabled@x.org", static_cast<std::uint8_t>(0)},
              {"bad@x.org\nBcc: eve@x.org", SUB_ACTIVE}}) {
            auto s = std::make_unique<Subscriber>();
            s->email = email;
            s->flags = flags;
            s->auth_code = 5;
            ASSERT_TRUE(list.add(s));
        }
        ASSERT_TRUE(list.save_file(run.subscribers_file));
        write_file(folder.file("logs/korvad-20260614.log"), "the korvad log\n");
    }

    // The mails handed to sendmail, each with its boundary replaced by "B".
    std::vector<std::string> mails() {
        std::vector<std::string> found;
        std::string all = read_file(folder.file("mails.txt"));
        std::size_t at = 0;
        while (true) {
            std::size_t end = all.find("=====\n", at);
            if (end == std::string::npos) break;
            std::string mail = all.substr(at, end - at);
            std::size_t b = mail.find("boundary=\"");
            if (b != std::string::npos) {
                std::size_t e = mail.find('"', b + 10);
                const std::string boundary = mail.substr(b + 10, e - b - 10);
                EXPECT_EQ(boundary.rfind("-SndST-", 0), 0u) << boundary;
                for (std::size_t p; (p = mail.find(boundary)) != std::string::npos;) {
                    mail.replace(p, boundary.size(), "B");
                }
            }
            found.push_back(mail);
            at = end + 6;
        }
        return found;
    }

    TestFolder folder{"korvad-report-test"};
    ReportRun run;
};

TEST_F(ReportRunTest, ActiveSubscribersGetTheirFormatPendingAndDisabledNothing) {
    write_file(folder.file("logs/ANAD-20260614.log"), "the ANAD log\n");
    write_file(folder.file("logs/NewRegs-20260614.log"), "D-ABCD\tA320\n");
    write_file(run.news_file, "Antenna repaired.");
    EXPECT_EQ(report_run_main(run, "20260614"), 20);
    const std::string head =
        "From: korvad@vm\nTo: %s\nX-Header: korvad 1.oo\nSubject: Daily zipped ACARS Report of "
        "station\nMIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=\"B\"\n\n--B\n"
        "Content-Type: text/plain; charset=iso-8859-1\n\nAntenna repaired.\n\n--B\n"
        "Content-Type: text/plain; charset=iso-8859-1\n\nFirst contacted "
        "aircrafts:\nD-ABCD\tA320\n\n\n"
        "\n--B\nContent-Type: application/zip; name=%s\nContent-Transfer-Encoding: "
        "BASE64\n\n%s\n--B--\n.\n";
    auto expected = [&](const char* to, const char* name, const char* base64) {
        std::string text = head;
        for (const char* value : {to, name, base64}) text.replace(text.find("%s"), 2, value);
        return text;
    };
    // In list order (addresses without regard to case): active, anad.
    std::vector<std::string> sent = mails();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0],
              expected("active@x.org", "korvad-20260614.log.zip", "dGhlIGtvcnZhZCBsb2cK\n"));
    EXPECT_EQ(sent[1], expected("anad@x.org", "ANAD-20260614.log.zip", "dGhlIEFOQUQgbG9nCg==\n"));
    EXPECT_EQ(read_file(folder.file("zip-calls.txt")),
              "-9 -j " + run.log_dir + "/korvad-20260614.log.zip " + run.log_dir +
                  "/korvad-20260614.log\n-9 -j " + run.log_dir + "/ANAD-20260614.log.zip " +
                  run.log_dir + "/ANAD-20260614.log\n");
    struct stat info {};
    EXPECT_NE(stat(folder.file("logs/korvad-20260614.log.zip").c_str(), &info), 0);  // removed
}

TEST_F(ReportRunTest, WithoutNewsContactsOrAnadLogOnlyTheAttachmentPart) {
    EXPECT_EQ(report_run_main(run, "20260614"), 20);
    std::vector<std::string> sent = mails();
    ASSERT_EQ(sent.size(), 2u);
    const std::string tail =
        "\n--B\nContent-Type: application/zip; name=ANAD-20260614.log.zip\n"
        "Content-Transfer-Encoding: BASE64\n\n\n--B--\n.\n";
    EXPECT_EQ(sent[1].substr(sent[1].size() - tail.size()), tail);
    EXPECT_EQ(sent[1].find("text/plain"), std::string::npos);
    EXPECT_NE(sent[1].find("boundary=\"B\"\n\n\n--B\n"), std::string::npos);
}

TEST_F(ReportRunTest, ExitStatusesWhenProgramsCannotBeStarted) {
    ReportRun no_zip = run;
    no_zip.programs.zip = folder.file("bin/none");
    EXPECT_EQ(report_run_main(no_zip, "20260614"), 22);
    ReportRun no_encoder = run;
    no_encoder.programs.mimencode = folder.file("bin/none");
    EXPECT_EQ(report_run_main(no_encoder, "20260614"), 23);
    ReportRun no_sendmail = run;
    no_sendmail.programs.sendmail = folder.file("bin/none");
    EXPECT_EQ(report_run_main(no_sendmail, "20260614"), 20);  // that mail is skipped
    EXPECT_TRUE(mails().empty());
    // No korvad log of the day: no run at all.
    EXPECT_EQ(send_daily_reports(run, std::time(nullptr), {}), 0);
}

TEST_F(ReportRunTest, EncodingKeepsEveryLineInOrder) {
    std::string data;
    for (int i = 0; i < 3000; ++i) data += static_cast<char>(i * 7);
    write_file(folder.file("data.bin"), data);
    std::optional<std::string> text =
        encode_file_base64(run.programs.mimencode, folder.file("data.bin"));
    ASSERT_TRUE(text);
    EXPECT_EQ(text->size(), 4000u + 4000u / 76 + 1);  // 76 characters a line
    EXPECT_EQ(encode_file_base64(run.programs.mimencode, folder.file("missing")), std::string());
    EXPECT_EQ(encode_file_base64(folder.file("bin/none"), folder.file("data.bin")), std::nullopt);
}

}  // namespace
}  // namespace korvad
