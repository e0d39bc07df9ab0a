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
//   pass loop      knows only the work buffer a frame came out of (its record
//                  may have been collected by an earlier try of the same
//                  pass); so its frame lies within the buffer's 50240
//                  samples, or starts up to one frame before them.
//
//        stream -->   [------ work buffer of the pass -------]E
//        pass frame:  somewhere in here (or starting before)
//        MSK frame:               [*..BCS]   overlaps: the same transmission
//                                            if the characters agree too
//
// Within a pass's stretch other transmissions may lie, so an overlap alone
// does not make two decodes one: a good frame must also have the same
// characters (bytes 0 .. end_index, end_index itself), a pass without a good
// record the header of the MSK frame it overlaps. Frames of one path are never
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
};

[[nodiscard]] inline bool spans_overlap(StreamSpan a, StreamSpan b) {
    return a.first <= b.last && b.first <= a.last;
}

// Where a frame of the MSK receiver lies: its '*' to bcs_end, the receiver's
// frame_end_position in stream samples.
[[nodiscard]] StreamSpan msk_frame_span(const FrameRecord& record, std::int64_t bcs_end,
                                        int sample_rate);

// Where a frame of the pass loop may lie: within the work buffer whose last
// new sample is stream sample buffer_end - 1, or starting up to the record's
// own length before it.
[[nodiscard]] StreamSpan pass_frame_span(const FrameRecord* record, std::int64_t buffer_end,
                                         int sample_rate);

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
// receiver (is_damaged_copy); otherwise held while a receiver runs, and
// processed at once when none does.
[[nodiscard]] PassVerdict judge_pass(FrameMerge& merge, const FrameTable& table, StreamSpan span,
                                     bool receiver_running);

// For a pass without a good record: true when a frame of the MSK receiver
// overlaps span and the record message processing would use has its header
// (characters 4 to 16, and to 26 for a downlink) or, for a faulty frame whose
// header is itself in doubt, its aircraft and label (4 to 14). A held pass
// for which this is false after the receiver's next buffer is processed.
[[nodiscard]] bool is_damaged_copy(const FrameMerge& merge, const FrameTable& table,
                                   StreamSpan span);

}  // namespace korvad
