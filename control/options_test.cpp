#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "common/test_folder.h"
#include "control/settings.h"

namespace korvad {
namespace {

// Runs parse_options over the words, capturing both output streams.
struct Parse {
    Settings settings;
    OptionsResult result{};
    std::string out, err;
    unsigned paused = 0;
};

unsigned g_paused;
void fake_pause(unsigned s) {
    g_paused += s;
}

std::string slurp(std::FILE* f) {
    std::rewind(f);
    std::string s;
    int c;
    while ((c = std::fgetc(f)) != EOF) s.push_back(static_cast<char>(c));
    std::fclose(f);
    return s;
}

Parse parse(std::vector<std::string> words, MailPrograms programs = {}) {
    std::vector<char*> argv;
    words.insert(words.begin(), "korvad");
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    Parse p;
    OptionIo io;
    io.out = std::tmpfile();
    io.err = std::tmpfile();
    io.programs = programs;
    io.pause_seconds = fake_pause;
    g_paused = 0;
    p.result = parse_options(static_cast<int>(argv.size() - 1), argv.data(), p.settings, io);
    p.out = slurp(io.out);
    p.err = slurp(io.err);
    p.paused = g_paused;
    return p;
}

// The help text as the operator reads it, spelled out by hand.
const char kHelp[] =
    "VALID SYNTAX: korvad [options]\n"
    "\n"
    "  Basic options:\n"
    "-d device \t use device 'device' instead of /dev/dsp\n"
    "-l logdir \t save the logfiles in <logdir>\n"
    "-e        \t start in extended mode. Default OFF\n"
    "-k        \t show only data when the checksum is valid. Default OFF\n"
    "-A        \t create 2 logfiles per day.\n"
    "          \t one in our format and one in ANAD format\n"
    "-H        \t don't use streaming sound. Default USE streaming sound\n"
    "-r        \t check your ACARS database for updates (Flights, Types, Operator)\n"
    "-O days   \t delete entries from database if they are older than <days> days.\n"
    "          \t Default: Delete is disabled. Good idea: -O 90 or -O 120\n"
    "\n"
    "  Server options:\n"
    "-s        \t run korvad as server. Default OFF\n"
    "-p port   \t start server on port 'port'. Default 2202\n"
    "-i ip     \t bind server only to ip 'ip'. Default all ip's\n"
    "-c        \t run as deamon. Valid only with -s option\n"
    "\n"
    "  Extended options:\n"
    "-v        \t don't translate IATA/ICAO airport codes into airport names\n"
    "-q        \t don't show squitter uplink messages (Label: SQ). Default SHOW\n"
    "-N        \t create a daily file with new contacts. (Tab separated)\n"
    "          \t Filename: NewRegs-YYYYMMDD.log\n"
    "-F freq   \t freq should be the frequency that your server is listen\n"
    "-R path   \t path where your reports are located. Default -= no Reports =-\n"
    "-a        \t allow clients to modificate your (Flights, Types, Operator) databases\n"
    "-M sysname\t allow daily mailings. sysname = Name of your System -= Please see manual =-\n";

TEST(CommandLine, DefaultsWithoutOptions) {
    Parse p = parse({});
    EXPECT_EQ(p.result, OptionsResult::kRun);
    const Settings& s = p.settings;
    EXPECT_EQ(s.sample_rate, 19500);
    EXPECT_STREQ(s.device_path(), "/dev/dsp");
    EXPECT_STREQ(s.log_path(), ".");
    EXPECT_TRUE(s.streaming);
    EXPECT_TRUE(s.translate_airports);
    EXPECT_TRUE(s.show_squitter);
    EXPECT_EQ(s.port, 2202);
    EXPECT_FALSE(s.port_fixed);
    EXPECT_FALSE(s.extended || s.checksum_only || s.anad_log || s.rescan || s.server || s.daemon ||
                 s.new_contacts || s.clients_may_modify || s.mail_enabled);
    EXPECT_EQ(s.max_age_days, 0);
    EXPECT_FALSE(s.delete_code || s.frequency || s.reports_path || s.bind_address ||
                 s.mail_system_name);
    EXPECT_EQ(p.out, "");
}

TEST(CommandLine, HelpIsByteExactForHAndQuestionMarkAndUnknownLetters) {
    for (const char* word : {"-h", "-?", "-z", "-d"}) {  // -d lacks its argument
        Parse p = parse({"-e", word});
        EXPECT_EQ(p.result, OptionsResult::kHelpShown) << word;
        EXPECT_EQ(p.out, kHelp) << word;
    }
}

TEST(CommandLine, LongHelpIsTheHelpFollowedByTheAdditionalOptions) {
    Parse p = parse({"-e", "--help"});
    EXPECT_EQ(p.result, OptionsResult::kHelpShown);
    ASSERT_EQ(p.out.compare(0, sizeof kHelp - 1, kHelp), 0);
    std::string more = p.out.substr(sizeof kHelp - 1);
    EXPECT_EQ(more.rfind("\nAdditional options:\n--help ", 0), 0u) << more;
    // Unknown long options are treated like unknown letters.
    Parse q = parse({"--no-such-option"});
    EXPECT_EQ(q.result, OptionsResult::kHelpShown);
    EXPECT_EQ(q.out, kHelp);
}

TEST(CommandLine, FeedOptionsRepeatAndRefuseWhatTheyCannotTake) {
    Parse p = parse({"--json-udp", "127.0.0.1:5550", "--station-id", "EDDF-1", "--json-udp",
                     "[::1]:5551", "-F", "131.550"});
    ASSERT_EQ(p.result, OptionsResult::kRun) << p.err;
    EXPECT_EQ(p.settings.json_udp, (std::vector<std::string>{"127.0.0.1:5550", "[::1]:5551"}));
    EXPECT_EQ(*p.settings.station_id, "EDDF-1");

    Parse q = parse({"--json-udp", "localhost"});
    EXPECT_EQ(q.result, OptionsResult::kRejected);
    EXPECT_EQ(q.err, "korvad: --json-udp: expected HOST:PORT\n");
    Parse r = parse({"--json-udp", "host:70000"});
    EXPECT_EQ(r.err, "korvad: --json-udp: the port must be a number from 1 to 65535\n");
    Parse t = parse({"--station-id", ""});
    EXPECT_EQ(t.result, OptionsResult::kRejected);
    EXPECT_EQ(t.err, "korvad: --station-id: a station id has 1 to 64 characters\n");
    // --help lists both: LongHelpListsEveryLongOption.
}

TEST(CommandLine, EveryLetterSetsItsField) {
    Parse p = parse({"-S", "22050",      "-F", "131.725", "-D", "secret",    "-R", "/srv/rep",
                     "-O", "90",         "-m", "x",       "-d", "/dev/dsp1", "-i", "10.0.0.1",
                     "-l", "/var/log/k", "-N", "-W",      "-H", "-e",        "-x", "-a",
                     "-v", "-k",         "-q", "-A",      "-r", "-s",        "-c"});
    const Settings& s = p.settings;
    ASSERT_EQ(p.result, OptionsResult::kRun);
    EXPECT_EQ(s.sample_rate, 22050);
    EXPECT_EQ(*s.frequency, "131.725");
    EXPECT_EQ(*s.delete_code, "secret");
    EXPECT_EQ(*s.reports_path, "/srv/rep");
    EXPECT_EQ(s.max_age_days, 90);
    EXPECT_STREQ(s.device_path(), "/dev/dsp1");
    EXPECT_EQ(*s.bind_address, "10.0.0.1");
    EXPECT_STREQ(s.log_path(), "/var/log/k");
    EXPECT_TRUE(s.new_contacts && !s.streaming && s.extended && s.clients_may_modify);
    EXPECT_TRUE(!s.translate_airports && s.checksum_only && !s.show_squitter && s.anad_log);
    EXPECT_TRUE(s.rescan && s.server && s.daemon);
}

TEST(CommandLine, PortFixedUnlessTheTwoFreePorts) {
    EXPECT_FALSE(parse({"-p", "4000"}).settings.port_fixed);
    EXPECT_FALSE(parse({"-p", "40000"}).settings.port_fixed);
    Parse p = parse({"-p", "2202"});
    EXPECT_TRUE(p.settings.port_fixed);
    EXPECT_EQ(p.settings.port, 2202);
    // Once fixed, a later free port does not clear it.
    Parse q = parse({"-p", "5000", "-p", "4000"});
    EXPECT_EQ(q.settings.port, 4000);
    EXPECT_TRUE(q.settings.port_fixed);
}

TEST(CommandLine, BadNumbersBecomeZeroAndLaterOptionsWin) {
    Parse p = parse({"-O", "abc", "-p", "abc"});
    EXPECT_EQ(p.settings.max_age_days, 0);
    EXPECT_EQ(p.settings.port, 0);
    EXPECT_TRUE(p.settings.port_fixed);
    EXPECT_EQ(parse({"-d", "a", "-d", "b"}).settings.device_path(), std::string("b"));
    EXPECT_EQ(parse({"-p", "99999999999999"}).settings.port, 2147483647);
}

// A rate the demodulators cannot decode is refused before anything is set up.
TEST(CommandLine, SampleRateOutsideWhatIsDecodedIsRefused) {
    for (const char* rate : {"0", "-5", "abc", "1e3", "7999", "192001", "1000000000", "22050x"}) {
        Parse p = parse({"-S", rate});
        EXPECT_EQ(p.result, OptionsResult::kRejected) << rate;
        EXPECT_EQ(p.err, std::string("korvad: -S ") + rate +
                             ": not a sample rate from 8000 to 192000 samples per second\n");
    }
    EXPECT_EQ(parse({"-S", "8000"}).settings.sample_rate, 8000);
    EXPECT_EQ(parse({"-S", "192000"}).settings.sample_rate, 192000);
    EXPECT_EQ(parse({"--save-interval", "0"}).result, OptionsResult::kRejected);
    EXPECT_EQ(parse({"--save-interval", "60"}).settings.collection_save_seconds, 60);
}

TEST(CommandLine, MailCheckWithAMissingProgramLeavesMailingOff) {
    MailPrograms programs{"/bin/sh", "/no/such/zip", "/bin/ls"};
    Parse p = parse({"-M", "station", "-h"}, programs);
    EXPECT_EQ(p.err,
              "Checking mailingfunction...\n"
              "'/bin/sh' \texists? [YES]\n"
              "'/no/such/zip' \t\texists? [NO]\n"
              "'/bin/ls' \texists? [YES]\n"
              "Missing one of the following programs:\n"
              "- /bin/sh\n- /no/such/zip\n- /bin/ls\n"
              "Mailingfunction disabled!\n");
    EXPECT_EQ(p.paused, 2u);
    EXPECT_FALSE(p.settings.mail_enabled);
    EXPECT_FALSE(p.settings.mail_system_name);
    EXPECT_EQ(p.out, kHelp);  // -h after -M: the check first, then the help
}

TEST(CommandLine, MailCheckWithAllProgramsEnablesMailing) {
    MailPrograms programs{"/bin/sh", "/bin/ls", "/bin/cat"};
    Parse p = parse({"-M", "station"}, programs);
    EXPECT_TRUE(p.settings.mail_enabled);
    EXPECT_EQ(*p.settings.mail_system_name, "station");
    EXPECT_NE(p.err.find("Your system is ready for subscriptions!\n"), std::string::npos);
    // A directory is not a program.
    Parse q = parse({"-M", "station"}, MailPrograms{"/bin", "/bin/ls", "/bin/cat"});
    EXPECT_FALSE(q.settings.mail_enabled);
}

TEST(CommandLine, RadioOptionsSetTheTuning) {
    Parse p = parse({"-d", "rtlsdr:1", "--freq", "131.725", "--gain", "33.8", "--ppm", "-20",
                     "--iq-rate", "1200000", "--iq-format", "cf32", "--iq-center", "131.5"});
    ASSERT_EQ(p.result, OptionsResult::kRun) << p.err;
    const RadioTuning& t = p.settings.radio;
    EXPECT_EQ(t.channel_hz, 131'725'000);
    EXPECT_TRUE(t.channel_given);
    EXPECT_EQ(t.gain_tenths_db, 338);
    EXPECT_EQ(t.ppm, -20);
    EXPECT_EQ(t.iq_rate, 1'200'000);
    EXPECT_EQ(t.iq_format, IqFormat::kCf32);
    EXPECT_EQ(t.iq_center_hz, 131'500'000);
    // Clients hear the channel, unless -F says otherwise, before or after.
    EXPECT_EQ(*p.settings.frequency, "131.725");
    EXPECT_EQ(*parse({"-F", "ACARS", "--freq", "131.55"}).settings.frequency, "ACARS");
    EXPECT_EQ(*parse({"--freq", "131.55", "-F", "ACARS"}).settings.frequency, "ACARS");
    // Without them: 131.550 MHz, automatic gain, cu8 at 2.4 MS/s, no text for clients.
    Parse q = parse({"--gain", "20", "--gain", "auto"});
    EXPECT_FALSE(q.settings.radio.gain_tenths_db);
    EXPECT_EQ(q.settings.radio.channel_hz, 131'550'000);
    EXPECT_FALSE(q.settings.radio.channel_given);
    EXPECT_EQ(q.settings.radio.iq_rate, 2'400'000);
    EXPECT_EQ(q.settings.radio.iq_format, IqFormat::kCu8);
    EXPECT_FALSE(q.settings.radio.iq_center_hz);
    EXPECT_FALSE(q.settings.frequency);
}

TEST(CommandLine, RadioValuesOutOfRangeAreRefusedWithTheirReason) {
    struct Case {
        std::vector<std::string> words;
        const char* err;
    };
    const Case cases[] = {
        {{"--freq", "0.5"}, "korvad: --freq: '0.5' is not a frequency from 1 to 3000 MHz\n"},
        {{"--freq", "131.5x"}, "korvad: --freq: '131.5x' is not a frequency from 1 to 3000 MHz\n"},
        {{"--iq-center", "nan"},
         "korvad: --iq-center: 'nan' is not a frequency from 1 to 3000 MHz\n"},
        {{"--gain", "61"}, "korvad: --gain: '61' is neither auto nor a gain from 0 to 60 dB\n"},
        {{"--ppm", "2.5"},
         "korvad: --ppm: '2.5' is not a whole number of ppm from -1000 to 1000\n"},
        {{"--ppm", "-1001"},
         "korvad: --ppm: '-1001' is not a whole number of ppm from -1000 to 1000\n"},
        {{"--iq-rate", "47999"},
         "korvad: --iq-rate: '47999' is not a sample rate from 48000 to 10000000\n"},
        {{"--iq-format", "cu16"}, "korvad: --iq-format: 'cu16' is none of cu8, cs16 and cf32\n"},
    };
    for (const Case& c : cases) {
        Parse p = parse(c.words);
        EXPECT_EQ(p.result, OptionsResult::kRejected) << c.err;
        EXPECT_EQ(p.err, c.err);
        EXPECT_EQ(p.out, "");
    }
}

TEST(CommandLine, LongHelpListsEveryLongOption) {
    const std::string more = parse({"--help"}).out.substr(sizeof kHelp - 1);
    EXPECT_EQ(more,
              "\nAdditional options:\n"
              "--help                 this text, with the options below\n"
              "--json-udp HOST:PORT   send every logged message as JSON over UDP (repeatable)\n"
              "--station-id ID        the station's name in the JSON feed\n"
              "--freq MHZ             channel of an rtlsdr: or iq: source (default 131.550); "
              "also the -F text\n"
              "--gain DB              gain of the RTL-SDR dongle, 0 to 60 dB or auto (default "
              "auto)\n"
              "--ppm N                crystal error of the dongle, also of the one that made an "
              "IQ recording\n"
              "--iq-rate HZ           IQ samples per second of the dongle or a raw recording "
              "(default 2400000)\n"
              "--iq-format FMT        cu8, cs16 or cf32: the pairs of a raw IQ recording "
              "(default cu8)\n"
              "--iq-center MHZ        centre of an IQ recording (default the channel - iq-rate "
              "/ 4)\n"
              "--mail-programs FOLDER sendmail, zip and mimencode from FOLDER (give it before -M)\n"
              "--save-interval SEC    save new aircraft to korvad.db after this long at the "
              "latest (default 300)\n");
}

TEST(CommandLine, MailProgramsFromAFolderForTheCheckAndTheRuns) {
    TestFolder folder("korvad-options-test");
    for (const char* name : {"sendmail", "zip"}) std::ofstream(folder.file(name)) << "#!/bin/sh\n";
    const std::string option = "--mail-programs=" + folder.path();
    Parse p = parse({option, "-M", "station"});
    EXPECT_EQ(p.err, "Checking mailingfunction...\n'" + folder.file("sendmail") +
                         "' \texists? [YES]\n'" + folder.file("zip") + "' \t\texists? [YES]\n'" +
                         folder.file("mimencode") +
                         "' \texists? [NO]\nMissing one of the following programs:\n- " +
                         folder.file("sendmail") + "\n- " + folder.file("zip") + "\n- " +
                         folder.file("mimencode") + "\nMailingfunction disabled!\n");
    EXPECT_FALSE(p.settings.mail_enabled);
    std::ofstream(folder.file("mimencode")) << "#!/bin/sh\n";
    Parse q = parse({option, "-M", "station"});
    EXPECT_TRUE(q.settings.mail_enabled);
    const MailProgramPaths paths = mail_program_paths(q.settings);
    EXPECT_EQ(paths.zip, folder.file("zip"));
    const MailProgramPaths standard = mail_program_paths(Settings{});
    EXPECT_EQ(standard.sendmail, "/usr/sbin/sendmail");
    EXPECT_EQ(standard.mimencode, "/usr/bin/mimencode");
    Parse refused = parse({"--mail-programs=/no/such/folder"});
    EXPECT_EQ(refused.result, OptionsResult::kRejected);
}

}  // namespace
}  // namespace korvad
