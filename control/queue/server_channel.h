#pragma once
// The decoder's line to its server process: texts of type ToServer go out
// only while a server process runs. Nothing else reads that type, and texts
// nobody takes would fill the queue that the other processes share.

#include "control/queue/codes.h"
#include "control/queue/queue.h"

namespace korvad {

struct ServerChannel {
    int queue_id = -1;
    bool server_running = false;

    // Sends text (cut to 2999 characters) with code; 0, or -1 when it was
    // not sent (no server, full queue).
    int send(int code, const char* text) const {
        if (!server_running || queue_id < 0) return -1;
        return queue_send_text(queue_id, ToServer, code, text);
    }
};

}  // namespace korvad
