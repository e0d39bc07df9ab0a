// The merge of both demodulators: one message per transmission.

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

// One case of the merge: decodes in the order korvad makes them, each with
// what must become of it.
enum class Kind {
    msk,          // a frame of the MSK receiver; `at` is its BCS end
    pass_good,    // a pass with a good record; `at` is the end of its buffer
    pass_failed,  // a pass whose chosen record failed its CRC (it would be shown)
    pass_faulty,  // a pass without a record message processing would take
    next_buffer,  // the receiver's next buffer: held passes are released
};
enum class Variant { same, other_text, other_aircraft, other_block_id };
enum class Outcome { processed, dropped, held_then_processed, held_then_dropped, none };

struct Event {
    Kind kind;
    double at = 0.0;  // seconds: where its frame ends (a pass of buffer_only: its buffer)
    Variant variant = Variant::same;
    Outcome expect = Outcome::none;
    bool buffer_only = false;  // a pass whose frame's end is not known
};

struct MergeCase {
    const char* name;
    bool receiver_running;
    std::vector<Event> events;
};

FrameRecord variant_record(Variant v) {
    FrameRecord r = hand_record();
    if (v == Variant::other_text) r.chars[31].ch = 'X';
    if (v == Variant::other_aircraft) r.chars[7].ch = 'X';
    if (v == Variant::other_block_id) r.chars[15].ch = '9';
    return r;
}

std::int64_t samples_at(double seconds) {
    return static_cast<std::int64_t>(seconds * kRate);
}

// Runs the events as korvad's main loop would, returning what became of each.
std::vector<Outcome> run_case(const MergeCase& c) {
    FrameMerge merge;
    std::vector<Outcome> got(c.events.size(), Outcome::none);
    struct Held {
        std::size_t event;
        std::unique_ptr<FrameTable> table;
        StreamSpan span;
    };
    std::vector<Held> held;
    auto release = [&] {
        for (Held& h : held) {
            got[h.event] = is_damaged_copy(merge, *h.table, h.span) ? Outcome::held_then_dropped
                                                                    : Outcome::held_then_processed;
        }
        held.clear();
    };
    for (std::size_t i = 0; i < c.events.size(); ++i) {
        const Event& e = c.events[i];
        const FrameRecord record = variant_record(e.variant);
        if (e.kind == Kind::next_buffer) {
            release();
        } else if (e.kind == Kind::msk) {
            const StreamSpan span = msk_frame_span(record, samples_at(e.at), kRate);
            got[i] = admit_frame(merge, record, span, FramePath::msk) ? Outcome::processed
                                                                      : Outcome::dropped;
        } else {
            auto table = std::make_unique<FrameTable>();
            table->clear();
            table->records[0] = record;
            if (e.kind == Kind::pass_failed) table->records[0].crc = 0x1234;
            if (e.kind == Kind::pass_faulty) {
                table->records[0].crc = 0x1234;
                table->records[0].error_count = 2;
            }
            table->count = 1;
            // A frame ending at `at`, a second before the end of its buffer.
            const std::int64_t buffer_end = samples_at(e.at) + kRate;
            PassPlace place;
            if (!e.buffer_only) place = {kWorkBufferSize - kRate, record.end_index + 4};
            const StreamSpan span = pass_frame_span(
                &table->records[0], place, e.buffer_only ? samples_at(e.at) : buffer_end, kRate);
            switch (judge_pass(merge, *table, span, c.receiver_running)) {
                case PassVerdict::process:
                    got[i] = Outcome::processed;
                    break;
                case PassVerdict::drop:
                    got[i] = Outcome::dropped;
                    break;
                case PassVerdict::hold:
                    held.push_back({i, std::move(table), span});
                    break;
            }
        }
    }
    release();  // the way out releases what is held
    return got;
}

TEST(FrameMerge, OneMessagePerTransmission) {
    using enum Kind;
    using enum Outcome;
    using enum Variant;
    const std::vector<MergeCase> cases = {
        {"the receiver first, then the pass loop from the same buffer",
         true,
         {{msk, 10.0, same, processed}, {pass_good, 10.01, same, dropped}}},
        {"the pass loop first, the receiver's frame a buffer later",
         true,
         {{pass_good, 10.0, same, processed}, {msk, 9.99, same, dropped}}},
        {"the same block sent again 15 s later is a new transmission",
         true,
         {{msk, 10.0, same, processed},
          {pass_good, 10.01, same, dropped},
          {msk, 25.0, same, processed},
          {pass_good, 25.01, same, dropped}}},
        {"a retransmission seen by the pass loop only",
         true,
         {{msk, 10.0, same, processed}, {pass_good, 25.01, same, processed}}},
        {"the pass loop twice: left to the repeat check",
         true,
         {{pass_good, 10.0, same, processed}, {pass_good, 12.0, same, processed}}},
        {"a good frame with other characters over the same stretch",
         true,
         {{msk, 10.0, same, processed}, {pass_good, 10.01, other_text, processed}}},
        {"a faulty copy of the receiver's frame",
         true,
         {{msk, 10.0, same, processed}, {pass_faulty, 10.01, same, dropped}}},
        {"a faulty copy whose damaged header names another aircraft",
         true,
         {{msk, 10.0, same, processed}, {pass_faulty, 10.01, other_aircraft, dropped}}},
        {"a faulty pass held while the receiver finishes the frame",
         true,
         {{pass_faulty, 10.0, same, held_then_dropped},
          {msk, 9.99, same, processed},
          {next_buffer}}},
        {"a faulty frame 5 s after a good one of the same aircraft",
         true,
         {{msk, 10.0, same, processed},
          {next_buffer},
          {pass_faulty, 15.5, same, held_then_processed},
          {next_buffer}}},
        {"a faulty frame just after a good one",
         true,
         {{msk, 10.0, same, processed}, {pass_faulty, 10.2, same, held_then_processed}}},
        {"a faulty frame that nothing recovers, held to the way out",
         true,
         {{pass_faulty, 10.0, same, held_then_processed}}},
        {"a copy that would be shown as failed, whatever its header",
         true,
         {{msk, 10.0, same, processed},
          {pass_failed, 10.01, same, dropped},
          {pass_failed, 10.01, other_block_id, dropped}}},
        {"known only by its buffer, a copy needs the receiver's header",
         true,
         {{msk, 10.0, same, processed},
          {pass_failed, 10.2, same, dropped, true},
          {pass_failed, 10.2, other_block_id, held_then_processed, true},
          {pass_faulty, 10.2, other_block_id, dropped, true},
          {pass_faulty, 10.2, other_aircraft, held_then_processed, true}}},
        {"without a receiver nothing is held",
         false,
         {{pass_faulty, 10.0, same, processed}, {pass_good, 10.0, same, processed}}},
    };
    for (const MergeCase& c : cases) {
        const std::vector<Outcome> got = run_case(c);
        for (std::size_t i = 0; i < c.events.size(); ++i) {
            EXPECT_EQ(static_cast<int>(got[i]), static_cast<int>(c.events[i].expect))
                << c.name << ", event " << i;
        }
    }
}

TEST(FrameMerge, SpansOfBothPaths) {
    const FrameRecord r = hand_record();  // ETX at 32: '*' .. BCS is 35 bytes
    const StreamSpan msk = msk_frame_span(r, 100000, kRate);
    EXPECT_EQ(msk.last, 100000);
    EXPECT_EQ(msk.first, 100000 - 35 * 8 * kRate / 2400);
    // The pass loop's frame ends where the demodulator saw its last turn and
    // is as long as its record, '*' to DEL,
    // less the junk it collected after the DEL (here 10 bytes)...
    const StreamSpan pass = pass_frame_span(&r, {kWorkBufferSize - 500, 36 + 10}, 100500, kRate);
    EXPECT_TRUE(pass.exact);
    EXPECT_EQ(pass.last, 100000 - 10 * 8 * kRate / 2400);
    EXPECT_EQ(pass.first, pass.last - 36 * 8 * kRate / 2400);
    EXPECT_TRUE(spans_overlap(msk, pass));
    // ... and where that is not known, lies in its work buffer or starts before it.
    // A frame without ETX is as long as what was collected of it.
    FrameRecord cut = r;
    cut.terminated = 0;
    cut.end_index = 30;
    const StreamSpan unended = pass_frame_span(&cut, {kWorkBufferSize - 500, 30}, 100500, kRate);
    EXPECT_TRUE(unended.exact);
    EXPECT_EQ(unended.last, 100000);
    EXPECT_EQ(unended.first, 100000 - 30 * 8 * kRate / 2400);
    const StreamSpan buffer = pass_frame_span(&r, {}, 100000, kRate);
    EXPECT_FALSE(buffer.exact);
    EXPECT_FALSE(
        pass_frame_span(&r, {kWorkBufferSize - 500, kFrameBufferSize}, 100500, kRate).exact);
    EXPECT_FALSE(buffer.exact);
    EXPECT_EQ(buffer.last, 99999);
    EXPECT_EQ(buffer.first, 100000 - kWorkBufferSize - 36 * 8 * kRate / 2400);
    EXPECT_FALSE(spans_overlap(msk, {100001, 200000}));
    EXPECT_TRUE(spans_overlap(msk, {100000, 200000}));
    EXPECT_FALSE(spans_overlap(msk, {0, msk.first - 1}));
}

TEST(FrameMerge, MemoryIsBounded) {
    FrameMerge m;
    FrameRecord r = hand_record();
    for (int i = 0; i < static_cast<int>(kMaxRememberedFrames) + 100; ++i) {
        r.chars[28].ch = static_cast<std::uint8_t>(i & 0x7F);
        r.chars[29].ch = static_cast<std::uint8_t>((i >> 7) & 0x7F);
        EXPECT_TRUE(admit_frame(m, r, msk_frame_span(r, 100000, kRate), FramePath::msk));
    }
    EXPECT_EQ(m.entries.size(), kMaxRememberedFrames);
    // Far behind: forgotten altogether.
    EXPECT_TRUE(admit_frame(m, r, msk_frame_span(r, 100000 + 2 * kMergeHorizonSamples, kRate),
                            FramePath::msk));
    EXPECT_EQ(m.entries.size(), 1u);
}

// Both paths over one recording, wired as korvad wires them: every frame sent
// is shown, and none twice.
struct Wiring {
    FrameMerge merge;
    MskReceiver* receiver = nullptr;
    const Demodulator* demodulator = nullptr;
    std::int64_t stream_position = 0;
    std::map<std::string, int> shown;
    int from_pass_loop = 0, from_msk = 0;
    int exact_spans = 0;  // pass loop frames whose end the demodulator knew
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
    const FrameRecord& r = table.records[0];
    if (admit_frame(w->merge, r, msk_frame_span(r, w->receiver->frame_end_position, kRate),
                    FramePath::msk)) {
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
        const StreamSpan span =
            pass_frame_span(&r, pass_record_place(*w->demodulator, &r), w->stream_position, kRate);
        w->exact_spans += span.exact ? 1 : 0;
        if (judge_pass(w->merge, table, span, true) == PassVerdict::process) {
            ++w->shown[chars_of(r)];
        }
        return;
    }
}

TEST(FrameMerge, BothPathsTogetherShowEachFrameOnce) {
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
    w.demodulator = demodulator.get();
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
    // Every frame of the pass loop is placed to the sample (also those whose
    // end a later try of the pass found, and those across a buffer's end),
    // and overlaps the receiver's frame of the same transmission: else it
    // would be shown twice.
    EXPECT_EQ(w.exact_spans, w.from_pass_loop);
    EXPECT_EQ(w.shown.size(), 40u);
    for (const auto& [chars, times] : w.shown) EXPECT_EQ(times, 1) << chars;
}

}  // namespace
}  // namespace korvad
