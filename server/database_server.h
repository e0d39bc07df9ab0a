#pragma once
// The database server process (with -s -a): applies the clients' additions
// and corrections of the flights, airlines and types databases, answers each
// through the server process (35 accepted, 36 rejected, "%d %d" with the code
// and the client's slot), writes the six reference files now and then and
// tells the main process to reload them (code 156).
//
// Requests arrive on the queue as type ToDatabaseServer, code 30 (flights,
// with the route check), 31 (airlines) or 32 (types), the text "key\tvalue".
// Each pass takes every request waiting; passes are kPassSeconds apart. The
// first accepted change is saved at once, later ones at most once per
// kSaveSeconds.

#include <sys/types.h>

#include <ctime>
#include <string>
#include <string_view>

#include "control/process_title.h"
#include "store/reference.h"

namespace korvad {

inline constexpr std::time_t kSaveSeconds = 600;
inline constexpr unsigned kPassSeconds = 1;

struct DatabaseServerStart {
    int queue_id = -1;
    pid_t main_pid = 0;
    ProcessTitle title;
    std::string folder;           // of the six files: "" = working directory
    void* shared_ring = nullptr;  // inherited, detached at the start
};

struct DatabaseServer {
    DatabaseServerStart start;
    ReferenceDatabases databases;
    int changes = 0;            // accepted since the last save
    std::time_t last_save = 0;  // 0: the first change is saved at once
};

// Forks; the caller gets the child's id (-1 when the fork failed). The child
// never returns: exit status 101 on SIGINT, 100 on SIGUSR1, 6 on a crash.
pid_t run_database_server(const DatabaseServerStart& start);

// SIGHUP reloads at the next pass; SIGINT ends with 101, SIGUSR1 with 100,
// SIGSEGV and SIGILL with 6; SIGPIPE, SIGALRM, SIGUSR2, SIGCHLD and SIGTERM
// are ignored.
void install_database_signals();

// A route: airport codes of 3 or 4 characters joined by "-", two or three
// of them ("FRA-JFK", "EDDF-KJFK", "FRA-LHR-JFK").
[[nodiscard]] bool check_route(std::string_view value);

// Stores "key\tvalue" in the database, replacing an entry of the same key.
// 0 (rejected): no tab, an empty key or value, or with route_check a value
// that is no route. 1: stored.
[[nodiscard]] int update_reference_entry(std::string_view text, ReferenceList& database,
                                         bool route_check);

// Empties the six and loads them again, in the order flights, airlines,
// types, modes, ground stations, airports.
void load_database_files(DatabaseServer& server);

// One pass at time `now`: every waiting request applied and answered, then
// the save with code 156 when one is due. Returns the requests taken.
int database_server_pass(DatabaseServer& server, std::time_t now);

}  // namespace korvad
