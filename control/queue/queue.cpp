#include "control/queue/queue.h"

#include <sys/ipc.h>
#include <sys/msg.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace korvad {

int queue_create() {
    // The owner only: the station's traffic is read from it, and reloads and
    // deletes are asked through it. korvadm runs as korvad's user (or root).
    return msgget(IPC_PRIVATE, IPC_CREAT | IPC_EXCL | 0600);
}

int queue_send(int queue_id, long type, std::size_t text_length, int code, QueueMessage& msg) {
    if (text_length > kQueueMaxText) {
        // The send would carry bytes from beyond the record.
        errno = EINVAL;
        return -1;
    }
    msg.type = type;
    msg.code = code & 0xff;
    return msgsnd(queue_id, &msg, text_length + kQueueSendOverhead, IPC_NOWAIT | MSG_NOERROR) == 0
               ? 0
               : -1;
}

int queue_receive_once(int queue_id, long type, QueueMessage& msg) {
    // Receive into a scratch record: a failed try leaves msg untouched.
    // MSG_NOERROR: a message too long for the record (anyone may send to the
    // queue) is cut and taken off; without it msgrcv fails with E2BIG and the
    // message stays at the head, stopping this reader for good.
    QueueMessage in;
    ssize_t received = msgrcv(queue_id, &in, kQueueDataSize, type, IPC_NOWAIT | MSG_NOERROR);
    if (received < 0) return -1;
    // msgrcv wrote only `received` data bytes; the rest of `in` is still zero.
    in.text[kQueueMaxText] = '\0';
    msg = in;
    return static_cast<int>(received);
}

int queue_receive(int queue_id, long type, QueueMessage& msg, int retries,
                  const QueuePause& pause) {
    for (int attempt = 0; attempt <= retries; ++attempt) {
        if (attempt > 0) {
            if (pause) {
                pause(1);
            } else {
                sleep(1);
            }
        }
        int received = queue_receive_once(queue_id, type, msg);
        if (received >= 0) return received;
    }
    return -1;
}

int queue_remove(int queue_id) {
    return msgctl(queue_id, IPC_RMID, nullptr) == 0 ? 0 : -1;
}

std::size_t queue_set_text(QueueMessage& msg, const char* text) {
    msg = QueueMessage{};
    if (text == nullptr) return 0;
    std::size_t length = strnlen(text, kQueueMaxText);
    std::memcpy(msg.text, text, length);
    return length;
}

int queue_send_text(int queue_id, long type, int code, const char* text, int client_slot) {
    QueueMessage msg;
    std::size_t length = queue_set_text(msg, text);
    msg.client_slot = client_slot;
    return queue_send(queue_id, type, length, code, msg);
}

}  // namespace korvad
