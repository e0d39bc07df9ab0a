// screen_probe: opens korvad's screen and acts out scripted steps, for the
// terminal tests (screen_terminal_test.py), which run it in a pseudo-terminal
// and read the screen back. Not installed.
//
//   screen_probe --commands FD --acks FD [--daemon] [--queue] [--rate N]
//
// One command per line arrives on the commands descriptor; after each one the
// probe writes the invisible marker ESC ] 1 ; ack-N BEL to the terminal (so
// the reader knows all drawing before it has arrived) and one answer line to
// the acks descriptor. A SIGWINCH only sets a flag; the loop then rebuilds the
// screen, writes the counters line and answers "resized LINES COLUMNS".
//
// Commands (TEXT and FORMAT take \n, \t, \\ and \xHH escapes; ROW may be
// "last", the message window's last row):
//   print WINDOW CODE PAIR COLUMN ROW BOLD SCROLL TEXT   screen_print "%s", TEXT; a CODE
//                      other than 0 also sends TEXT with it, as message processing does
//   printf WINDOW PAIR COLUMN ROW BOLD SCROLL FORMAT     screen_print FORMAT, 7, 42
//   status TEXT        status_scroll, then TEXT at row 4 (pair 1)
//   help | scroll WINDOW | crc on|off | volume TEXT | clock EPOCH | spinner C
//   stats N PAIR       the daily statistics window with N made-up entries
//   stats-close | key | size | windows | close | quit
//   title-decoder | title-long N | getenv NAME | names | terminal-title
//   receive            one message of type ToServer from the probe's queue
//   detach             detach_terminal, answers the tty number left

#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "common/format.h"
#include "common/version.h"
#include "control/process_title.h"
#include "control/queue/codes.h"
#include "control/queue/queue.h"
#include "control/queue/server_channel.h"
#include "screen/screen.h"

namespace {

volatile sig_atomic_t resize_pending = 0;

void on_resize(int) {
    resize_pending = 1;
}

struct Probe {
    korvad::Screen screen;
    korvad::ProcessTitle title;
    int commands = -1;
    int acks = -1;
    int queue_id = -1;  // --queue: where texts with a code go
    int marker = 0;
    bool running = true;
};

std::string unescape(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        char c = text[++i];
        if (c == 'n') {
            out += '\n';
        } else if (c == 't') {
            out += '\t';
        } else if (c == 'r') {
            out += '\r';
        } else if (c == 'x' && i + 2 < text.size()) {
            out += static_cast<char>(std::strtol(text.substr(i + 1, 2).c_str(), nullptr, 16));
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

bool window_named(const std::string& name, korvad::Window& window) {
    using korvad::Window;
    if (name == "title")
        window = Window::kTitleBar;
    else if (name == "message")
        window = Window::kMessage;
    else if (name == "status")
        window = Window::kStatus;
    else if (name == "help")
        window = Window::kHelp;
    else if (name == "stats")
        window = Window::kStatistics;
    else
        return false;
    return true;
}

int row_named(const Probe& probe, const std::string& row) {
    return row == "last" ? korvad::message_last_row(probe.screen) : std::atoi(row.c_str());
}

// Rest of the line after n words.
std::string rest_after(const std::string& line, int words) {
    std::size_t at = 0;
    for (int i = 0; i < words; ++i) {
        at = line.find(' ', at);
        if (at == std::string::npos) return std::string();
        ++at;
    }
    return line.substr(at);
}

void answer(Probe& probe, const std::string& text) {
    if (isatty(STDOUT_FILENO)) {
        std::string marker = korvad::format_text("\033]1;ack-%d\007", ++probe.marker);
        if (write(STDOUT_FILENO, marker.data(), marker.size()) < 0) {
        }
    }
    std::string line = text + "\n";
    if (write(probe.acks, line.data(), line.size()) < 0) probe.running = false;
}

void counters_line(korvad::Screen& screen) {
    screen_print(screen, korvad::Window::kStatus, korvad::ColourPair::kWhiteOnBlue, 3, 0, true,
                 false, "-=[ Good: %ld, Upl: %ld, Err parity: %ld, block: %ld, crc: %ld ]=-", 0L,
                 0L, 0L, 0L, 0L);
}

void show_statistics(korvad::Screen& screen, int entries, int pair) {
    int n = std::min(entries, screen.lines - 14);
    if (n < 0) n = 0;
    korvad::statistics_window_open(screen, n + 2, 54, 5, screen.columns - 56,
                                   static_cast<korvad::ColourPair>(pair));
    korvad::statistics_window_write(screen, 0, 2, "-=[ Daily Types statistics ]=-");
    for (int row = 1; row <= n; ++row)
        korvad::clear_row(screen, korvad::Window::kStatistics, row, 1, 52);
    for (int j = 0; j < n; ++j) {
        std::string key = korvad::format_text("Type %02d", j);
        std::string line(46, '.');
        line.replace(0, key.size(), key);
        line += korvad::format_text("%04d", 100 - j);
        korvad::statistics_window_write(screen, j + 1, 2, line);
    }
    korvad::screen_refresh(screen, korvad::Window::kStatistics);
}

std::string tty_number() {
    std::ifstream stat("/proc/self/stat");
    std::string content((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::size_t close = content.rfind(')');
    if (close == std::string::npos) return "?";
    std::istringstream fields(content.substr(close + 2));
    std::string field;
    for (int i = 0; i < 5 && fields >> field; ++i) {
    }
    return field;  // the seventh field of stat: tty_nr
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
// The probe hands a scripted format to screen_print on purpose: the "%*" and
// "%]" rule is about formats.
void print_format(korvad::Screen& screen, korvad::Window window, int pair, int column, int row,
                  bool bold, bool scroll_first, const std::string& format) {
    korvad::screen_print(screen, window, static_cast<korvad::ColourPair>(pair), column, row, bold,
                         scroll_first, format.c_str(), 7, 42);
}
#pragma GCC diagnostic pop

void run_command(Probe& probe, const std::string& line) {
    using namespace korvad;
    std::istringstream words(line);
    std::string command;
    words >> command;
    Screen& screen = probe.screen;
    if (command == "print") {
        std::string name, row;
        int code = 0, pair = 0, column = 0, bold = 0, scroll = 0;
        words >> name >> code >> pair >> column >> row >> bold >> scroll;
        Window window;
        if (!window_named(name, window)) return answer(probe, "error window");
        std::string text = unescape(rest_after(line, 8));
        screen_print(screen, window, static_cast<ColourPair>(pair), column, row_named(probe, row),
                     bold != 0, scroll != 0, "%s", text.c_str());
        if (code != 0) (void)ServerChannel{probe.queue_id, true}.send(code, text.c_str());
    } else if (command == "printf") {
        std::string name, row;
        int pair = 0, column = 0, bold = 0, scroll = 0;
        words >> name >> pair >> column >> row >> bold >> scroll;
        Window window;
        if (!window_named(name, window)) return answer(probe, "error window");
        print_format(screen, window, pair, column, row_named(probe, row), bold != 0, scroll != 0,
                     unescape(rest_after(line, 7)));
    } else if (command == "status") {
        status_line(screen, ColourPair::kWhiteOnBlue, false, "%s",
                    unescape(rest_after(line, 1)).c_str());
    } else if (command == "help") {
        help_toggle(screen);
    } else if (command == "scroll") {
        std::string name;
        words >> name;
        Window window;
        if (window_named(name, window)) screen_scroll(screen, window);
    } else if (command == "crc") {
        std::string state;
        words >> state;
        show_crc_status(screen, state == "on");
    } else if (command == "volume") {
        show_volume_line(screen, unescape(rest_after(line, 1)));
    } else if (command == "clock") {
        long now = 0;
        words >> now;
        show_clock(screen, static_cast<std::time_t>(now));
    } else if (command == "spinner") {
        std::string c;
        words >> c;
        show_spinner(screen, c.empty() ? ' ' : c[0]);
    } else if (command == "stats") {
        int entries = 0, pair = 8;
        words >> entries >> pair;
        show_statistics(screen, entries, pair);
    } else if (command == "stats-close") {
        statistics_window_close(screen);
    } else if (command == "key") {
        return answer(probe, format_text("key %d", screen_read_key(screen)));
    } else if (command == "size") {
        return answer(probe, format_text("size %d %d", screen.lines, screen.columns));
    } else if (command == "windows") {
        return answer(
            probe, format_text("windows %d %d %d %d %d", screen.title_bar != nullptr,
                               screen.message_window != nullptr, screen.status_window != nullptr,
                               screen.help_window != nullptr, screen.statistics_window != nullptr));
    } else if (command == "close") {
        screen_close(screen);
    } else if (command == "quit") {
        probe.running = false;
    } else if (command == "title-decoder") {
        process_title_set(probe.title, "%s ACARS decoder", kProgramName);
    } else if (command == "title-long") {
        int length = 0;
        words >> length;
        std::string text(static_cast<std::size_t>(std::max(length, 0)), 'x');
        process_title_set(probe.title, "%s %s", kProgramName, text.c_str());
    } else if (command == "getenv") {
        std::string name;
        words >> name;
        const char* value = std::getenv(name.c_str());
        return answer(probe, format_text("env %s", value ? value : "(none)"));
    } else if (command == "names") {
        return answer(probe, format_text("names %s %s", program_invocation_short_name,
                                         program_invocation_name));
    } else if (command == "terminal-title") {
        print_terminal_title(screen, stdout);
    } else if (command == "receive") {
        QueueMessage message;
        if (queue_receive_once(probe.queue_id, ToServer, message) < 0) {
            return answer(probe, "queued none");
        }
        return answer(probe, format_text("queued %d %s", message.code, message.text));
    } else if (command == "detach") {
        detach_terminal();
        return answer(probe, "detached " + tty_number());
    } else {
        return answer(probe, "error command");
    }
    answer(probe, "ok " + command);
}

}  // namespace

int main(int argc, char** argv, char** envp) {
    Probe probe;
    process_title_init(probe.title, argc, argv, envp);
    bool make_queue = false;
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        if (option == "--commands" && i + 1 < argc)
            probe.commands = std::atoi(argv[++i]);
        else if (option == "--acks" && i + 1 < argc)
            probe.acks = std::atoi(argv[++i]);
        else if (option == "--rate" && i + 1 < argc)
            probe.screen.sample_rate = std::atoi(argv[++i]);
        else if (option == "--daemon")
            probe.screen.daemon = true;
        else if (option == "--queue")
            make_queue = true;
    }
    if (probe.commands < 0 || probe.acks < 0) {
        std::fprintf(stderr, "usage: screen_probe --commands FD --acks FD [--daemon] [--queue]\n");
        return 2;
    }
    if (make_queue) {
        probe.queue_id = korvad::queue_create();
        if (probe.queue_id < 0) {
            std::perror("queue_create");
            return 3;
        }
    }
    if (korvad::screen_open(probe.screen) != 1) return 200;

    struct sigaction action {};
    action.sa_handler = on_resize;
    sigemptyset(&action.sa_mask);
    sigaction(SIGWINCH, &action, nullptr);  // no SA_RESTART: poll wakes up

    answer(probe, "ready");
    std::string pending;
    while (probe.running) {
        if (resize_pending) {
            resize_pending = 0;
            korvad::screen_rebuild(probe.screen);
            counters_line(probe.screen);
            answer(probe,
                   korvad::format_text("resized %d %d", probe.screen.lines, probe.screen.columns));
        }
        pollfd wait{probe.commands, POLLIN, 0};
        int ready = poll(&wait, 1, 50);
        if (ready <= 0) continue;
        char chunk[4096];
        ssize_t got = read(probe.commands, chunk, sizeof chunk);
        if (got <= 0) break;
        pending.append(chunk, static_cast<std::size_t>(got));
        std::size_t newline;
        while (probe.running && (newline = pending.find('\n')) != std::string::npos) {
            std::string line = pending.substr(0, newline);
            pending.erase(0, newline + 1);
            run_command(probe, line);
        }
    }
    korvad::screen_close(probe.screen);
    if (probe.queue_id >= 0) korvad::queue_remove(probe.queue_id);
    return 0;
}
