#include "broadcast/korvadm.h"

#include <cstring>
#include <optional>

#include "common/format.h"
#include "common/version.h"
#include "control/queue/codes.h"
#include "control/queue/control_file.h"
#include "control/queue/queue.h"

namespace korvad {

static_assert(kBroadcastMaxWhole <= kQueueMaxText);

int run_korvadm(int argc, char** argv, const char* control_path, std::FILE* out, std::FILE* err) {
    print_to(out, kBannerFormat, kProgramName, kVersion, kNotice, kSecondLine);

    if (argc < 2 || argv[1] == nullptr) {
        print_to(err, "SYNTAX:\nkorvadm 'message to all connected clients'\n");
        return 1;
    }

    std::optional<int> queue_id = read_control_file(control_path);
    if (!queue_id) {
        print_to(err, "error opening msgcontrolfile '%s' for reading\n", control_path);
        return 2;
    }

    const char* text = argv[1];
    std::size_t length = strnlen(text, kBroadcastMaxWhole + 1);
    if (length > kBroadcastMaxWhole) length = kBroadcastCutLength;
    QueueMessage msg;  // zeroed: the text's NUL and the spare bytes after it
    std::memcpy(msg.text, text, length);

    if (queue_send(*queue_id, ToServer, length, queue_code::kBroadcast, msg) != 0) {
        print_to(err, "message NOT send!\n");
    } else {
        print_to(err, "message send!\n");
    }
    return 0;
}

}  // namespace korvad
