#pragma once
// The daily log files and the day change.
//
//   message log   "%s/korvad-%s.log"   log directory, date   append ("at")
//   ANAD log      "%s/ANAD-%s.log"     (-A)                  append ("at")
//   NewRegs file  "%s/NewRegs-%s.log"  (-N) date of the day that ended,
//                 written whole once at the day change, only when the
//                 new-contact register holds entries; one line per entry:
//                 "%s\t%s\t%s\t%s\t%s\t%s\n" contact time, registration,
//                 flight_id, aircraft_type or "-", airline or "-", route or "-"
// Dates are the local date as "%Y%02m%02d" (e.g. "20261208").
//
// The day change runs a few seconds after local midnight: the SIGALRM handler
// only sets a flag (control/signals.h) and the main loop calls day_change at
// its next safe point, so it never runs against half-written logs or stores.
// The alarm is armed for 00:00:06 of the next local date, computed from the
// broken-down date (not "now + 86400"), so it is right on the 23- and 25-hour
// days when the clocks change.
//
// A log that cannot be opened (missing directory, no permission) is not
// written; one notice "unable to open logfile '%s'" goes to the status window
// each time the opening fails, i.e. at start-up and at each day change.

#include <cstdio>
#include <ctime>
#include <functional>
#include <string>

#include "store/record_list_contact.h"

namespace korvad {

struct Screen;
struct ServerChannel;
struct Settings;
struct Stores;

struct LogFiles {
    std::string directory = ".";  // -l, "." when none was given
    bool anad = false;            // -A: the ANAD log is kept too

    std::FILE* message_file = nullptr;  // null when closed or not opened
    std::FILE* anad_file = nullptr;
    std::string message_path;  // of the current day, also when opening failed
    std::string anad_path;
    std::string date;  // "%Y%02m%02d" of the day the logs belong to; "" before the first open

    LogFiles() = default;
    LogFiles(const LogFiles&) = delete;
    LogFiles& operator=(const LogFiles&) = delete;
    ~LogFiles();
};

// The directory and -A from the settings.
void configure_logs(LogFiles& logs, const Settings& settings);

// "%Y%02m%02d" of t in local time.
[[nodiscard]] std::string log_date(std::time_t t);

// Opens the logs of the local date of now (closing any that are open).
// Returns false when a log could not be opened; each such log gets a notice
// on the status window (pair 12, bold).
bool open_logs(LogFiles& logs, std::time_t now, Screen& screen);
// Closes the open logs; a second call does nothing.
void close_logs(LogFiles& logs);

// The message log for writing an entry piece by piece, or null when it is
// not open; the writer ends with flush_message_log.
[[nodiscard]] std::FILE* message_log(LogFiles& logs);
void flush_message_log(LogFiles& logs);
// Appends a whole entry to the message log and flushes it (nothing when closed).
void write_message_log(LogFiles& logs, const std::string& entry);
// Appends an ANAD entry (written with "%s") and flushes it (nothing when closed).
void write_anad_log(LogFiles& logs, const std::string& entry);

// "%s/NewRegs-%s.log" of the log directory and the date.
[[nodiscard]] std::string new_contacts_path(const std::string& directory, const std::string& date);
// Writes the register, one line per entry in its order, replacing a file of
// that name. Nothing is written for an empty register. True when written.
bool write_new_contacts_file(const std::string& path, const ContactList& new_contacts);

// The next local 00:00:06 after the date of now, and the whole seconds until
// then (always at least 1).
[[nodiscard]] std::time_t next_day_change(std::time_t now);
[[nodiscard]] unsigned seconds_until_day_change(std::time_t now);

// How the next day change is armed; alarm(2) in the decoder, a recorder in tests.
using ArmAlarm = std::function<void(unsigned seconds)>;
// alarm(seconds_until_day_change(now)).
void arm_day_change(std::time_t now, const ArmAlarm& arm = {});

// The day change at time now (the main loop calls it after the alarm flag):
// closes the logs and opens those of the new date; empties the type and
// airline statistics (their files keep the old figures until exit); with -N
// writes the NewRegs file of the day that ended when the register holds
// entries, then empties the register either way; sends "-" with code 155
// when a server process runs; with -O cleans the collection at now; and arms
// the next day change, which replaces any alarm still pending.
// The day that ended is the date of the logs being closed (or, before any
// open, that of now - 3600 s). An alarm that arrives while the open logs'
// date is still the date of now (a clock set back) only re-arms.
// Returns the seconds armed.
unsigned day_change(LogFiles& logs, Stores& stores, const Settings& settings, Screen& screen,
                    const ServerChannel& channel, std::time_t now, const ArmAlarm& arm = {});

}  // namespace korvad
