#pragma once
// The five message-queue routines shared by korvad and korvadm.
//
// QueueMessage, as it travels (System V message: the kernel's long type word,
// then 3016 bytes of message data; integers 32-bit in machine byte order):
//
//   data offset  size  field
//   0            4     code          (senders store only its low 8 bits)
//   4            4     client_slot   (codes 30-32, 35, 36, 78, 105)
//   8            4     reserved, 0
//   12           3000  text, NUL-terminated, at most 2999 characters
//   3012         4     spare: a send of the longest text carries them along
//
// A send of a text of length L carries L + 16 bytes of data: the three words,
// the text, its NUL and three more bytes.

#include <cstddef>
#include <cstdint>

namespace korvad {

inline constexpr std::size_t kQueueDataSize = 3016;     // bytes after the type word
inline constexpr std::size_t kQueueTextSize = 3000;     // text area incl. NUL
inline constexpr std::size_t kQueueMaxText = kQueueTextSize - 1;

struct QueueMessage {
    long type = 0;
    std::int32_t code = 0;
    std::int32_t client_slot = 0;
    std::int32_t reserved = 0;
    char text[kQueueDataSize - 12] = {};  // 3000 text bytes and the 4 spare ones
};
static_assert(sizeof(QueueMessage) - offsetof(QueueMessage, code) == kQueueDataSize);
static_assert(offsetof(QueueMessage, text) - offsetof(QueueMessage, code) == 12);

// Private queue, IPC_CREAT | IPC_EXCL, mode 0777. Returns the id or -1.
int queue_create();

// Stores type and the low 8 bits of code into msg and sends text_length + 16
// bytes of data, without waiting (IPC_NOWAIT | MSG_NOERROR). The text must
// already stand in msg.text. Returns 0 or -1 (full queue, no queue, too long).
int queue_send(int queue_id, long type, std::size_t text_length, int code, QueueMessage& msg);

// Up to retries + 1 tries to take the first message of the given type without
// waiting, sleeping 1 second between two failed tries (pause_seconds replaces
// the sleep in tests). Returns the bytes of data received, or -1; a negative
// retry count returns -1 without trying.
int queue_receive(int queue_id, long type, QueueMessage& msg, int retries,
                  void (*pause_seconds)(unsigned) = nullptr);
int queue_receive_once(int queue_id, long type, QueueMessage& msg);

// IPC_RMID. Returns 0 or -1.
int queue_remove(int queue_id);

// Zeroes msg and copies text into it, cut to kQueueMaxText characters.
// Returns the length stored.
std::size_t queue_set_text(QueueMessage& msg, const char* text);

// Zeroes a message, sets text and client_slot, sends it. Returns 0 or -1.
int queue_send_text(int queue_id, long type, int code, const char* text, int client_slot = 0);

}  // namespace korvad
