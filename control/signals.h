#pragma once
// Signals of the main process. Handlers only record what arrived; the main
// loop acts on it at its next safe point (between buffers, and inside the
// waits for audio), so no handler ever runs against half-updated stores,
// files or windows. Only the crash handler acts at once, with
// async-signal-safe calls alone.

#include <sys/types.h>
#include <termios.h>

#include <csignal>

namespace korvad {

struct PendingSignals {
    volatile std::sig_atomic_t stop = 0;              // SIGINT: orderly shutdown
    volatile std::sig_atomic_t reload = 0;            // SIGHUP: reload the databases
    volatile std::sig_atomic_t extended_toggles = 0;  // SIGUSR1: one per signal
    volatile std::sig_atomic_t server_crashed = 0;    // SIGUSR2 from a crashing server
    volatile std::sig_atomic_t resized = 0;           // SIGWINCH
    volatile std::sig_atomic_t day_changed = 0;       // SIGALRM once start-up is done
    volatile std::sig_atomic_t sound_timeout = 0;     // SIGALRM around the device set-up
};

// What the crash handler must release, kept current by the main process.
struct CrashCleanup {
    volatile std::sig_atomic_t queue_id = -1;
    volatile std::sig_atomic_t shm_id = -1;
    volatile std::sig_atomic_t remove_shm = 0;
    volatile std::sig_atomic_t server_pid = 0;
    volatile std::sig_atomic_t dbserver_pid = 0;
    volatile std::sig_atomic_t collector_pid = 0;
    struct termios terminal {};  // the shell's settings, before curses
    volatile std::sig_atomic_t terminal_saved = 0;
};

// The process's signal records: the only free-standing globals of korvad.
extern PendingSignals g_signals;
extern CrashCleanup g_crash_cleanup;

// SIGALRM during the sound device set-up: sets sound_timeout. Installed
// without SA_RESTART, so a blocked open() returns.
void install_sound_timeout_handler();
// The dispositions of the running decoder: SIGINT, SIGHUP, SIGUSR1, SIGUSR2,
// SIGSEGV, SIGILL handled; SIGPIPE, SIGCHLD, SIGTERM ignored; SIGALRM ignored
// until install_day_change_handler. SIGWINCH only with a screen.
void install_main_handlers(bool with_screen);
// SIGINT as the running decoder takes it (sets stop), from the start on, so a
// stop during the start-up releases the queue too.
void install_stop_handler();
void install_day_change_handler();
// Remembers the terminal's settings so the crash handler can give the user a
// usable terminal back.
void remember_terminal();

void set_disposition(int signal_number, void (*handler)(int));

}  // namespace korvad
