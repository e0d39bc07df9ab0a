#include "control/server_start.h"

#include <fcntl.h>
#include <unistd.h>

#include "control/decoder.h"
#include "control/signals.h"
#include "server/database_server.h"
#include "server/server.h"

namespace korvad {
namespace {

ServerStart server_start_of(const Decoder& d) {
    ServerStart start;
    start.settings = d.settings;
    start.queue_id = d.state.queue_id;
    start.main_pid = d.state.main_pid;
    start.dbserver_pid = d.state.dbserver_pid;
    if (d.stores.databases) {
        const ReferenceDatabases& db = *d.stores.databases;
        start.database_counts[0] = db.flights.count();
        start.database_counts[1] = db.airlines.count();
        start.database_counts[2] = db.types.count();
        start.database_counts[3] = db.airports.count();
    }
    start.title = d.state.title;
    start.folder = d.stores.folder;
    start.shared_ring = d.state.ring.base;
    start.sound_fd = d.state.sound.fd;
    return start;
}

void fork_server(Decoder& d) {
    // A new wake-up pipe for each server process.
    if (d.channel.wake_fd >= 0) close(d.channel.wake_fd);
    d.channel.wake_fd = -1;
    int pipe_ends[2] = {-1, -1};
    const bool woken = pipe2(pipe_ends, O_NONBLOCK | O_CLOEXEC) == 0;
    ServerStart start = server_start_of(d);
    start.wake_fd = woken ? pipe_ends[0] : -1;
    pid_t pid = run_server(start);
    if (woken) {
        close(pipe_ends[0]);
        d.channel.wake_fd = pid > 0 ? pipe_ends[1] : -1;
        if (pid <= 0) close(pipe_ends[1]);
    }
    d.state.server_pid = pid > 0 ? pid : 0;
    d.channel.server_running = pid > 0;
    g_crash_cleanup.server_pid = d.state.server_pid;
}

}  // namespace

void start_server_processes(Decoder& d) {
    if (!d.settings.server) return;
    set_disposition(SIGCHLD, SIG_IGN);
    fork_server(d);
    if (!d.settings.clients_may_modify) return;
    DatabaseServerStart start;
    start.queue_id = d.state.queue_id;
    start.main_pid = d.state.main_pid;
    start.title = d.state.title;
    start.folder = d.stores.folder;
    start.shared_ring = d.state.ring.base;
    pid_t pid = run_database_server(start);
    d.state.dbserver_pid = pid > 0 ? pid : 0;
    g_crash_cleanup.dbserver_pid = d.state.dbserver_pid;
}

void restart_server(Decoder& d) {
    fork_server(d);
}

}  // namespace korvad
