#pragma once
// Signals of the server process. SIGUSR1 (the main process's stop) and
// SIGINT only set flags: the cycle acts between two steps, and its waits are
// at most 10 ms. A crash (SIGSEGV, SIGILL) tells the main process, which
// starts a new server, and ends at once with async-signal-safe calls alone.
// SIGALRM, SIGHUP, SIGPIPE, SIGUSR2, SIGCHLD and SIGTERM are ignored.

#include <sys/types.h>

#include <csignal>

namespace korvad {

struct ServerSignals {
    volatile std::sig_atomic_t stop = 0;       // SIGUSR1: exit status 100
    volatile std::sig_atomic_t interrupt = 0;  // SIGINT: stop the station, status 5
    volatile std::sig_atomic_t main_pid = 0;   // told of a crash with SIGUSR2
    // Closed first by the crash handler, so the server that replaces this
    // one finds the port free.
    volatile std::sig_atomic_t listener = -1;
};

extern ServerSignals g_server_signals;

void install_server_signals(pid_t main_pid);

}  // namespace korvad
