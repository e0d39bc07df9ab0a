#include "server/server_signals.h"

#include <unistd.h>

#include <initializer_list>

namespace korvad {

ServerSignals g_server_signals;

namespace {

void on_stop(int) {
    g_server_signals.stop = 1;
}
void on_interrupt(int) {
    g_server_signals.interrupt = 1;
}

void on_crash(int) {
    signal(SIGSEGV, SIG_IGN);
    signal(SIGILL, SIG_IGN);
    if (g_server_signals.listener >= 0) close(g_server_signals.listener);
    if (g_server_signals.main_pid > 0) kill(g_server_signals.main_pid, SIGUSR2);
    _exit(5);
}

void set(int number, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: a wait returns and the flag is seen
    sigaction(number, &action, nullptr);
}

}  // namespace

void install_server_signals(pid_t main_pid) {
    g_server_signals.main_pid = main_pid;
    set(SIGUSR1, on_stop);
    set(SIGINT, on_interrupt);
    set(SIGSEGV, on_crash);
    set(SIGILL, on_crash);
    for (int ignored : {SIGALRM, SIGHUP, SIGPIPE, SIGUSR2, SIGCHLD, SIGTERM, SIGWINCH}) {
        set(ignored, SIG_IGN);
    }
}

}  // namespace korvad
