#pragma once
// The MSK receiver: a second demodulator beside the turning-point pass loop,
// built as a filtered, coherent signal chain. It runs over the audio stream
// without a break and keeps its state from buffer to buffer, so frames longer
// than the work buffer's history, frames that straddle the end of a read and
// frames in busy reads are all found; and it reads through noise that leaves
// the turning points meaningless.
//
// The chain, per stretch of audio handed in:
//
//   8-bit samples -> -128 -> low-pass and decimate by a whole factor to no
//   less than 9000/s (not at all below 18000/s)
//   -> mix down by 1800 Hz (the centre of the 1200/2400 Hz tones)
//   -> matched filter (half a sine over two bits)        = baseband y
//
//   search:  the pre-key (a steady 2400 Hz tone, +600 Hz at baseband) followed
//            by the thirteen 1200 Hz bits of '+' '*' (-600 Hz) is seen in the
//            one-bit phase step of y; the pre-key's end, '+', '*', SYN, SYN
//            are then located to an eighth of a sample by correlation with
//            their ideal waveform, which also gives carrier phase and drift.
//   track:   per bit, y is interpolated at the bit's end and turned by the
//            carrier phase and a quarter turn per bit; its real part is the
//            bit (minimum-shift keying is offset QPSK with half-sine pulses,
//            and the air's rule that a bit equal to its predecessor is one
//            2400 Hz cycle and a changed bit half a 1200 Hz cycle makes each
//            sample's sign the data bit itself). Decision-directed loops keep
//            carrier phase and bit timing.
//   frame:   characters least-significant bit first from the '*' on; at each
//            character that is ETX/ETB, or one bit from it, the frame is
//            checked, and repaired where parity, validation and the block
//            check agree, the soft decisions ranking the likely bits
//            (signal/frame_repair.h). A frame that checks is decoded with
//            decode_frame into a table of exactly one record and handed to
//            the sink; nothing else ever is.
//
// The position of each frame in the stream is reported so that the caller can
// tell it apart from a frame decoded from other audio (signal/frame_dedup.h).

#include <cstdint>
#include <memory>
#include <span>

#include "signal/demodulator.h"
#include "signal/frame.h"

namespace korvad {

inline constexpr int kMskMinSampleRate = 8000;  // samples per second
inline constexpr int kMskMaxSampleRate = 192000;

struct MskCounters {
    std::uint64_t candidates = 0;     // pre-key ends the search looked at more closely
    std::uint64_t syncs = 0;          // bit syncs found ('+' '*' SYN SYN after a pre-key)
    std::uint64_t frames = 0;         // frames handed to the sink
    std::uint64_t repaired_one = 0;   // of those, with one bit repaired
    std::uint64_t repaired_two = 0;   // of those, with two bits repaired
    std::uint64_t repaired_more = 0;  // of those, with three or more
    // Block checks spent on candidates (the frame as received among them):
    // over every bit sync, and over the repaired frames alone.
    std::uint64_t crc_trials = 0;
    std::uint64_t repaired_trials = 0;
    std::uint64_t lost = 0;  // bit syncs that never gave a frame that checked
};

struct MskChain;  // the filters, search and frame trackers (signal/msk_chain.h)

struct MskChainDeleter {
    void operator()(MskChain* chain) const;
};

struct MskReceiver {
    int sample_rate = 0;             // samples per second of the audio handed in
    std::int64_t samples_taken = 0;  // samples handed in so far: the stream position
    // Stream position (sample index since the receiver was made) one past the
    // last bit of the frame's block check sequence. Valid while the sink runs.
    std::int64_t frame_end_position = 0;
    // Bits the repair changed in that frame (0 to kMaxRepairChars + 1). Valid
    // while the sink runs.
    int frame_repaired_bits = 0;
    // The frame's soft decisions, 8 per byte from the '*' to the second BCS
    // byte (bit b of byte i at 8*i + b): the real part of the matched
    // filter's output at the bit's decision, over the amplitude of a clean
    // decision, so about +1 for a clean one and -1 for a clean zero. They are
    // as received, before any repair; '*' SYN SYN, known from the bit sync,
    // read +-1. Valid while the sink runs.
    std::span<const float> frame_soft_bits;
    // false: frames are taken only as received, never repaired (to measure
    // what the repair gives and costs).
    bool repair = true;
    MskCounters counters;
    std::unique_ptr<MskChain, MskChainDeleter> chain;
};

// A receiver for audio at sample_rate; null when the rate is outside
// kMskMinSampleRate .. kMskMaxSampleRate. Its positions count from the first
// sample handed to it: when the device is reopened at another rate, make a new
// receiver and add the stream position at which it started.
[[nodiscard]] std::unique_ptr<MskReceiver> make_msk_receiver(int sample_rate);

// Takes the next count samples of the stream (8-bit unsigned, 128 the zero
// level). For every frame whose block check passes (after repair), fills the
// receiver's own table with exactly one good record (decode_frame of the
// corrected bytes: terminated, crc 0, error_count 0) and calls sink with it,
// frame_end_position, frame_repaired_bits and frame_soft_bits set. Frames are
// handed on once they are complete, which may be during a later call than the
// one that brought their last samples.
// Allocates nothing; the table is the receiver's and is reused.
void msk_receive(MskReceiver& receiver, const std::uint8_t* samples, int count,
                 const PassSink& sink);

}  // namespace korvad
