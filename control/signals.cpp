#include "control/signals.h"

#include <sys/msg.h>
#include <sys/shm.h>
#include <termios.h>
#include <unistd.h>

namespace korvad {

PendingSignals g_signals;
CrashCleanup g_crash_cleanup;

namespace {

void on_interrupt(int) {
    g_signals.stop = 1;
}
void on_hangup(int) {
    g_signals.reload = 1;
}
void on_user1(int) {
    g_signals.extended_toggles = g_signals.extended_toggles + 1;
}
void on_user2(int) {
    g_signals.server_crashed = 1;
}
void on_resize(int) {
    g_signals.resized = 1;
}
void on_day_alarm(int) {
    g_signals.day_changed = 1;
}
void on_sound_alarm(int) {
    g_signals.sound_timeout = 1;
}

// SIGSEGV, SIGILL: nothing of the broken process can be trusted, so only
// async-signal-safe calls: stop the children, release queue and segment,
// give the terminal back, say so, end. The stores keep their last saved
// copies (every save is atomic).
void on_crash(int) {
    signal(SIGSEGV, SIG_IGN);
    signal(SIGCHLD, SIG_IGN);
    if (g_crash_cleanup.server_pid > 0) kill(g_crash_cleanup.server_pid, SIGUSR1);
    if (g_crash_cleanup.dbserver_pid > 0) kill(g_crash_cleanup.dbserver_pid, SIGINT);
    if (g_crash_cleanup.collector_pid > 0) kill(g_crash_cleanup.collector_pid, SIGINT);
    if (g_crash_cleanup.queue_id >= 0) msgctl(g_crash_cleanup.queue_id, IPC_RMID, nullptr);
    if (g_crash_cleanup.remove_shm && g_crash_cleanup.shm_id >= 0) {
        shmctl(g_crash_cleanup.shm_id, IPC_RMID, nullptr);
    }
    if (g_crash_cleanup.terminal_saved) {
        tcsetattr(STDIN_FILENO, TCSANOW, &g_crash_cleanup.terminal);
    }
    static const char kText[] = "ACARS decoder crashed\n";
    ssize_t ignored = write(STDERR_FILENO, kText, sizeof kText - 1);
    (void)ignored;
    _exit(100);
}

}  // namespace

void set_disposition(int signal_number, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: a wait for audio returns and sees the flag
    sigaction(signal_number, &action, nullptr);
}

void install_sound_timeout_handler() {
    set_disposition(SIGALRM, on_sound_alarm);
}

void install_main_handlers(bool with_screen) {
    set_disposition(SIGINT, on_interrupt);
    set_disposition(SIGHUP, on_hangup);
    set_disposition(SIGUSR1, on_user1);
    set_disposition(SIGUSR2, on_user2);
    set_disposition(SIGSEGV, on_crash);
    set_disposition(SIGILL, on_crash);
    set_disposition(SIGALRM, SIG_IGN);
    set_disposition(SIGPIPE, SIG_IGN);
    set_disposition(SIGCHLD, SIG_IGN);
    set_disposition(SIGTERM, SIG_IGN);
    if (with_screen) set_disposition(SIGWINCH, on_resize);
}

void install_stop_handler() {
    set_disposition(SIGINT, on_interrupt);
}

void install_day_change_handler() {
    set_disposition(SIGALRM, on_day_alarm);
}

void remember_terminal() {
    if (isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &g_crash_cleanup.terminal) == 0) {
        g_crash_cleanup.terminal_saved = 1;
    }
}

}  // namespace korvad
