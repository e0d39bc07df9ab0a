#include "server/database_server.h"

#include <sys/shm.h>
#include <unistd.h>

#include <csignal>
#include <initializer_list>
#include <memory>

#include "common/format.h"
#include "common/version.h"
#include "control/queue/codes.h"
#include "control/queue/queue.h"

namespace korvad {
namespace {

struct DatabaseSignals {
    volatile std::sig_atomic_t reload = 0;  // SIGHUP: at the next pass
};
DatabaseSignals g_database_signals;

void on_reload(int) {
    g_database_signals.reload = 1;
}
void on_interrupt(int) {
    _exit(101);
}
void on_stop(int) {
    _exit(100);
}
void on_crash(int) {
    _exit(6);
}

void set(int number, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    sigaction(number, &action, nullptr);
}

}  // namespace

// Unsaved changes are lost on these, as they would be on any stop.
void install_database_signals() {
    set(SIGHUP, on_reload);
    set(SIGINT, on_interrupt);
    set(SIGUSR1, on_stop);
    set(SIGSEGV, on_crash);
    set(SIGILL, on_crash);
    for (int ignored : {SIGPIPE, SIGALRM, SIGUSR2, SIGCHLD, SIGTERM, SIGWINCH}) {
        set(ignored, SIG_IGN);
    }
}

namespace {

void answer(DatabaseServer& server, QueueMessage& request, bool accepted) {
    const int code = accepted ? queue_code::kUpdateAccepted : queue_code::kUpdateRejected;
    // The answer travels in the request's buffer, so client_slot stays.
    std::size_t length = format_into(request.text, kQueueTextSize, "%d %d", code,
                                     static_cast<int>(request.client_slot));
    (void)queue_send(server.start.queue_id, ToServer, length, code, request);
}

void save_all(DatabaseServer& server) {
    const ReferenceDatabases& db = server.databases;
    const std::string& folder = server.start.folder;
    // Each file is replaced whole: the main process never reads half of one.
    (void)db.types.save_file(store_file_path(folder, kTypesFile));
    (void)db.airlines.save_file(store_file_path(folder, kAirlinesFile));
    (void)db.airports.save_file(store_file_path(folder, kAirportsFile));
    (void)db.flights.save_file(store_file_path(folder, kFlightsFile));
    (void)db.modes.save_file(store_file_path(folder, kModesFile));
    (void)db.ground.save_file(store_file_path(folder, kGroundFile));
}

[[noreturn]] void serve_databases(const DatabaseServerStart& start) {
    install_database_signals();
    auto owner = std::make_unique<DatabaseServer>();
    DatabaseServer& server = *owner;
    server.start = start;
    load_database_files(server);
    if (start.shared_ring != nullptr) shmdt(start.shared_ring);
    detach_terminal();
    for (;;) {
        process_title_set(server.start.title, "%s database server", kProgramName);
        if (getppid() != start.main_pid) _exit(100);  // the main process is gone
        (void)database_server_pass(server, std::time(nullptr));
        sleep(kPassSeconds);  // a signal cuts it short
    }
}

}  // namespace

bool check_route(std::string_view value) {
    const std::optional<RouteParts> parts = split_route(value);
    return parts && parts->codes_ok;
}

int update_reference_entry(std::string_view text, ReferenceList& database, bool route_check) {
    const std::size_t tab = text.find('\t');
    if (tab == std::string_view::npos) return 0;
    const std::string_view key = text.substr(0, tab);
    const std::string_view value = text.substr(tab + 1);
    if (key.empty() || value.empty()) return 0;
    if (route_check && !check_route(value)) return 0;
    auto entry = std::make_unique<ReferenceEntry>();
    entry->key = std::string(key);
    entry->value = std::string(value);
    const SearchResult at = database.search(*entry);
    if (at.found) database.remove_at(at.index);
    return database.add(entry) ? 1 : 0;
}

void load_database_files(DatabaseServer& server) {
    ReferenceDatabases& db = server.databases;
    const std::string& folder = server.start.folder;
    db.flights = make_reference_list(1000, 100);
    db.airlines = make_reference_list(1000, 100);
    db.types = make_reference_list(1000, 100);
    db.modes = make_reference_list(10, 10);
    db.ground = make_reference_list(10, 10);
    db.airports = make_reference_list(1000, 100);
    // A missing or damaged file leaves its database empty.
    for (auto [list, name] : {std::pair{&db.flights, kFlightsFile},
                              {&db.airlines, kAirlinesFile},
                              {&db.types, kTypesFile},
                              {&db.modes, kModesFile},
                              {&db.ground, kGroundFile},
                              {&db.airports, kAirportsFile}}) {
        if (list->load_file(store_file_path(folder, name)) != LoadResult::loaded) list->free_all();
    }
}

int database_server_pass(DatabaseServer& server, std::time_t now) {
    if (g_database_signals.reload) {
        g_database_signals.reload = 0;
        load_database_files(server);
    }
    int taken = 0;
    QueueMessage request;
    while (queue_receive_once(server.start.queue_id, ToDatabaseServer, request) >= 0) {
        ++taken;
        ReferenceDatabases& db = server.databases;
        int stored = -1;
        switch (request.code) {
            case queue_code::kUpdateFlight:
                stored = update_reference_entry(request.text, db.flights, true);
                break;
            case queue_code::kUpdateAirline:
                stored = update_reference_entry(request.text, db.airlines, false);
                break;
            case queue_code::kUpdateType:
                stored = update_reference_entry(request.text, db.types, false);
                break;
            default:
                break;  // no reply to codes it does not know
        }
        if (stored < 0) continue;
        server.changes += stored;
        answer(server, request, stored == 1);
    }
    if (server.changes > 0 && now > server.last_save + kSaveSeconds) {
        server.last_save = now;
        server.changes = 0;
        save_all(server);
        (void)queue_send_text(server.start.queue_id, ToDecoder, queue_code::kReloadDatabases, " ");
    }
    return taken;
}

pid_t run_database_server(const DatabaseServerStart& start) {
    pid_t pid = fork();
    if (pid != 0) return pid;
    serve_databases(start);
}

}  // namespace korvad
