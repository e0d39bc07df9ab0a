#include "server/subscriptions.h"

#include <sys/wait.h>

#include "store/reference.h"

namespace korvad {

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

void start_daily_reports(ServerState& server) {
    if (!server.subscribers || server.report_run > 0) return;
    server.subscribers_changed = true;  // the run reads the file: it must be current
    save_subscribers(server);
}

bool check_report_run(ServerState& server) {
    if (server.report_run <= 0) return false;
    // SIGCHLD is ignored, so the ended run is reaped by the system and
    // waitpid says it is gone.
    if (waitpid(server.report_run, nullptr, WNOHANG) == 0) return false;
    server.report_run = 0;
    return true;
}

void handle_subscription(ServerState& server, int index, std::int32_t, std::int32_t,
                         const std::string&) {
    if (!server.subscribers) {
        (void)send_text(server.table, index, 108, 0, "No support for daily reports on this server");
        return;
    }
    (void)send_text(server.table, index, 108, 0, "No support for daily reports on this server");
}

}  // namespace korvad
