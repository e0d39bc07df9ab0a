#pragma once
// Settings: the configuration record, filled once from the command line.
//
// A child process starts with a copy of the record as it stood when it was
// started. Start-up clears streaming when there is no sound source, shared
// memory or collector, and daemon without -s; after that only three fields
// change: checksum_only and extended (keyboard and signals) and port (server
// restarts).

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "signal/radio.h"

namespace korvad {

inline constexpr int kDefaultSampleRate = 19500;  // samples per second
// The rates -S may ask for: what both demodulators decode (samples per second).
inline constexpr int kMinSampleRate = 8000;
inline constexpr int kMaxSampleRate = 192000;
// Unsaved additions to the collection are saved after this long at the latest.
inline constexpr int kDefaultCollectionSaveSeconds = 300;
inline constexpr int kDefaultPort = 2202;
inline constexpr int kFallbackPort = 2203;
inline constexpr const char kDefaultDevice[] = "/dev/dsp";
inline constexpr const char kDefaultLogDir[] = ".";

struct Settings {
    int sample_rate = kDefaultSampleRate;         // -S
    std::optional<std::string> device;            // -d, none means "/dev/dsp"
    std::optional<std::string> log_dir;           // -l, none means "."
    bool extended = false;                        // -e; E key, SIGUSR1
    bool checksum_only = false;                   // -k; C key
    bool anad_log = false;                        // -A
    bool streaming = true;                        // -H clears it
    bool rescan = false;                          // -r
    long max_age_days = 0;                        // -O, 0 = no deletion
    bool server = false;                          // -s
    int port = kDefaultPort;                      // -p
    bool port_fixed = false;                      // -p other than 4000 and 40000
    std::optional<std::string> bind_address;      // -i
    bool daemon = false;                          // -c, only with -s
    bool translate_airports = true;               // -v clears it
    bool show_squitter = true;                    // -q clears it
    bool new_contacts = false;                    // -N
    std::optional<std::string> frequency;         // -F
    std::optional<std::string> reports_path;      // -R
    bool clients_may_modify = false;              // -a
    std::optional<std::string> delete_code;       // -D
    bool mail_enabled = false;                    // -M, when its check passes
    std::optional<std::string> mail_system_name;  // -M, when its check passes
    // The JSON feed for aggregators (long options only).
    std::vector<std::string> json_udp;      // --json-udp HOST:PORT, in the order given
    std::optional<std::string> station_id;  // --station-id
    RadioTuning radio;  // --freq, --gain, --ppm, --iq-rate, --iq-format, --iq-center
    // --mail-programs: the folder of sendmail, zip and mimencode instead of
    // /usr/sbin and /usr/bin (must come before -M, whose check uses it).
    std::optional<std::string> mail_programs_folder;
    // --save-interval: seconds after which additions to the collection that
    // are not yet in "korvad.db" are saved.
    int collection_save_seconds = kDefaultCollectionSaveSeconds;

    const char* device_path() const { return device ? device->c_str() : kDefaultDevice; }
    const char* log_path() const { return log_dir ? log_dir->c_str() : kDefaultLogDir; }
};

// The three programs that daily mailing needs.
struct MailPrograms {
    const char* sendmail = "/usr/sbin/sendmail";
    const char* zip = "/usr/bin/zip";
    const char* mimencode = "/usr/bin/mimencode";
};

// The paths of the three programs for these settings.
struct MailProgramPaths {
    std::string sendmail;
    std::string zip;
    std::string mimencode;
};
MailProgramPaths mail_program_paths(const Settings& settings);

// Where the command line writes and how the mail check pauses; tests give their own.
struct OptionIo {
    std::FILE* out = stdout;
    std::FILE* err = stderr;
    MailPrograms programs;
    void (*pause_seconds)(unsigned) = nullptr;  // nullptr: sleep()
};

enum class OptionsResult {
    kRun,
    kHelpShown,  // -h, -?, an unknown letter, --help: the caller ends with 0
    kRejected,   // a long option with a value it cannot take: the reason is on
                 // io.err, the caller ends with 1
};

// Options beyond the letters. They are long options only, so the -h text
// stays as it is; --help prints it followed by an "Additional options" block
// listing these.
struct LongOption {
    const char* name;      // without the dashes
    const char* argument;  // name of its value in the help, nullptr: takes none
    const char* help;      // one line
    // Stores the value. False, with the reason in error, when it cannot be
    // taken.
    bool (*apply)(Settings& settings, const char* value, std::string& error);
};

// The option string, letters in the order the parser knows them ("m" twice).
inline constexpr const char kOptionString[] = "S:F:D:M:R:O:m:d:p:i:m:l:?NWHexavkqArsch";

// Parses argv into settings, in command-line order. -h, -? and unknown letters
// print the help text to io.out and return kHelpShown (the caller ends with 0);
// --help adds the long options to it. A long option whose value is refused
// prints "korvad: " and the reason to io.err and returns kRejected.
OptionsResult parse_options(int argc, char** argv, Settings& settings, const OptionIo& io = {});

// The -h text.
void print_help(std::FILE* out);
// The --help text: the -h text, then "\nAdditional options:\n" and one line
// per long option.
void print_long_help(std::FILE* out);

// The -M check: prints to io.err, enables mailing when all three programs are
// regular files, then pauses 2 seconds.
void mail_check(const char* system_name, Settings& settings, const OptionIo& io);

}  // namespace korvad
