#pragma once
// The decoder's line to its server process: texts of type ToServer go out
// only while a server process runs. Nothing else reads that type, and texts
// nobody takes would fill the queue that the other processes share.

#include <unistd.h>

#include "control/queue/codes.h"
#include "control/queue/queue.h"

namespace korvad {

struct ServerChannel {
    int queue_id = -1;
    bool server_running = false;
    // Write end of a pipe the server process waits on beside its sockets:
    // one byte after each text wakes it at once instead of at its next look
    // at the queue. -1: none.
    int wake_fd = -1;

    // Sends text (cut to 2999 characters) with code; 0, or -1 when it was
    // not sent (no server, full queue).
    int send(int code, const char* text) const {
        if (!server_running || queue_id < 0) return -1;
        int sent = queue_send_text(queue_id, ToServer, code, text);
        if (sent == 0 && wake_fd >= 0) {
            const char byte = 1;
            // A full pipe already holds a wake-up: nothing is lost.
            ssize_t ignored = write(wake_fd, &byte, 1);
            (void)ignored;
        }
        return sent;
    }
};

}  // namespace korvad
