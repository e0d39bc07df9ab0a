#pragma once
// Subscriptions to the daily report mails, requests 60 (subscribe), 61
// (unsubscribe), 62 (activate), 63 (disable) and 66 (log format). The
// subscriber list exists only with daily mailing (-M accepted); without it
// every request is answered 108 "No support for daily reports on this server".

#include <cstdint>
#include <string>

#include "server/server.h"

namespace korvad {

inline constexpr const char* kSubscribersFile = "korvad-reports.db";

[[nodiscard]] bool is_subscription_request(std::int32_t code);

// Server start: with daily mailing, the list from "korvad-reports.db".
void open_subscribers(ServerState& server);
// Saves the list when it changed since the last save.
void save_subscribers(ServerState& server);

// Queue code 155, a new day: with daily mailing and no run in progress, the
// list is saved and the report run of the previous day started.
void start_daily_reports(ServerState& server);
// Notices the end of a report run. True when one ended.
bool check_report_run(ServerState& server);

void handle_subscription(ServerState& server, int index, std::int32_t code, std::int32_t argument,
                         const std::string& email);

}  // namespace korvad
