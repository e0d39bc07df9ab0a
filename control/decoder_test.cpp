// The main process's duties, driven buffer by buffer without audio: periodic
// texts, the queue, keys, signals and the way out.

#include <gtest/gtest.h>
#include <sys/msg.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "common/test_folder.h"
#include "control/decoder.h"
#include "control/queue/codes.h"
#include "control/queue/queue.h"
#include "control/queue/queue_test_util.h"
#include "control/signals.h"
#include "message/message_test_util.h"

namespace korvad {
namespace {

class DecoderDuties : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(folder.path().empty());
        d = std::make_unique<Decoder>();
        set_store_folder(d->stores, folder.path());
        d->state.queue_id = queue_create();
        ASSERT_GE(d->state.queue_id, 0);
        queue = d->state.queue_id;
        d->channel = ServerChannel{queue, true};
        d->screen.recorder = &drawn;
        d->state.start_time = 1000000;
        d->state.work_buffer = std::make_unique<std::uint8_t[]>(kWorkBufferSize);
        std::fill_n(d->state.work_buffer.get(), kWorkBufferSize, 128);
        open_repeat_register(d->stores);
        (void)open_collection(d->stores);
        (void)open_statistics(d->stores);
        g_signals = PendingSignals{};
    }
    void TearDown() override {
        if (queue >= 0) msgctl(queue, IPC_RMID, nullptr);
    }

    // Every ToServer message waiting, oldest first.
    std::vector<QueueMessage> server_messages() {
        std::vector<QueueMessage> out;
        QueueMessage m;
        while (queue_receive_once(queue, ToServer, m) > 0) out.push_back(m);
        return out;
    }

    bool drew(const std::string& text) const {
        for (const PrintRecord& r : drawn) {
            if (r.text == text) return true;
        }
        return false;
    }

    TestFolder folder{"korvad-decoder"};
    int queue = -1;
    std::vector<PrintRecord> drawn;
    std::unique_ptr<Decoder> d;
};

TEST_F(DecoderDuties, VolumeEveryFifthUptimeAt250And750) {
    std::vector<int> volume_at, uptime_at;
    std::vector<std::string> uptimes;
    for (int b = 1; b <= 1000; ++b) {
        process_buffer(*d, d->state.start_time + 2 * b);
        for (const QueueMessage& m : server_messages()) {
            if (m.code == queue_code::kVolume) {
                volume_at.push_back(b);
                EXPECT_STREQ(m.text, "=[ Vol: 0, Extended: OFF ]=");
            }
            if (m.code == queue_code::kUptime) {
                uptime_at.push_back(b);
                uptimes.push_back(m.text);
            }
        }
    }
    ASSERT_EQ(volume_at.size(), 200u);
    EXPECT_EQ(volume_at[0], 5);
    EXPECT_EQ(volume_at[1], 10);
    // Not at 500 or 1000: a multiple of 20 looks at the queue instead.
    EXPECT_EQ(uptime_at, (std::vector<int>{250, 750}));
    EXPECT_EQ(uptimes, (std::vector<std::string>{"500", "1500"}));
    EXPECT_EQ(d->state.total_buffers, 1000u);
}

TEST_F(DecoderDuties, TheQueueIsReadEveryTwentiethBuffer) {
    ASSERT_EQ(queue_send_text(queue, ToDecoder, queue_code::kSoundBuffersFull,
                              "All 32 soundbuffers are nearly full"),
              0);
    ASSERT_EQ(queue_send_text(queue, ToDecoder, 77, "unknown code"), 0);
    for (int b = 1; b < 20; ++b) process_buffer(*d, d->state.start_time + b);
    EXPECT_FALSE(drew("All 32 soundbuffers are nearly full"));
    process_buffer(*d, d->state.start_time + 20);
    EXPECT_TRUE(drew("All 32 soundbuffers are nearly full"));
    // One message per look: the unknown one is taken at 40 and dropped.
    for (int b = 21; b <= 40; ++b) process_buffer(*d, d->state.start_time + b);
    QueueMessage m;
    EXPECT_EQ(queue_receive_once(queue, ToDecoder, m), -1);
    EXPECT_FALSE(drew("unknown code"));
}

// A collection entry of N123AB, flight BA0123, at time t.
void add_entry(Decoder& d, std::int32_t t) {
    auto m = testing::build_message({.time = t,
                                     .day = 8,
                                     .month = 12,
                                     .year = 126,
                                     .registration = "N123AB",
                                     .flight_id = "BA0123"});
    ASSERT_EQ(d.stores.collection->insert_unique(m), ContactList::kInserted);
}

QueueMessage delete_request(const std::string& text, int slot) {
    QueueMessage msg;
    queue_set_text(msg, text.c_str());
    msg.code = queue_code::kDeleteRequest;
    msg.client_slot = slot;
    return msg;
}

TEST_F(DecoderDuties, DeleteRequestsAreAnsweredToTheAskingClient) {
    d->settings.delete_code = "secret";
    add_entry(*d, 1234567);
    QueueMessage wrong = delete_request("N123AB\tBA0123\t1234567\twrong", 5);
    handle_decoder_message(*d, wrong);
    EXPECT_TRUE(drew("Request to delete: N123AB BA0123 -> not deleted"));
    QueueMessage right = delete_request("N123AB\tBA0123\t1234567\tsecret", 7);
    handle_decoder_message(*d, right);
    EXPECT_TRUE(drew("Request to delete: N123AB BA0123 -> deleted"));
    EXPECT_EQ(d->stores.collection->count(), 0);
    QueueMessage unknown = delete_request("G-ABCD\tXX0001\t1\tsecret", 9);
    handle_decoder_message(*d, unknown);
    EXPECT_TRUE(drew("Request to delete: G-ABCD XX0001\t1\tsecret -> not deleted"));

    std::vector<QueueMessage> answers = server_messages();
    ASSERT_EQ(answers.size(), 3u);
    EXPECT_EQ(answers[0].code, queue_code::kDeleteResult);
    EXPECT_EQ(answers[0].client_slot, 5);
    EXPECT_STREQ(answers[0].text, "Unable to delete entry 'N123AB BA0123'");
    EXPECT_EQ(answers[1].client_slot, 7);
    EXPECT_STREQ(answers[1].text, "Entry 'N123AB BA0123' successful deleted");
    EXPECT_EQ(answers[2].client_slot, 9);
    EXPECT_STREQ(answers[2].text, "Unable to delete entry 'G-ABCD XX0001\t1\tsecret'");
}

TEST_F(DecoderDuties, ReloadRequestsFromQueueKeyAndSignal) {
    QueueMessage reload;
    queue_set_text(reload, " ");
    reload.code = queue_code::kReloadDatabases;
    handle_decoder_message(*d, reload);
    EXPECT_TRUE(drew("all databases reloaded"));
    drawn.clear();
    handle_key(*d, 'r');
    EXPECT_TRUE(drew("all databases reloaded"));
    drawn.clear();
    g_signals.reload = 1;
    handle_pending_signals(*d);
    EXPECT_TRUE(drew("all databases reloaded"));
    EXPECT_EQ(g_signals.reload, 0);
}

TEST_F(DecoderDuties, ASecondHangupDuringAReloadIsDropped) {
    // In a child with the decoder's own handlers: the database server that
    // the reload signals is the child itself, so a SIGHUP arrives while the
    // reload runs.
    int status = testing::run_in_child([this] {
        install_main_handlers(false);
        d->state.dbserver_pid = getpid();
        drawn.clear();
        g_signals.reload = 1;
        handle_pending_signals(*d);
        handle_pending_signals(*d);  // nothing left to do
        int reloads = 0;
        for (const PrintRecord& r : drawn) reloads += r.text == "all databases reloaded";
        return reloads == 1 && g_signals.reload == 0 ? 0 : 1 + reloads;
    });
    EXPECT_EQ(status, 0);
}

TEST_F(DecoderDuties, KeysInEitherCase) {
    handle_key(*d, 'c');
    EXPECT_TRUE(d->settings.checksum_only);
    handle_key(*d, 'C');
    EXPECT_FALSE(d->settings.checksum_only);
    std::vector<QueueMessage> sent = server_messages();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].code, queue_code::kCrcOn);
    EXPECT_STREQ(sent[0].text, " ");
    EXPECT_EQ(sent[1].code, queue_code::kCrcOff);

    handle_key(*d, 'e');
    EXPECT_TRUE(d->settings.extended);
    handle_key(*d, 'E');
    EXPECT_FALSE(d->settings.extended);

    // Other keys do nothing.
    Settings before = d->settings;
    for (int key : {int{'x'}, int{'Z'}, int{'1'}, int{' '}, 27, 259}) handle_key(*d, key);
    EXPECT_EQ(d->settings.checksum_only, before.checksum_only);
    EXPECT_EQ(d->settings.extended, before.extended);
    EXPECT_TRUE(server_messages().empty());
}

TEST_F(DecoderDuties, ExtendedModeFollowsEverySignal) {
    g_signals.extended_toggles = 2;
    handle_pending_signals(*d);
    EXPECT_FALSE(d->settings.extended);
    g_signals.extended_toggles = 3;
    handle_pending_signals(*d);
    EXPECT_TRUE(d->settings.extended);
    EXPECT_EQ(g_signals.extended_toggles, 0);
}

TEST_F(DecoderDuties, ACrashedServerMovesToTheOtherPortUnlessItWasFixed) {
    ASSERT_FALSE(d->settings.server);  // no server process is forked here
    g_signals.server_crashed = 1;
    handle_pending_signals(*d);
    EXPECT_EQ(d->settings.port, 2203);
    g_signals.server_crashed = 1;
    handle_pending_signals(*d);
    EXPECT_EQ(d->settings.port, 2202);
    d->settings.port = 4000;
    server_crashed(*d);
    EXPECT_EQ(d->settings.port, 2202);
    EXPECT_EQ(g_signals.server_crashed, 0);

    d->settings.port = 2202;
    d->settings.port_fixed = true;
    server_crashed(*d);
    EXPECT_EQ(d->settings.port, 2202);
}

TEST_F(DecoderDuties, ShutdownStatisticsToTheByte) {
    d->state.total_buffers = 1000;  // 40,000,000 bytes: 38.15 MiB, printed whole
    d->counters.good_count = 12;
    d->counters.uplink_count = 3;
    d->counters.parity_error_count = 4;
    d->counters.block_error_count = 5;
    d->counters.crc_error_count = 6;
    std::FILE* out = std::tmpfile();
    print_shutdown_statistics(*d, out);
    std::rewind(out);
    char buffer[1024] = {};
    std::size_t n = std::fread(buffer, 1, sizeof buffer - 1, out);
    std::fclose(out);
    const std::string dashes(58, '-');
    EXPECT_EQ(std::string(buffer, n),
              "\nACARS decoder normal finished\n----------" + dashes + "\n" +
                  "38.00 megabytes were read and decoded\n"
                  "Your contact statistics:\n"
                  "  Good: 12, Uplinks: 3, parity errors: 4, block errors: 5\n"
                  "  6 messages with FCB/CRC errors\n----------" +
                  dashes + "\n");
}

TEST_F(DecoderDuties, SaveAndReleaseTwiceSavesOnce) {
    add_entry(*d, 42);
    save_and_release(*d);
    queue = -1;  // removed by save_and_release
    EXPECT_FALSE(d->stores.collection.has_value());
    ContactList saved = make_contact_list(10, 10);
    ASSERT_EQ(load_collection(saved, folder.file("korvad.db")), LoadResult::loaded);
    EXPECT_EQ(saved.count(), 1);
    // A second call finds everything gone and leaves the files alone.
    ASSERT_EQ(std::remove((folder.file("korvad.db")).c_str()), 0);
    save_and_release(*d);
    EXPECT_NE(access((folder.file("korvad.db")).c_str(), F_OK), 0);
}

TEST_F(DecoderDuties, QuitKeyEndsWithStatusFive) {
    msgctl(queue, IPC_RMID, nullptr);
    queue = -1;
    d->state.queue_id = -1;
    EXPECT_EXIT(handle_key(*d, 'q'), ::testing::ExitedWithCode(5), "ACARS decoder normal finished");
    EXPECT_EXIT(handle_key(*d, 'Q'), ::testing::ExitedWithCode(5),
                "megabytes were read and decoded");
}

}  // namespace
}  // namespace korvad
