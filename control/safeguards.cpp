#include "control/safeguards.h"

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/format.h"
#include "common/regular_file.h"
#include "control/decoder.h"
#include "control/queue/queue.h"
#include "signal/radio.h"

namespace korvad {

namespace {

// Messages taken out per type and call: enough to empty a queue that a
// sender filled between two calls (its default size is 16 KiB).
constexpr int kDrainPerCall = 64;

void drain(int queue_id, long type) {
    QueueMessage msg;
    for (int i = 0; i < kDrainPerCall && queue_receive_once(queue_id, type, msg) > 0; ++i) {
    }
}

void save_if_due(Decoder& d, std::time_t now) {
    if (!d.stores.collection || d.counters.collection_additions == 0) {
        d.unsaved_since = 0;
        return;
    }
    if (d.unsaved_since == 0) {
        d.unsaved_since = now;
        return;
    }
    if (now - d.unsaved_since < d.settings.collection_save_seconds) return;
    StoreNotes failures;
    if (save_collection_now(d.stores, &failures)) {
        d.counters.collection_additions = 0;
        d.unsaved_since = 0;
        return;
    }
    for (const std::string& failure : failures) {
        status_line(d.screen, ColourPair::kRedOnBlue, true, "Saving failed: %s", failure.c_str());
    }
    d.unsaved_since = now;  // the next try after another interval
}

bool hung_up(int fd, short events) {
    pollfd p{fd, events, 0};
    if (poll(&p, 1, 0) <= 0) return false;
    return (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

}  // namespace

std::string source_problem(const char* path) {
    if (path == nullptr || *path == '\0') return "no source named";
    if (std::strcmp(path, "-") == 0 || is_radio_name(path)) return "";
    struct stat info {};
    if (stat(path, &info) != 0) return std::strerror(errno);
    if (S_ISCHR(info.st_mode) || S_ISFIFO(info.st_mode) || S_ISREG(info.st_mode)) return "";
    return std::string("neither a sound device, a FIFO nor a recording (") +
           file_kind_text(info.st_mode) + ")";
}

void show_store_notes(Decoder& d, const StoreNotes& notes) {
    for (const std::string& text : notes) {
        status_line(d.screen, ColourPair::kRedOnBlue, true, "%s", text.c_str());
        print_to(stderr, "korvad: %s\n", text.c_str());
    }
}

bool terminal_gone(bool input_is_terminal, bool output_is_terminal) {
    if (input_is_terminal && hung_up(STDIN_FILENO, POLLIN)) return true;
    return output_is_terminal && hung_up(STDOUT_FILENO, POLLOUT);
}

void run_upkeep(Decoder& d, std::time_t now) {
    save_if_due(d, now);
    if (d.state.queue_id >= 0) {
        if (d.state.server_pid <= 0) drain(d.state.queue_id, ToServer);
        if (d.state.dbserver_pid <= 0) drain(d.state.queue_id, ToDatabaseServer);
    }
    if (!d.settings.daemon && d.screen.open && terminal_gone(d.terminal_input, d.terminal_output)) {
        orderly_shutdown(d);
    }
}

}  // namespace korvad
