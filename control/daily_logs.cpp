#include "control/daily_logs.h"

#include "common/local_time.h"

#include <unistd.h>

#include <algorithm>

#include "common/atomic_file.h"
#include "common/format.h"
#include "control/notices.h"
#include "control/queue/codes.h"
#include "control/queue/server_channel.h"
#include "control/settings.h"
#include "screen/screen.h"
#include "store/collection.h"
#include "store/stores.h"

namespace korvad {

namespace {

constexpr std::time_t kHourSeconds = 3600;
constexpr int kDayChangeSecond = 6;  // the day changes at 00:00:06 local time
constexpr int kDaysToTry = 3;        // the next date's 00:00:06 is always within these

std::FILE* open_log(const std::string& path, Screen& screen) {
    std::FILE* file = std::fopen(path.c_str(), "a");
    if (file == nullptr) {
        status_line(screen, ColourPair::kRedOnBlue, true, "unable to open logfile '%s'",
                    path.c_str());
    }
    return file;
}

void close_file(std::FILE*& file) {
    if (file == nullptr) return;
    std::fclose(file);
    file = nullptr;
}

void write_whole(std::FILE* file, const std::string& text) {
    if (file == nullptr) return;
    std::fwrite(text.data(), 1, text.size(), file);
    std::fflush(file);
}

const char* or_dash(const std::optional<std::string>& text) {
    return text ? text->c_str() : "-";
}

void arm_with(const ArmAlarm& arm, unsigned seconds) {
    if (arm) {
        arm(seconds);
    } else {
        alarm(seconds);
    }
}

}  // namespace

LogFiles::~LogFiles() {
    close_logs(*this);
}

void configure_logs(LogFiles& logs, const Settings& settings) {
    logs.directory = settings.log_path();
    logs.anad = settings.anad_log;
}

std::string log_date(std::time_t t) {
    return local_time_text(t, "%Y%02m%02d");
}

bool open_logs(LogFiles& logs, std::time_t now, Screen& screen) {
    close_logs(logs);
    logs.date = log_date(now);
    logs.message_path = format_text("%s/korvad-%s.log", logs.directory.c_str(), logs.date.c_str());
    logs.message_file = open_log(logs.message_path, screen);
    bool all_open = logs.message_file != nullptr;
    if (logs.anad) {
        logs.anad_path = format_text("%s/ANAD-%s.log", logs.directory.c_str(), logs.date.c_str());
        logs.anad_file = open_log(logs.anad_path, screen);
        all_open = all_open && logs.anad_file != nullptr;
    } else {
        logs.anad_path.clear();
    }
    return all_open;
}

void close_logs(LogFiles& logs) {
    close_file(logs.message_file);
    close_file(logs.anad_file);
}

std::FILE* message_log(LogFiles& logs) {
    return logs.message_file;
}

void flush_message_log(LogFiles& logs) {
    if (logs.message_file != nullptr) std::fflush(logs.message_file);
}

void write_message_log(LogFiles& logs, const std::string& entry) {
    write_whole(logs.message_file, entry);
}

void write_anad_log(LogFiles& logs, const std::string& entry) {
    write_whole(logs.anad_file, entry);
}

std::string new_contacts_path(const std::string& directory, const std::string& date) {
    return format_text("%s/NewRegs-%s.log", directory.c_str(), date.c_str());
}

bool write_new_contacts_file(const std::string& path, const ContactList& new_contacts) {
    if (new_contacts.count() == 0) return false;
    return save_atomically(path, [&new_contacts](std::FILE* out) {
        for (const auto& entry : new_contacts.entries()) {
            if (entry == nullptr) continue;
            const std::string registration(field_text(entry->registration));
            const std::string flight(field_text(entry->flight_id));
            const std::string line =
                format_text("%s\t%s\t%s\t%s\t%s\t%s\n", contact_time_text(entry->time).c_str(),
                            registration.c_str(), flight.c_str(), or_dash(entry->aircraft_type),
                            or_dash(entry->airline), or_dash(entry->route));
            if (std::fwrite(line.data(), 1, line.size(), out) != line.size()) return false;
        }
        return true;
    });
}

std::time_t next_day_change(std::time_t now) {
    std::tm today{};
    if (localtime_r(&now, &today) != nullptr) {
        // 00:00:06 of the following date, from the broken-down date: right on
        // the 23- and 25-hour days, where "now + 24 h" is not.
        for (int ahead = 1; ahead <= kDaysToTry; ++ahead) {
            std::tm next{};
            next.tm_year = today.tm_year;
            next.tm_mon = today.tm_mon;
            next.tm_mday = today.tm_mday + ahead;
            next.tm_hour = 0;
            next.tm_min = 0;
            next.tm_sec = kDayChangeSecond;
            next.tm_isdst = -1;  // whichever offset is in force then
            std::time_t t = std::mktime(&next);
            if (t != static_cast<std::time_t>(-1) && t > now) return t;
        }
    }
    return now + 24 * kHourSeconds;
}

unsigned seconds_until_day_change(std::time_t now) {
    const std::time_t delay = next_day_change(now) - now;
    return static_cast<unsigned>(std::max<std::time_t>(delay, 1));
}

void arm_day_change(std::time_t now, const ArmAlarm& arm) {
    arm_with(arm, seconds_until_day_change(now));
}

unsigned day_change(LogFiles& logs, Stores& stores, const Settings& settings, Screen& screen,
                    const ServerChannel& channel, std::time_t now, const ArmAlarm& arm) {
    // The alarm that brought us here has fired; arming the next one at the end
    // replaces any other that may be pending.
    const unsigned next = seconds_until_day_change(now);
    const std::string today = log_date(now);
    if (!logs.date.empty() && logs.date == today) {
        // Too early (the clock was set back since the alarm was armed): the
        // day has not changed yet.
        arm_with(arm, next);
        return next;
    }
    const std::string ended = logs.date.empty() ? log_date(now - kHourSeconds) : logs.date;

    close_logs(logs);
    (void)open_logs(logs, now, screen);  // a log that cannot be opened has shown its notice

    if (stores.statistics) empty_statistics(*stores.statistics);

    if (settings.new_contacts && stores.new_contacts) {
        if (stores.new_contacts->count() > 0) {
            (void)write_new_contacts_file(new_contacts_path(logs.directory, ended),
                                          *stores.new_contacts);
        }
        empty_list(*stores.new_contacts);  // written or not, the register starts the new day empty
    }

    channel.send(queue_code::kNewDay, "-");

    if (settings.max_age_days != 0 && stores.collection) {
        (void)clean_and_show(screen, *stores.collection, now, settings.max_age_days,
                             settings.daemon);
    }

    arm_with(arm, next);
    return next;
}

}  // namespace korvad
