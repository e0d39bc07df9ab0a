#include "control/queue/queue.h"

#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/msg.h>

#include <bit>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "control/queue/codes.h"
#include "control/queue/queue_test_util.h"

namespace korvad {
namespace {

using testing::QueueGuard;
using testing::run_in_child;

static_assert(std::endian::native == std::endian::little,
              "the hand-written bytes below are in little-endian machine order");

// A message as the kernel sees it, for sending and taking raw bytes.
struct RawMessage {
    long type = 0;
    unsigned char data[kQueueDataSize + 2000] = {};
};

std::string text_of(const QueueMessage& msg) {
    return std::string(msg.text, strnlen(msg.text, sizeof msg.text));
}

std::string long_text(std::size_t length) {
    std::string text;
    for (std::size_t i = 0; i < length; ++i) text.push_back(static_cast<char>('a' + i % 26));
    return text;
}

class QueueTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_GE(queue_.id(), 0) << std::strerror(errno); }
    int id() const { return queue_.id(); }

    QueueGuard queue_;
};

TEST_F(QueueTest, CreatesPrivateQueuesOfTheOwnerAlone) {
    QueueGuard other;
    ASSERT_GE(other.id(), 0);
    EXPECT_NE(other.id(), id());
    msqid_ds info{};
    ASSERT_EQ(msgctl(id(), IPC_STAT, &info), 0);
    EXPECT_EQ(info.msg_perm.mode & 0777, 0600u);
    EXPECT_EQ(info.msg_qnum, 0u);
}

// --- byte layout, against bytes written out by hand -----------------------

TEST_F(QueueTest, SendCarriesTheWordsTheTextAndFourBytesMore) {
    ASSERT_EQ(run_in_child([&] {
                  QueueMessage msg;
                  std::size_t length = queue_set_text(msg, "hi");
                  msg.client_slot = 17;
                  return queue_send(id(), ToServer, length, 0x15a, msg) == 0 ? 0 : 1;
              }),
              0);

    RawMessage raw;
    ssize_t received = msgrcv(id(), &raw, sizeof raw.data, 0, IPC_NOWAIT);
    const unsigned char expected[] = {
        0x5a, 0x00, 0x00, 0x00,  // code 0x15a, low 8 bits only
        0x11, 0x00, 0x00, 0x00,  // client_slot 17
        0x00, 0x00, 0x00, 0x00,  // reserved
        'h',  'i',  0x00,        // text and its NUL
        0x00, 0x00, 0x00,        // three spare bytes
    };
    ASSERT_EQ(received, static_cast<ssize_t>(sizeof expected));
    EXPECT_EQ(raw.type, 1);
    EXPECT_EQ(std::memcmp(raw.data, expected, sizeof expected), 0);
}

TEST_F(QueueTest, ReceiveReadsHandWrittenBytes) {
    RawMessage raw;
    raw.type = 3;
    const unsigned char request[] = {
        0x4e, 0x00, 0x00, 0x00,  // code 78
        0x05, 0x00, 0x00, 0x00,  // client_slot 5
        0x00, 0x00, 0x00, 0x00,  // reserved
        'D',  '-',  'A',  'B',  '\t', 'L', 'H', '1', 0x00,
    };
    std::memcpy(raw.data, request, sizeof request);
    ASSERT_EQ(msgsnd(id(), &raw, sizeof request, IPC_NOWAIT), 0);

    // The reader is another process; it reports what it saw as its status.
    int seen = run_in_child([&] {
        QueueMessage msg;
        if (queue_receive_once(id(), ToDecoder, msg) != static_cast<int>(sizeof request)) return 1;
        if (msg.type != ToDecoder) return 2;
        if (msg.code != queue_code::kDeleteRequest) return 3;
        if (msg.client_slot != 5) return 4;
        if (text_of(msg) != "D-AB\tLH1") return 5;
        return 0;
    });
    EXPECT_EQ(seen, 0);
}

// --- round trips between two processes -------------------------------------

TEST_F(QueueTest, ReaderTakesOnlyItsOwnType) {
    ASSERT_EQ(run_in_child([&] {
                  int a = queue_send_text(id(), ToServer, queue_code::kNewDay, "for the server");
                  int b = queue_send_text(id(), ToDecoder, queue_code::kReloadDatabases,
                                          "for the decoder");
                  return a == 0 && b == 0 ? 0 : 1;
              }),
              0);

    QueueMessage msg;
    ASSERT_GT(queue_receive_once(id(), ToDecoder, msg), 0);
    EXPECT_EQ(text_of(msg), "for the decoder");
    EXPECT_EQ(msg.code, queue_code::kReloadDatabases);
    // The ToServer message ahead of it is still there, and not for this reader.
    EXPECT_EQ(queue_receive_once(id(), ToDecoder, msg), -1);
    EXPECT_EQ(queue_receive_once(id(), ToDatabaseServer, msg), -1);
    ASSERT_GT(queue_receive_once(id(), ToServer, msg), 0);
    EXPECT_EQ(msg.type, ToServer);
    EXPECT_EQ(msg.code, queue_code::kNewDay);
    EXPECT_EQ(text_of(msg), "for the server");
}

TEST_F(QueueTest, ClientSlotAndLongestTextArriveWhole) {
    const std::string longest = long_text(kQueueMaxText);
    const std::string too_long = long_text(4000);
    ASSERT_EQ(run_in_child([&] {
                  int a = queue_send_text(id(), ToDatabaseServer, queue_code::kUpdateAirline,
                                          longest.c_str(), 63);
                  // Longer texts are cut to what the record holds.
                  int b = queue_send_text(id(), ToDatabaseServer, queue_code::kUpdateType,
                                          too_long.c_str(), 2);
                  return a == 0 && b == 0 ? 0 : 1;
              }),
              0);

    QueueMessage msg;
    ASSERT_EQ(queue_receive_once(id(), ToDatabaseServer, msg),
              static_cast<int>(kQueueMaxText + 16));
    EXPECT_EQ(msg.code, queue_code::kUpdateAirline);
    EXPECT_EQ(msg.client_slot, 63);
    EXPECT_EQ(msg.reserved, 0);
    EXPECT_EQ(text_of(msg), longest);

    ASSERT_EQ(queue_receive_once(id(), ToDatabaseServer, msg),
              static_cast<int>(kQueueMaxText + 16));
    EXPECT_EQ(msg.client_slot, 2);
    EXPECT_EQ(text_of(msg), too_long.substr(0, kQueueMaxText));
}

TEST_F(QueueTest, CodeIsCutToItsLowEightBits) {
    const std::vector<std::pair<int, int>> codes = {
        {155, 155}, {0x15a, 90}, {256, 0}, {-1, 255}, {-256 + 78, 78}};
    ASSERT_EQ(run_in_child([&] {
                  for (const auto& [sent, unused] : codes) {
                      if (queue_send_text(id(), ToServer, sent, "x") != 0) return 1;
                  }
                  return 0;
              }),
              0);
    for (const auto& [sent, arrives] : codes) {
        QueueMessage msg;
        ASSERT_GT(queue_receive_once(id(), ToServer, msg), 0);
        EXPECT_EQ(msg.code, arrives) << "sent " << sent;
    }
}

TEST_F(QueueTest, SendRefusesATextLongerThanTheRecord) {
    QueueMessage msg;
    std::memset(msg.text, 'a', sizeof msg.text);
    errno = 0;
    EXPECT_EQ(queue_send(id(), ToServer, kQueueMaxText + 1, 90, msg), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(queue_receive_once(id(), ToServer, msg), -1);
}

TEST_F(QueueTest, FullQueueMakesSendFailAtOnce) {
    // Room for one longest message but not two.
    msqid_ds info{};
    ASSERT_EQ(msgctl(id(), IPC_STAT, &info), 0);
    info.msg_qbytes = 4000;
    ASSERT_EQ(msgctl(id(), IPC_SET, &info), 0);

    // A send that waited would be stopped by the child's watchdog (-1).
    int result = run_in_child([&] {
        QueueMessage msg;
        std::size_t length = queue_set_text(msg, long_text(kQueueMaxText).c_str());
        if (queue_send(id(), ToServer, length, 18, msg) != 0) return 1;
        errno = 0;
        if (queue_send(id(), ToServer, length, 18, msg) != -1) return 2;
        return errno == EAGAIN ? 0 : 3;
    });
    EXPECT_EQ(result, 0);
    ASSERT_EQ(msgctl(id(), IPC_STAT, &info), 0);
    EXPECT_EQ(info.msg_qnum, 1u);
}

// --- what a hostile or broken sender can put on the queue -----------------

TEST_F(QueueTest, OversizedMessageIsCutAndDoesNotBlockTheReader) {
    RawMessage raw;
    raw.type = ToDecoder;
    std::memset(raw.data, 'A', sizeof raw.data);  // header words and text alike, no NUL
    ASSERT_EQ(msgsnd(id(), &raw, sizeof raw.data, IPC_NOWAIT), 0);
    ASSERT_EQ(queue_send_text(id(), ToDecoder, queue_code::kReloadDatabases, " "), 0);

    QueueMessage msg;
    ASSERT_EQ(queue_receive_once(id(), ToDecoder, msg), static_cast<int>(kQueueDataSize));
    EXPECT_EQ(msg.code, 0x41414141);  // not a code any reader knows
    EXPECT_EQ(text_of(msg), std::string(kQueueMaxText, 'A'));
    ASSERT_GT(queue_receive_once(id(), ToDecoder, msg), 0);
    EXPECT_EQ(msg.code, queue_code::kReloadDatabases);
    EXPECT_EQ(text_of(msg), " ");
}

TEST_F(QueueTest, ShortMessageLeavesNothingOfTheOldContents) {
    RawMessage raw;
    raw.type = ToServer;
    const unsigned char bare[] = {0x5a, 0x00, 0x00, 0x00, 0x09, 0x00, 0x00,
                                  0x00, 0x00, 0x00, 0x00, 0x00, 'h',  'i'};  // no NUL
    std::memcpy(raw.data, bare, sizeof bare);
    ASSERT_EQ(msgsnd(id(), &raw, sizeof bare, IPC_NOWAIT), 0);
    raw.type = ToServer;
    ASSERT_EQ(msgsnd(id(), &raw, 2, IPC_NOWAIT), 0);  // not even the header words

    QueueMessage msg;
    std::memset(msg.text, 'Z', sizeof msg.text);
    msg.reserved = 77;
    ASSERT_EQ(queue_receive_once(id(), ToServer, msg), static_cast<int>(sizeof bare));
    EXPECT_EQ(msg.code, 90);
    EXPECT_EQ(msg.client_slot, 9);
    EXPECT_EQ(msg.reserved, 0);
    EXPECT_EQ(text_of(msg), "hi");

    std::memset(msg.text, 'Z', sizeof msg.text);
    ASSERT_EQ(queue_receive_once(id(), ToServer, msg), 2);
    EXPECT_EQ(msg.code, 0x5a);  // the two bytes that came; the rest is zero
    EXPECT_EQ(msg.client_slot, 0);
    EXPECT_EQ(text_of(msg), "");
}

// --- retries ---------------------------------------------------------------

TEST_F(QueueTest, TwoRetriesMakeThreeTriesAndSleepTwice) {
    std::vector<unsigned> pauses;
    QueueMessage msg;
    queue_set_text(msg, "kept");
    msg.client_slot = 7;
    EXPECT_EQ(queue_receive(id(), ToDecoder, msg, 2,
                            [&](unsigned seconds) { pauses.push_back(seconds); }),
              -1);
    EXPECT_EQ(pauses, (std::vector<unsigned>{1, 1}));  // none after the last try
    // A failed receive leaves the buffer alone.
    EXPECT_EQ(msg.client_slot, 7);
    EXPECT_EQ(text_of(msg), "kept");

    // A message that turns up during the second pause is taken by the third try.
    pauses.clear();
    EXPECT_GT(queue_receive(id(), ToDecoder, msg, 2,
                            [&](unsigned seconds) {
                                pauses.push_back(seconds);
                                if (pauses.size() == 2) {
                                    (void)queue_send_text(id(), ToDecoder, 109, "late");
                                }
                            }),
              0);
    EXPECT_EQ(pauses.size(), 2u);
    EXPECT_EQ(text_of(msg), "late");
}

TEST_F(QueueTest, RetriesStopAtTheFirstMessage) {
    int pauses = 0;
    QueueMessage msg;
    EXPECT_GT(queue_receive(id(), ToServer, msg, 5,
                            [&](unsigned) {
                                ++pauses;
                                (void)queue_send_text(id(), ToServer, 5, "volume");
                            }),
              0);
    EXPECT_EQ(pauses, 1);
    EXPECT_EQ(text_of(msg), "volume");

    // Zero retries: a single try, no pause.
    pauses = 0;
    EXPECT_EQ(queue_receive(id(), ToServer, msg, 0, [&](unsigned) { ++pauses; }), -1);
    EXPECT_EQ(pauses, 0);
}

TEST_F(QueueTest, NegativeRetryCountDoesNotTry) {
    ASSERT_EQ(queue_send_text(id(), ToServer, 150, "3600"), 0);
    int pauses = 0;
    QueueMessage msg;
    EXPECT_EQ(queue_receive(id(), ToServer, msg, -1, [&](unsigned) { ++pauses; }), -1);
    EXPECT_EQ(pauses, 0);
    // The waiting message was not taken.
    ASSERT_GT(queue_receive_once(id(), ToServer, msg), 0);
    EXPECT_EQ(text_of(msg), "3600");
}

TEST_F(QueueTest, RemovedQueueTakesNoMoreTraffic) {
    ASSERT_EQ(queue_send_text(id(), ToServer, 155, "-"), 0);
    ASSERT_EQ(queue_remove(id()), 0);
    const int removed = id();
    queue_.forget();

    EXPECT_EQ(queue_send_text(removed, ToServer, 155, "-"), -1);
    QueueMessage msg;
    EXPECT_EQ(queue_receive_once(removed, ToServer, msg), -1);
    EXPECT_EQ(queue_remove(removed), -1);
}

TEST(QueueSetText, ZeroesTheRecordAndCutsTheText) {
    QueueMessage msg;
    std::memset(static_cast<void*>(&msg), 0x7f, sizeof msg);
    EXPECT_EQ(queue_set_text(msg, "abc"), 3u);
    EXPECT_EQ(msg.code, 0);
    EXPECT_EQ(msg.client_slot, 0);
    EXPECT_EQ(text_of(msg), "abc");
    EXPECT_EQ(msg.text[3], 0);
    EXPECT_EQ(msg.text[sizeof msg.text - 1], 0);

    EXPECT_EQ(queue_set_text(msg, long_text(5000).c_str()), kQueueMaxText);
    EXPECT_EQ(msg.text[kQueueMaxText], 0);
    EXPECT_EQ(queue_set_text(msg, nullptr), 0u);
    EXPECT_EQ(text_of(msg), "");
}

}  // namespace
}  // namespace korvad
