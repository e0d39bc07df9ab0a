#pragma once
// One message per transmission: the pass loop and the MSK receiver decode the
// same audio, and a transmission that both decode is processed once.
//
// A transmission is told by where it lies in the audio stream (samples since
// start-up), never by its text alone: an aircraft that sends the very same
// block again ten seconds later has made a new transmission, and message
// processing's own repeat check decides about it.
//
//   MSK receiver   knows each frame to the sample: from its '*' to the end of
//                  its block check sequence.
//   pass loop      knows where each record's frame ended (its last turning
//                  point, Demodulator::record_ends), and so where it began,
//                  to a few samples. Where that is not known, the frame lies
//                  within the work buffer's 50240 samples, or starts up to one
//                  frame before them.
//
//        stream -->   [------ work buffer of the pass -------]E
//        pass frame:          [*....DEL]      (or somewhere in the buffer)
//        MSK frame:            [*..BCS]       overlaps: the same transmission
//
// One channel carries one transmission at a time, so frames that overlap are
// one transmission: a faulty pass that overlaps a frame of the MSK receiver
// is a damaged copy of it, whatever its damaged header says. A good frame of
// one path must also have the same characters as the other path's (bytes
// 0 .. end_index, end_index itself), and where the pass loop's span is only
// its buffer, a faulty pass the header of the MSK frame it overlaps: there
// other transmissions may lie within the span. Frames of one path are never
// compared with each other: what the pass loop decodes twice, message
// processing's repeat check drops as it always has; the MSK receiver decodes
// no transmission twice.
//
// A pass without a good record waits one buffer (held): the receiver may
// still be collecting the end of the same transmission, whose good frame then
// replaces the damaged copy.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

#include "signal/demodulator.h"
#include "signal/frame.h"

namespace korvad {

// A stretch of the audio stream, samples first .. last inclusive.
struct StreamSpan {
    std::int64_t first = 0;
    std::int64_t last = 0;
    bool exact = true;  // false: only somewhere in there (a pass loop frame of unknown end)
};

[[nodiscard]] inline bool spans_overlap(StreamSpan a, StreamSpan b) {
    return a.first <= b.last && b.first <= a.last;
}

// Where a frame of the MSK receiver lies: its '*' to bcs_end, the receiver's
// frame_end_position in stream samples.
[[nodiscard]] StreamSpan msk_frame_span(const FrameRecord& record, std::int64_t bcs_end,
                                        int sample_rate);

// Where the demodulator's frame of a record ended (Demodulator::record_ends,
// record_collected).
struct PassPlace {
    std::int32_t end = kRecordEndUnknown;  // work buffer index of its last turning point
    std::int32_t collected = 0;            // bytes collected up to there
};

// Where a frame of the pass loop lies, from the work buffer whose last new
// sample is stream sample buffer_end - 1: as long as the record ('*' to DEL,
// or what was collected of a frame without ETX/ETB), ending where the place
// says less what was collected after the DEL. With no
// place known (or no record), somewhere within that buffer or starting up to
// the record's own length before it (not exact).
[[nodiscard]] StreamSpan pass_frame_span(const FrameRecord* record, PassPlace place,
                                         std::int64_t buffer_end, int sample_rate);

// The place of a record of the demodulator's table (null: unknown).
[[nodiscard]] PassPlace pass_record_place(const Demodulator& d, const FrameRecord* record);

enum class FramePath { pass_loop, msk };

// Remembered frames are dropped once they lie this far behind the newest
// span; at most kMaxRememberedFrames are kept whatever the spans say.
inline constexpr std::int64_t kMergeHorizonSamples = 4 * kWorkBufferSize;
inline constexpr std::size_t kMaxRememberedFrames = 4096;

struct FrameMerge {
    struct Entry {
        StreamSpan span;
        FramePath path = FramePath::msk;
        std::string key;  // end_index (4 bytes) and the characters 0 .. end_index
    };
    std::deque<Entry> entries;  // in the order admitted
};

// A good frame of either path: false when it is the same transmission as a
// frame of the other path admitted before (overlapping, same characters);
// otherwise true, and remembered.
[[nodiscard]] bool admit_frame(FrameMerge& merge, const FrameRecord& record, StreamSpan span,
                               FramePath path);

// What to do with a pass of the pass loop.
enum class PassVerdict {
    process,  // to message processing now
    hold,     // without a good record: wait for the receiver's next buffer
    drop,     // the same transmission as a frame the receiver decoded
};

// A pass whose frame lies within span. A pass with a good record (the first
// with error_count 0, terminated and crc 0) is admitted as admit_frame says.
// One without is dropped when it is a damaged copy of a frame of the MSK
// receiver (is_damaged_copy); otherwise held while a receiver runs (the
// receiver may still be completing the same transmission), and processed at
// once when none does.
[[nodiscard]] PassVerdict judge_pass(FrameMerge& merge, const FrameTable& table, StreamSpan span,
                                     bool receiver_running);

// For a pass without a good record: true when a frame of the MSK receiver
// overlaps span, and, where span is not exact, the record message processing
// would use has that frame's header (characters 4 to 16, and to 26 for a
// downlink) or, for a faulty frame whose header is itself in doubt, its
// aircraft and label (4 to 14). A held pass for which this is false after the
// receiver's next buffer is processed.
[[nodiscard]] bool is_damaged_copy(const FrameMerge& merge, const FrameTable& table,
                                   StreamSpan span);

}  // namespace korvad
