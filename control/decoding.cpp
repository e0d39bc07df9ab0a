// Both demodulators over each buffer, one message per transmission.

#include "control/decoding.h"

#include <algorithm>
#include <vector>

#include "control/decoder.h"

namespace korvad {
namespace {

// Samples per second of the audio in the work buffer.
int current_rate(const Decoder& d) {
    return d.msk ? d.msk->sample_rate : d.settings.sample_rate;
}

// What the feed tells of a frame that ends before work buffer index end: its
// level over the samples from the '*' to the end of the block check (8 bits
// of 2400 per second each), as far as the buffer still holds them.
FrameFacts frame_facts(const Decoder& d, const FrameRecord& record, std::int64_t end,
                       int repaired_bits) {
    FrameFacts f;
    f.timestamp = d.buffer_time;
    f.repaired_bits = repaired_bits;
    if (d.messages.feed == nullptr) return f;  // no feed, no need for the level
    const std::int64_t characters = std::clamp(record.end_index, 0, kFrameBufferSize) + 3;
    const std::int64_t length = characters * 8 * current_rate(d) / 2400;
    const std::int64_t last = std::clamp<std::int64_t>(end, 0, kWorkBufferSize);
    const std::int64_t first = std::clamp<std::int64_t>(end - length, 0, last);
    f.level_db = audio_level_db(d.state.work_buffer.get() + first, static_cast<int>(last - first));
    return f;
}

// A frame of the MSK receiver: always a good one.
void on_msk_frame(void* context, FrameTable& table) {
    Decoder& d = *static_cast<Decoder*>(context);
    const FrameRecord& record = table.records[0];
    const std::int64_t end = d.msk_origin + d.msk->frame_end_position;
    if (!admit_frame(d.merge, record, msk_frame_span(record, end, d.msk->sample_rate),
                     FramePath::msk)) {
        return;
    }
    // The receiver takes the buffer's new samples, which follow its history.
    d.messages.frame = frame_facts(d, record, end - d.new_samples_start + kHistorySamples,
                                   d.msk->frame_repaired_bits);
    process_message(d.messages, table);
}

// A pass of the pass loop: processed unless the receiver decoded the same
// transmission. One without a good record waits for the receiver's next
// buffer.
void on_pass(void* context, FrameTable& table) {
    Decoder& d = *static_cast<Decoder*>(context);
    // The pass loop stops where the frame ended; it repairs nothing.
    const FrameRecord* record = least_faulty(table);
    const FrameFacts facts =
        record != nullptr ? frame_facts(d, *record, d.demodulator->scan_position, 0) : FrameFacts{};
    const RecordChoice choice = choose_record(table);
    const FrameRecord* spanned = choice.record != nullptr ? choice.record : record;
    const StreamSpan span = pass_frame_span(spanned, pass_record_place(*d.demodulator, spanned),
                                            d.stream_position, current_rate(d));
    switch (judge_pass(d.merge, table, span, d.msk != nullptr)) {
        case PassVerdict::drop:
            return;
        case PassVerdict::hold: {
            if (d.held.size() <= d.held_count) d.held.emplace_back();
            Decoder::HeldPass& h = d.held[d.held_count++];
            *h.table = table;
            h.now = d.state.now;
            h.span = span;
            h.frame = facts;
            return;
        }
        case PassVerdict::process:
            d.messages.frame = facts;
            process_message(d.messages, table);
            return;
    }
}

}  // namespace

void release_held_passes(Decoder& d) {
    if (d.held_count == 0) return;
    d.messages.options = message_options(d.settings);
    const std::time_t now = d.messages.now;
    for (std::size_t i = 0; i < d.held_count; ++i) {
        Decoder::HeldPass& h = d.held[i];
        if (is_damaged_copy(d.merge, *h.table, h.span)) continue;
        d.messages.now = h.now;
        d.messages.frame = h.frame;
        process_message(d.messages, *h.table);
    }
    d.held_count = 0;
    d.messages.now = now;
}

void decode_buffer(Decoder& d) {
    d.messages.now = d.state.now;
    d.messages.options = message_options(d.settings);
    std::uint8_t* work = d.state.work_buffer.get();
    // The receiver takes the new samples before the pass loop zeroes any.
    d.new_samples_start = d.stream_position;
    if (d.msk) msk_receive(*d.msk, work + kHistorySamples, kNewSamples, PassSink{on_msk_frame, &d});
    release_held_passes(d);
    d.stream_position += kNewSamples;
    run_passes(*d.demodulator, work, PassSink{on_pass, &d});
}

void finish_decoding(Decoder& d) {
    if (d.msk) {
        // A tenth of a second of the zero level completes any frame whose
        // last bits came with the last buffer.
        const std::vector<std::uint8_t> silence(static_cast<std::size_t>(d.msk->sample_rate / 10),
                                                128);
        d.messages.options = message_options(d.settings);
        msk_receive(*d.msk, silence.data(), static_cast<int>(silence.size()),
                    PassSink{on_msk_frame, &d});
    }
    release_held_passes(d);
}

void start_msk_receiver(Decoder& d, int sample_rate) {
    finish_decoding(d);
    d.msk = make_msk_receiver(sample_rate);
    // Stream positions go on across receivers: what the merge remembers
    // still tells the transmissions apart.
    d.msk_origin = d.stream_position;
}

}  // namespace korvad
