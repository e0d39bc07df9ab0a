#pragma once
// Recent good frames from both demodulators, so that a frame decoded from the
// same audio by the pass loop and by the MSK receiver is shown once.
//
// Each path reports a frame with a stream position (samples since start-up):
// the MSK receiver the end of the frame's block check sequence, the pass loop
// the end of the new samples of the buffer it decoded the frame from. The two
// lie at most a work buffer plus one frame apart. A frame whose record equals
// one admitted within `window` samples of its position is a repeat; every
// other frame is admitted and remembered.
//
// The key is the record's characters from '*' to its ETX/ETB (bytes 0 ..
// end_index, at most the 513 a record keeps) with end_index itself: both
// paths fill records with decode_frame, so the same frame gives the same key.
// A transmitter that sends the very same block again within the window (a
// retransmission) is taken as a repeat too; message processing's own repeat
// check would mostly drop it as well.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

#include "signal/frame.h"

namespace korvad {

// Remembered frames are dropped once they are this many windows behind the
// newest position; at most this many are kept whatever the positions say.
inline constexpr std::size_t kMaxRememberedFrames = 4096;

struct FrameDeduplicator {
    struct Entry {
        std::int64_t position = 0;
        std::string key;
    };
    std::int64_t window = 0;    // samples
    std::deque<Entry> entries;  // in the order admitted
};

// A deduplicator remembering frames for `seconds` of audio at sample_rate.
[[nodiscard]] FrameDeduplicator make_frame_deduplicator(int sample_rate, int seconds);

// True when the record is new (and now remembered), false for a repeat of a
// frame admitted within the window around position.
[[nodiscard]] bool admit_frame(FrameDeduplicator& dedup, const FrameRecord& record,
                               std::int64_t position);

// For a pass of the pass loop: false when the record message processing would
// take as good (the first with error_count 0, terminated and crc 0) is a
// repeat, so the pass is not processed. A pass without a good record goes
// through (shown as failed, or counted and analysed as faulty) unless the
// record processing would use has the header (characters 4 to 16, and to 26
// for a downlink; 4 to 14 for a faulty frame) of a frame admitted within the
// window: then it is a damaged copy of a frame already shown, and false.
[[nodiscard]] bool admit_pass(FrameDeduplicator& dedup, const FrameTable& table,
                              std::int64_t position);

// For a pass without a good record: true when the record message processing
// would use has the header of a frame admitted within the window (for a
// faulty frame, whose header is itself in doubt: its mode, address,
// acknowledgement and label, characters 4 to 14).
[[nodiscard]] bool is_damaged_copy(const FrameDeduplicator& dedup, const FrameTable& table,
                                   std::int64_t position);

}  // namespace korvad
