#include "broadcast/korvadm.h"

#include <sys/msg.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>

#include "common/format.h"
#include "common/version.h"
#include "control/queue/codes.h"
#include "control/queue/control_file.h"
#include "control/queue/queue.h"

namespace korvad {

static_assert(kBroadcastMaxWhole <= kQueueMaxText);

namespace {

std::string control_file_problem(const ControlFile& control) {
    switch (control.problem) {
        case ControlFileProblem::none:
            return "";
        case ControlFileProblem::missing:
            return "it does not exist (no korvad has started)";
        case ControlFileProblem::not_regular:
            return "it is not a regular file";
        case ControlFileProblem::wrong_size:
            return format_text("it has %lld bytes instead of %u", control.size, kControlFileSize);
        case ControlFileProblem::unreadable:
            return "it cannot be read (" + control.reason + ")";
    }
    return "";
}

// Why the queue the file names is not korvad's, or "" when it is.
std::string queue_refusal(const ControlFile& control) {
    msqid_ds info{};
    if (msgctl(control.queue_id, IPC_STAT, &info) != 0) {
        if (errno == EACCES || errno == EPERM) {
            return "the queue of korvad is open to korvad's user only: run korvadm as that user "
                   "or as root";
        }
        return "no korvad runs with the queue the control file names";
    }
    if (info.msg_perm.cuid != control.owner) {
        return "the queue the control file names was not made by its owner: no korvad of that "
               "user runs";
    }
    return "";
}

}  // namespace

int run_korvadm(int argc, char** argv, const char* control_path, std::FILE* out, std::FILE* err) {
    print_to(out, kBannerFormat, kProgramName, kVersion, kNotice, kSecondLine);

    if (argc < 2 || argv[1] == nullptr) {
        print_to(err, "SYNTAX:\nkorvadm 'message to all connected clients'\n");
        return 1;
    }

    const ControlFile control = inspect_control_file(control_path);
    if (control.problem != ControlFileProblem::none) {
        print_to(err, "error opening msgcontrolfile '%s' for reading: %s\n", control_path,
                 control_file_problem(control).c_str());
        return 2;
    }

    const char* text = argv[1];
    std::size_t length = strnlen(text, kBroadcastMaxWhole + 1);
    if (length > kBroadcastMaxWhole) length = kBroadcastCutLength;
    QueueMessage msg;  // zeroed: the text's NUL and the spare bytes after it
    std::memcpy(msg.text, text, length);

    // Only to the queue of the korvad that wrote the control file: an old
    // file may name a queue that someone else has made since.
    const std::string refusal = queue_refusal(control);
    if (!refusal.empty()) {
        print_to(err, "korvadm: %s\n", refusal.c_str());
        print_to(err, "message NOT send!\n");
        return 3;
    }
    if (queue_send(control.queue_id, ToServer, length, queue_code::kBroadcast, msg) != 0) {
        print_to(err, "korvadm: %s\n", std::strerror(errno));
        print_to(err, "message NOT send!\n");
        return 3;
    }
    print_to(err, "message send!\n");
    return 0;
}

}  // namespace korvad
