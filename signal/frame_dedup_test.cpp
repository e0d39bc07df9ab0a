// The deduplicator: a frame found by both demodulators is shown once.

#include "signal/frame_dedup.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "signal/demodulator.h"
#include "signal/msk_receiver.h"
#include "tools/synth/synth.h"

namespace korvad {
namespace {

constexpr int kRate = 19500;

// A good record of the hand-written downlink of frame_repair_test, made by
// decode_frame as both paths make it.
FrameRecord hand_record() {
    std::vector<std::uint8_t> f = {0x2A, 0x16, 0x16, 0x01, 0x32, 0xAE, 0xCE, 0x31, 0x32,
                                   0xB3, 0xC1, 0xC2, 0x15, 0xC8, 0x31, 0x34, 0x02, 0xCD,
                                   0xB0, 0x31, 0xC1, 0xC2, 0xC1, 0xB0, 0x31, 0x32, 0xB3,
                                   0xC8, 0x45, 0x4C, 0x4C, 0x4F, 0x83, 0xDE, 0xE9, 0x7F};
    auto table = std::make_unique<FrameTable>();
    table->clear();
    decode_frame(*table, f.data(), static_cast<int>(f.size()));
    return table->records[0];
}

// The same frame with its text ending "HELLX" instead.
FrameRecord other_record() {
    FrameRecord r = hand_record();
    r.chars[31].ch = 'X';
    return r;
}

TEST(FrameDedup, TheSameFrameNearbyIsARepeat) {
    FrameDeduplicator d = make_frame_deduplicator(kRate, 30);
    EXPECT_EQ(d.window, 30 * kRate);
    const FrameRecord r = hand_record();
    EXPECT_TRUE(admit_frame(d, r, 100000));
    EXPECT_FALSE(admit_frame(d, r, 100000 + 50240));  // the pass loop, one buffer later
    EXPECT_FALSE(admit_frame(d, r, 100000 - 40000));  // positions arrive out of order
    EXPECT_FALSE(admit_frame(d, r, 100000 + 30 * kRate));
    EXPECT_EQ(d.entries.size(), 1u);
}

TEST(FrameDedup, TheSameFrameMuchLaterIsShownAgain) {
    FrameDeduplicator d = make_frame_deduplicator(kRate, 30);
    const FrameRecord r = hand_record();
    EXPECT_TRUE(admit_frame(d, r, 0));
    EXPECT_TRUE(admit_frame(d, r, 30 * kRate + 1));
    // Far behind: forgotten altogether.
    EXPECT_TRUE(admit_frame(d, other_record(), 200 * kRate));
    EXPECT_EQ(d.entries.size(), 1u);
}

TEST(FrameDedup, DifferentFramesAreAllShown) {
    FrameDeduplicator d = make_frame_deduplicator(kRate, 30);
    EXPECT_TRUE(admit_frame(d, hand_record(), 1000));
    EXPECT_TRUE(admit_frame(d, other_record(), 1000));  // "HELLX"
    FrameRecord shorter = hand_record();
    shorter.end_index = 31;  // same characters, another end
    EXPECT_TRUE(admit_frame(d, shorter, 1000));
    EXPECT_FALSE(admit_frame(d, shorter, 2000));
}

TEST(FrameDedup, MemoryIsBounded) {
    FrameDeduplicator d = make_frame_deduplicator(kRate, 30);
    FrameRecord r = hand_record();
    for (int i = 0; i < static_cast<int>(kMaxRememberedFrames) + 100; ++i) {
        r.chars[28].ch = static_cast<std::uint8_t>(i & 0x7F);
        r.chars[29].ch = static_cast<std::uint8_t>((i >> 7) & 0x7F);
        EXPECT_TRUE(admit_frame(d, r, 1000));
    }
    EXPECT_EQ(d.entries.size(), kMaxRememberedFrames);
}

TEST(FrameDedup, APassIsJudgedByTheRecordMessageProcessingWouldTake) {
    FrameDeduplicator d = make_frame_deduplicator(kRate, 30);
    auto table = std::make_unique<FrameTable>();
    table->clear();
    // A faulty record first, the good one second: the good one counts.
    table->records[0] = hand_record();
    table->records[0].crc = 0x1234;
    table->records[0].error_count = 3;
    table->records[1] = hand_record();
    table->count = 2;
    EXPECT_TRUE(admit_frame(d, hand_record(), 5000));  // the MSK receiver had it
    EXPECT_FALSE(admit_pass(d, *table, 50240));
    // A pass left with only the damaged copy of that frame is not processed:
    // the frame was shown already.
    table->count = 1;
    EXPECT_FALSE(admit_pass(d, *table, 50240));
    // Also when its CRC failed but it would be shown (not faulty).
    table->records[0].error_count = 0;
    EXPECT_FALSE(admit_pass(d, *table, 50240));
    // A damaged frame of another aircraft goes through, remembering nothing;
    // so does the copy once the frame lies outside the window.
    table->records[0].chars[7].ch = 'X';
    EXPECT_TRUE(admit_pass(d, *table, 50240));
    table->records[0].chars[7] = hand_record().chars[7];
    EXPECT_TRUE(admit_pass(d, *table, 5000 + 31 * kRate));
    EXPECT_EQ(d.entries.size(), 1u);
    // A record that would be shown needs its whole header to agree; a faulty
    // one, whose header is in doubt itself, only aircraft and label.
    table->records[0].chars[15].ch = '9';  // block id
    EXPECT_FALSE(is_damaged_copy(d, *table, 50240));
    table->records[0].error_count = 2;
    EXPECT_TRUE(is_damaged_copy(d, *table, 50240));
    table->records[0].chars[14].ch = 'Z';  // label
    EXPECT_FALSE(is_damaged_copy(d, *table, 50240));
    // A good record nobody had yet.
    const FrameRecord other = other_record();
    table->records[0] = other;
    EXPECT_TRUE(admit_pass(d, *table, 50240));
    EXPECT_FALSE(admit_frame(d, other, 52000));
}

// Both paths over one recording, wired as korvad wires them: every frame sent
// is shown, and none twice.
struct Wiring {
    FrameDeduplicator dedup = make_frame_deduplicator(kRate, 30);
    MskReceiver* receiver = nullptr;
    std::int64_t stream_position = 0;
    std::map<std::string, int> shown;
    int from_pass_loop = 0, from_msk = 0;
};

std::string chars_of(const FrameRecord& r) {
    std::string s;
    for (int i = 0; i <= r.end_index && i < kFrameRecordChars; ++i)
        s.push_back(static_cast<char>(r.chars[i].ch));
    return s;
}

// What korvad's main loop does with a frame of the MSK receiver...
void on_msk_frame(void* context, FrameTable& table) {
    auto* w = static_cast<Wiring*>(context);
    ++w->from_msk;
    if (admit_frame(w->dedup, table.records[0], w->receiver->frame_end_position)) {
        ++w->shown[chars_of(table.records[0])];  // process_message
    }
}

// ... and with a pass of the pass loop.
void on_pass(void* context, FrameTable& table) {
    auto* w = static_cast<Wiring*>(context);
    for (int i = 0; i < table.count; ++i) {
        const FrameRecord& r = table.records[i];
        if (r.terminated == 0 || r.crc != 0 || r.error_count != 0) continue;
        ++w->from_pass_loop;
        if (admit_pass(w->dedup, table, w->stream_position)) ++w->shown[chars_of(r)];
        return;
    }
}

TEST(FrameDedup, BothPathsTogetherShowEachFrameOnce) {
    synth::SynthOptions o;
    std::vector<synth::Frame> frames = synth::generate_frames(21, 40);
    std::vector<synth::Placement> at;
    std::string error;
    synth::Recording rec;
    std::int64_t on_air = 0;
    for (const auto& f : frames) on_air += synth::frame_span_samples(f, o);
    ASSERT_TRUE(synth::layout_random(frames, o, 3 * on_air, 4000, 21, at, error)) << error;
    ASSERT_TRUE(synth::synthesize(frames, at, 3 * on_air, o, rec, error)) << error;

    Wiring w;
    std::unique_ptr<MskReceiver> receiver = make_msk_receiver(kRate);
    w.receiver = receiver.get();
    auto demodulator = std::make_unique<Demodulator>();
    const PassSink msk_sink{on_msk_frame, &w};
    const PassSink pass_sink{on_pass, &w};
    std::vector<std::uint8_t> work(kWorkBufferSize, 0);
    for (std::size_t pos = 0; pos < rec.samples.size() + kNewSamples; pos += kNewSamples) {
        std::memmove(work.data(), work.data() + kNewSamples, kHistorySamples);
        const std::size_t n = pos < rec.samples.size()
                                  ? std::min<std::size_t>(kNewSamples, rec.samples.size() - pos)
                                  : 0;
        if (n > 0) std::memcpy(work.data() + kHistorySamples, rec.samples.data() + pos, n);
        std::memset(work.data() + kHistorySamples + n, 128, kNewSamples - n);
        w.stream_position = static_cast<std::int64_t>(pos + kNewSamples);
        msk_receive(*receiver, work.data() + kHistorySamples, kNewSamples, msk_sink);
        run_passes(*demodulator, work.data(), pass_sink);
    }
    // Clean audio: both paths find (nearly) every frame.
    EXPECT_EQ(w.from_msk, 40);
    EXPECT_GT(w.from_pass_loop, 30);
    EXPECT_EQ(w.shown.size(), 40u);
    for (const auto& [chars, times] : w.shown) EXPECT_EQ(times, 1) << chars;
}

}  // namespace
}  // namespace korvad
