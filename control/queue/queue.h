#pragma once
// The message-queue routines shared by korvad and korvadm.
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
// the text, its NUL and three more bytes. On a 32-bit host the type word is 4
// bytes, so the text stands at byte 16 of the whole record.
//
// The queue belongs to korvad's user alone (mode 0600); whatever arrives is
// still untrusted (korvadm passes any text): queue_receive always leaves a NUL-terminated text of
// at most kQueueMaxText characters, but code and client_slot are as the sender wrote them; readers
// drop codes they do not know and check client_slot against their slot table before they use it.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <type_traits>

namespace korvad {

inline constexpr std::size_t kQueueDataSize = 3016;  // bytes after the type word
inline constexpr std::size_t kQueueHeaderSize = 12;  // code, client_slot, reserved
inline constexpr std::size_t kQueueTextSize = 3000;  // text area incl. NUL
inline constexpr std::size_t kQueueMaxText = kQueueTextSize - 1;
inline constexpr std::size_t kQueueSendOverhead = 16;  // header words + NUL + 3 spare

struct QueueMessage {
    long type = 0;
    std::int32_t code = 0;
    std::int32_t client_slot = 0;
    std::int32_t reserved = 0;
    char text[kQueueDataSize - kQueueHeaderSize] = {};  // 3000 text bytes and the 4 spare ones
};
static_assert(std::is_standard_layout_v<QueueMessage>);
static_assert(offsetof(QueueMessage, code) == sizeof(long));
static_assert(sizeof(QueueMessage) - offsetof(QueueMessage, code) == kQueueDataSize);
static_assert(offsetof(QueueMessage, text) - offsetof(QueueMessage, code) == kQueueHeaderSize);
static_assert(kQueueHeaderSize + kQueueMaxText + 4 <= kQueueDataSize,
              "the longest send must stay inside the record");

// Replaces the 1-second sleep between two tries of queue_receive (tests).
using QueuePause = std::function<void(unsigned seconds)>;

// Private queue, IPC_CREAT | IPC_EXCL, mode 0600. Returns the id or -1.
[[nodiscard]] int queue_create();

// Stores type and the low 8 bits of code into msg and sends text_length + 16
// bytes of data, without waiting (IPC_NOWAIT | MSG_NOERROR). The text must
// already stand in msg.text. Returns 0 or -1 (full queue, no queue, a text
// longer than kQueueMaxText); errno tells which.
int queue_send(int queue_id, long type, std::size_t text_length, int code, QueueMessage& msg);

// Up to retries + 1 tries to take the first message of the given type without
// waiting, sleeping 1 second between two failed tries (pause replaces the
// sleep in tests). Returns the bytes of data received, or -1; a negative
// retry count returns -1 without trying. A message longer than
// kQueueDataSize is cut, not left to block the queue. After a receive the
// bytes the message did not fill are zero and the text is terminated. A
// failed receive leaves msg as it was.
[[nodiscard]] int queue_receive(int queue_id, long type, QueueMessage& msg, int retries,
                                const QueuePause& pause = {});
[[nodiscard]] int queue_receive_once(int queue_id, long type, QueueMessage& msg);

// IPC_RMID. Returns 0 or -1.
int queue_remove(int queue_id);

// Zeroes msg and copies text (nullptr: empty) into it, cut to kQueueMaxText
// characters. Returns the length stored.
std::size_t queue_set_text(QueueMessage& msg, const char* text);

// Zeroes a message, sets text and client_slot, sends it. Returns 0 or -1.
int queue_send_text(int queue_id, long type, int code, const char* text, int client_slot = 0);

}  // namespace korvad
