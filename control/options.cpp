// The command line of korvad: options into Settings, the help text and the
// check of the mail programs.

#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "common/format.h"
#include "control/settings.h"
#include "feed/json_feed.h"

namespace korvad {
namespace {

// Decimal, like strtol: text that is no number gives 0. Values beyond the
// range of int are held at its limits rather than wrapped.
long to_long(const char* text) {
    return std::strtol(text, nullptr, 10);
}

int to_int(const char* text) {
    long v = to_long(text);
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return static_cast<int>(v);
}

bool is_regular_file(const char* path) {
    struct stat st;
    return stat(path, &st) == 0 && S_ISREG(st.st_mode);
}

// --help is handled by the parser itself; its entry is here for the listing.
bool no_value(Settings&, const char*, std::string&) {
    return true;
}

// --json-udp HOST:PORT, once per destination. The name is resolved when
// the decoder starts.
bool add_json_destination(Settings& s, const char* value, std::string& error) {
    std::string host, port;
    if (!split_feed_address(value, host, port, error)) return false;
    s.json_udp.emplace_back(value);
    return true;
}

bool set_station_id(Settings& s, const char* value, std::string& error) {
    if (!valid_station_id(value, error)) return false;
    s.station_id = value;
    return true;
}

// A whole decimal number from lo to hi, else false.
bool to_decimal(const char* text, double lo, double hi, double& out) {
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(text, &end);
    if (end == text || *end != '\0' || errno != 0 || !std::isfinite(v) || v < lo || v > hi) {
        return false;
    }
    out = v;
    return true;
}

bool to_whole(const char* text, long lo, long hi, long& out) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || v < lo || v > hi) return false;
    out = v;
    return true;
}

constexpr double kMinMegahertz = 1.0;
constexpr double kMaxMegahertz = 3000.0;
constexpr double kMaxGainDb = 60.0;

bool megahertz(const char* value, std::int64_t& hz, std::string& error) {
    double mhz = 0.0;
    if (!to_decimal(value, kMinMegahertz, kMaxMegahertz, mhz)) {
        error = format_text("'%s' is not a frequency from %.0f to %.0f MHz", value, kMinMegahertz,
                            kMaxMegahertz);
        return false;
    }
    hz = std::llround(mhz * 1e6);
    return true;
}

bool apply_freq(Settings& s, const char* value, std::string& error) {
    if (!megahertz(value, s.radio.channel_hz, error)) return false;
    s.radio.channel_given = true;
    return true;
}

bool apply_gain(Settings& s, const char* value, std::string& error) {
    if (std::strcmp(value, "auto") == 0) {
        s.radio.gain_tenths_db.reset();
        return true;
    }
    double db = 0.0;
    if (!to_decimal(value, 0.0, kMaxGainDb, db)) {
        error = format_text("'%s' is neither auto nor a gain from 0 to %.0f dB", value, kMaxGainDb);
        return false;
    }
    s.radio.gain_tenths_db = static_cast<int>(std::lround(db * 10.0));
    return true;
}

bool apply_ppm(Settings& s, const char* value, std::string& error) {
    long ppm = 0;
    if (!to_whole(value, -kMaxPpm, kMaxPpm, ppm)) {
        error = format_text("'%s' is not a whole number of ppm from %d to %d", value, -kMaxPpm,
                            kMaxPpm);
        return false;
    }
    s.radio.ppm = static_cast<int>(ppm);
    return true;
}

bool apply_iq_rate(Settings& s, const char* value, std::string& error) {
    long rate = 0;
    if (!to_whole(value, kMinIqRate, kMaxIqRate, rate)) {
        error =
            format_text("'%s' is not a sample rate from %d to %d", value, kMinIqRate, kMaxIqRate);
        return false;
    }
    s.radio.iq_rate = static_cast<int>(rate);
    return true;
}

bool apply_iq_format(Settings& s, const char* value, std::string& error) {
    const std::optional<IqFormat> format = iq_format_named(value);
    if (!format) {
        error = format_text("'%s' is none of cu8, cs16 and cf32", value);
        return false;
    }
    s.radio.iq_format = *format;
    return true;
}

bool apply_iq_center(Settings& s, const char* value, std::string& error) {
    std::int64_t hz = 0;
    if (!megahertz(value, hz, error)) return false;
    s.radio.iq_center_hz = hz;
    return true;
}

bool set_mail_programs(Settings& settings, const char* value, std::string& error) {
    struct stat st;
    if (value == nullptr || stat(value, &st) != 0 || !S_ISDIR(st.st_mode)) {
        error = "not a folder";
        return false;
    }
    settings.mail_programs_folder = value;
    return true;
}

bool set_save_interval(Settings& settings, const char* value, std::string& error) {
    long seconds = 0;
    if (!to_whole(value, 1, 86400, seconds)) {
        error = format_text("'%s' is not a number of seconds from 1 to 86400", value);
        return false;
    }
    settings.collection_save_seconds = static_cast<int>(seconds);
    return true;
}

// The long options, in the order --help lists them. getopt_long reports
// entry i as kLongOptionBase + i.
constexpr LongOption kLongOptions[] = {
    {"help", nullptr, "this text, with the options below", no_value},
    {"json-udp", "HOST:PORT", "send every logged message as JSON over UDP (repeatable)",
     add_json_destination},
    {"station-id", "ID", "the station's name in the JSON feed", set_station_id},
    {"freq", "MHZ", "channel of an rtlsdr: or iq: source (default 131.550); also the -F text",
     apply_freq},
    {"gain", "DB", "gain of the RTL-SDR dongle, 0 to 60 dB or auto (default auto)", apply_gain},
    {"ppm", "N", "crystal error of the dongle, also of the one that made an IQ recording",
     apply_ppm},
    {"iq-rate", "HZ", "IQ samples per second of the dongle or a raw recording (default 2400000)",
     apply_iq_rate},
    {"iq-format", "FMT", "cu8, cs16 or cf32: the pairs of a raw IQ recording (default cu8)",
     apply_iq_format},
    {"iq-center", "MHZ", "centre of an IQ recording (default the channel - iq-rate / 4)",
     apply_iq_center},
    {"mail-programs", "FOLDER", "sendmail, zip and mimencode from FOLDER (give it before -M)",
     set_mail_programs},
    {"save-interval", "SEC",
     "save new aircraft to korvad.db after this long at the latest (default 300)",
     set_save_interval},
};
constexpr int kLongOptionBase = 1000;
constexpr int kLongOptionCount = sizeof kLongOptions / sizeof kLongOptions[0];
constexpr int kHelpOption = kLongOptionBase;  // entry 0

// getopt_long's table of kLongOptions, ended by a zero entry.
struct LongOptionTable {
    struct option entries[kLongOptionCount + 1] = {};
    LongOptionTable() {
        for (int i = 0; i < kLongOptionCount; ++i) {
            entries[i] = {kLongOptions[i].name,
                          kLongOptions[i].argument != nullptr ? required_argument : no_argument,
                          nullptr, kLongOptionBase + i};
        }
    }
};

}  // namespace

void print_help(std::FILE* out) {
    print_to(out, "%s", "VALID SYNTAX: korvad [options]\n\n  Basic options:\n");
    print_to(out, "-d device \t use device 'device' instead of %s\n", kDefaultDevice);
    print_to(out, "%s", "-l logdir \t save the logfiles in <logdir>\n");
    print_to(out, "%s", "-e        \t start in extended mode. Default OFF\n");
    print_to(out, "%s", "-k        \t show only data when the checksum is valid. Default OFF\n");
    print_to(out, "%s",
             "-A        \t create 2 logfiles per day.\n          \t one in our format and one in "
             "ANAD format\n");
    print_to(out, "%s", "-H        \t don't use streaming sound. Default USE streaming sound\n");
    print_to(out, "%s",
             "-r        \t check your ACARS database for updates (Flights, Types, Operator)\n");
    print_to(out, "%s",
             "-O days   \t delete entries from database if they are older than <days> days.\n"
             "          \t Default: Delete is disabled. Good idea: -O 90 or -O 120\n");
    print_to(out, "%s", "\n  Server options:\n");
    print_to(out, "%s", "-s        \t run korvad as server. Default OFF\n");
    print_to(out, "-p port   \t start server on port 'port'. Default %d\n", kDefaultPort);
    print_to(out, "%s", "-i ip     \t bind server only to ip 'ip'. Default all ip's\n");
    print_to(out, "%s", "-c        \t run as deamon. Valid only with -s option\n");
    print_to(out, "%s", "\n  Extended options:\n");
    print_to(out, "%s",
             "-v        \t don't translate IATA/ICAO airport codes into airport names\n");
    print_to(out, "%s",
             "-q        \t don't show squitter uplink messages (Label: SQ). Default SHOW\n");
    print_to(out, "%s",
             "-N        \t create a daily file with new contacts. (Tab separated)\n          \t "
             "Filename: NewRegs-YYYYMMDD.log\n");
    print_to(out, "%s", "-F freq   \t freq should be the frequency that your server is listen\n");
    print_to(out, "%s",
             "-R path   \t path where your reports are located. Default -= no Reports =-\n");
    print_to(
        out, "%s",
        "-a        \t allow clients to modificate your (Flights, Types, Operator) databases\n");
    print_to(out, "%s",
             "-M sysname\t allow daily mailings. sysname = Name of your System -= Please see "
             "manual =-\n");
}

void print_long_help(std::FILE* out) {
    print_help(out);
    print_to(out, "%s", "\nAdditional options:\n");
    for (const LongOption& o : kLongOptions) {
        std::string usage = format_text("--%s%s%s", o.name, o.argument != nullptr ? " " : "",
                                        o.argument != nullptr ? o.argument : "");
        print_to(out, "%-22s %s\n", usage.c_str(), o.help);
    }
}

MailProgramPaths mail_program_paths(const Settings& settings) {
    if (!settings.mail_programs_folder) {
        const MailPrograms standard;
        return {standard.sendmail, standard.zip, standard.mimencode};
    }
    const std::string& folder = *settings.mail_programs_folder;
    return {folder + "/sendmail", folder + "/zip", folder + "/mimencode"};
}

void mail_check(const char* system_name, Settings& settings, const OptionIo& io) {
    const MailProgramPaths chosen = mail_program_paths(settings);
    MailPrograms p = io.programs;
    if (settings.mail_programs_folder) {
        p.sendmail = chosen.sendmail.c_str();
        p.zip = chosen.zip.c_str();
        p.mimencode = chosen.mimencode.c_str();
    }
    print_to(io.err, "%s", "Checking mailingfunction...\n");
    bool sendmail = is_regular_file(p.sendmail);
    print_to(io.err, "'%s' \texists? [%s]\n", p.sendmail, sendmail ? "YES" : "NO");
    bool zip = is_regular_file(p.zip);
    print_to(io.err, "'%s' \t\texists? [%s]\n", p.zip, zip ? "YES" : "NO");
    bool mimencode = is_regular_file(p.mimencode);
    print_to(io.err, "'%s' \texists? [%s]\n", p.mimencode, mimencode ? "YES" : "NO");
    if (sendmail && zip && mimencode) {
        settings.mail_enabled = true;
        settings.mail_system_name = system_name;
        print_to(io.err, "%s", "Your system is ready for subscriptions!\n");
    } else {
        print_to(io.err, "Missing one of the following programs:\n- %s\n- %s\n- %s\n", p.sendmail,
                 p.zip, p.mimencode);
        print_to(io.err, "%s", "Mailingfunction disabled!\n");
    }
    std::fflush(io.err);
    if (io.pause_seconds != nullptr) {
        io.pause_seconds(2);
    } else {
        sleep(2);
    }
}

OptionsResult parse_options(int argc, char** argv, Settings& s, const OptionIo& io) {
    optind = 0;  // full re-initialisation of the parser, so a second parse works
    static const LongOptionTable table;
    int c;
    while ((c = getopt_long(argc, argv, kOptionString, table.entries, nullptr)) != -1) {
        if (c == kHelpOption) {
            print_long_help(io.out);
            return OptionsResult::kHelpShown;
        }
        if (c >= kLongOptionBase && c < kLongOptionBase + kLongOptionCount) {
            const LongOption& o = kLongOptions[c - kLongOptionBase];
            std::string error;
            if (!o.apply(s, optarg, error)) {
                print_to(io.err, "korvad: --%s: %s\n", o.name, error.c_str());
                return OptionsResult::kRejected;
            }
            continue;
        }
        switch (c) {
            case 'S': {
                // Beyond these rates the demodulators decode nothing, and the
                // resampler of a recording cannot be built.
                long rate = 0;
                if (!to_whole(optarg, kMinSampleRate, kMaxSampleRate, rate)) {
                    print_to(io.err,
                             "korvad: -S %s: not a sample rate from %d to %d samples per second\n",
                             optarg, kMinSampleRate, kMaxSampleRate);
                    return OptionsResult::kRejected;
                }
                s.sample_rate = static_cast<int>(rate);
                break;
            }
            case 'F':
                s.frequency = optarg;
                break;
            case 'D':
                s.delete_code = optarg;
                break;
            case 'M':
                mail_check(optarg, s, io);
                break;
            case 'R':
                s.reports_path = optarg;
                break;
            case 'O':
                s.max_age_days = to_long(optarg);
                break;
            case 'm':
                break;
            case 'd':
                s.device = optarg;
                break;
            case 'p':
                s.port = to_int(optarg);
                if (s.port != 4000 && s.port != 40000) s.port_fixed = true;
                break;
            case 'i':
                s.bind_address = optarg;
                break;
            case 'l':
                s.log_dir = optarg;
                break;
            case 'N':
                s.new_contacts = true;
                break;
            case 'W':
            case 'x':
                break;
            case 'H':
                s.streaming = false;
                break;
            case 'e':
                s.extended = true;
                break;
            case 'a':
                s.clients_may_modify = true;
                break;
            case 'v':
                s.translate_airports = false;
                break;
            case 'k':
                s.checksum_only = true;
                break;
            case 'q':
                s.show_squitter = false;
                break;
            case 'A':
                s.anad_log = true;
                break;
            case 'r':
                s.rescan = true;
                break;
            case 's':
                s.server = true;
                break;
            case 'c':
                s.daemon = true;
                break;
            case 'h':
            case '?':
            default:
                print_help(io.out);
                return OptionsResult::kHelpShown;
        }
    }
    // Clients hear the channel a radio receives, unless -F names another.
    if (!s.frequency && s.radio.channel_given) {
        s.frequency = format_text("%.3f", static_cast<double>(s.radio.channel_hz) / 1e6);
    }
    return OptionsResult::kRun;
}

}  // namespace korvad
