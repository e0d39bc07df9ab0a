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
FrameRecord hand_record(std::uint8_t last_text_char = 0x4F) {
    std::vector<std::uint8_t> f = {0x2A, 0x16, 0x16, 0x01, 0x32, 0xAE, 0xCE, 0x31, 0x32, 0xB3,
                                   0xC1, 0xC2, 0x15, 0xC8, 0x31, 0x34, 0x02, 0xCD, 0xB0, 0x31,
                                   0xC1, 0xC2, 0xC1, 0xB0, 0x31, 0x32, 0xB3, 0xC8, 0x45, 0x4C,
                                   0x4C, 0x4F, 0x83, 0xDE, 0xE9, 0x7F};
    f[31] = last_text_char;
    auto table = std::make_unique<FrameTable>();
    table->clear();
    decode_frame(*table, f.data(), static_cast<int>(f.size()));
    return table->records[0];
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
    EXPECT_TRUE(admit_frame(d, hand_record('X' | 0x80), 200 * kRate));
    EXPECT_EQ(d.entries.size(), 1u);
}

TEST(FrameDedup, DifferentFramesAreAllShown) {
    FrameDeduplicator d = make_frame_deduplicator(kRate, 30);
    EXPECT_TRUE(admit_frame(d, hand_record(), 1000));
    EXPECT_TRUE(admit_frame(d, hand_record(0x58 | 0x80), 1000));  // "HELLX"
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
    for (int i = 0; i <= r.end_index && i < kFrameRecordChars; ++i) s.push_back(static_cast<char>(r.chars[i].ch));
    return s;
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
    const PassSink msk_sink{[](void* c, FrameTable& t) {
                                auto* w = static_cast<Wiring*>(c);
                                ++w->from_msk;
                                if (admit_frame(w->dedup, t.records[0], w->receiver->frame_end_position)) {
                                    ++w->shown[chars_of(t.records[0])];
                                }
                            },
                            &w};
    const PassSink pass_sink{[](void* c, FrameTable& t) {
                                 auto* w = static_cast<Wiring*>(c);
                                 for (int i = 0; i < t.count; ++i) {
                                     const FrameRecord& r = t.records[i];
                                     if (!r.terminated || r.crc != 0 || r.error_count != 0) continue;
                                     ++w->from_pass_loop;
                                     if (admit_frame(w->dedup, r, w->stream_position)) ++w->shown[chars_of(r)];
                                     return;  // message processing takes the first good record
                                 }
                             },
                             &w};
    std::vector<std::uint8_t> work(kWorkBufferSize, 0);
    for (std::size_t pos = 0; pos < rec.samples.size() + kNewSamples; pos += kNewSamples) {
        std::memmove(work.data(), work.data() + kNewSamples, kHistorySamples);
        const std::size_t n = pos < rec.samples.size() ? std::min<std::size_t>(kNewSamples, rec.samples.size() - pos) : 0;
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
