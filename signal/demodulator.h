#pragma once
// The turning-point MSK demodulator and its per-buffer pass loop.
//
// ACARS is 2400 bit/s MSK with tones of 1200 Hz and 2400 Hz. Without any
// filter or arithmetic beyond small compares, the detector finds where the
// waveform turns, the classifier sums two consecutive half-cycles into one
// cycle length and compares it with a threshold set, a long cycle (1200 Hz
// half) inverts the bit and a short one (2400 Hz cycle) repeats it:
//
//     samples      /\    /\  /\/\/\       turning points  ^ v ^ v ...
//                 /  \  /  \/             half-cycles     a1 a2 a3 ...
//                     \/                  cycle c = a(k) + a(k+1)
//
// Bits are assembled least-significant first into characters; from the '*'
// that ends the bit-sync sequence on, every character goes into the frame
// buffer until a cycle falls outside the data range (frame end).

#include <cstdint>

#include "signal/frame.h"

namespace korvad {

inline constexpr int kHistorySamples = 10240;  // repeated from the previous buffer
inline constexpr int kNewSamples = 40000;      // read per block
inline constexpr int kWorkBufferSize = kHistorySamples + kNewSamples;  // 50240

// Cycle lengths in samples (the same at every sample rate).
struct ThresholdSet {
    std::uint8_t preamble_min;  // before lock: shortest cycle counted as preamble
    std::uint8_t preamble_max;  // before lock: longest cycle counted as preamble
    std::uint8_t lock_min;      // after lock: a shorter cycle loses the preamble
    std::uint8_t sync_min;      // after lock: this long or longer is bit synchronisation
    std::uint8_t data_min;      // in data: a shorter cycle ends the frame
    std::uint8_t data_max;      // in data: a longer cycle ends the frame
    std::uint8_t short_max_p1;  // in data, phase 1: up to this is short
    std::uint8_t short_max_p0;  // in data, phase 0: up to this is short
};

inline constexpr int kThresholdSetCount = 7;
inline constexpr ThresholdSet kThresholdSets[kThresholdSetCount] = {
    {5, 15, 5, 17, 5, 22, 9, 13},  {5, 14, 5, 16, 4, 22, 9, 12}, {5, 10, 5, 15, 4, 22, 10, 11},
    {5, 10, 5, 16, 4, 22, 10, 13}, {5, 9, 5, 16, 4, 22, 10, 11}, {5, 9, 5, 16, 4, 22, 10, 10},
    {5, 9, 5, 16, 4, 22, 10, 9},
};

inline constexpr std::uint16_t kNoInterval = 0xFFFF;

// The demodulator state: one per decoder, living for the whole process and
// surviving from run to run, pass to pass and buffer to buffer.
struct Demodulator {
    // turning-point detector
    bool rising = false;
    std::uint8_t previous_sample = 128;
    std::uint32_t run_length = 0;  // samples since the last turning point
    int scan_position = 0;         // next sample to look at

    // interval classifier
    ThresholdSet active = kThresholdSets[0];
    std::uint16_t pending_interval = kNoInterval;
    bool searching = true;  // looking for the preamble
    int preamble_count = 0;
    int phase = 0;
    int current_bit = 0;

    // byte assembler
    std::uint8_t shift_register = 0;
    int bit_count = 0;
    bool char_sync = false;  // the '*' has been seen
    int frame_length = 0;
    std::uint8_t frame_buffer[kFrameBufferSize] = {};

    FrameTable table;  // records of the current pass

    // Where the frame of each record of the current pass ended: the work
    // buffer index of its last turning point (before 0 when that lay in an
    // earlier buffer), or kRecordEndUnknown. It tells this frame apart from
    // other decodes of the same audio; the pass loop itself does not use it.
    std::int32_t record_ends[kFrameTableSize] = {};
    // The bytes collected for each record's frame by then: after a frame's
    // end, low-level junk may still go on as characters until a cycle falls
    // out of range. kFrameBufferSize: as many as the buffer holds, or more.
    std::int32_t record_collected[kFrameTableSize] = {};
    int ended_record = -1;  // the record the latest frame end added, until scan notes its end
};

inline constexpr std::int32_t kRecordEndUnknown = INT32_MIN;

// Called for every pass that filled at least one frame record.
struct PassSink {
    void (*handle)(void* context, FrameTable& table) = nullptr;
    void* context = nullptr;
};

// The per-buffer pass loop over a 50240-sample work buffer. Up to four passes,
// each trying the seven threshold sets with hysteresis 5 down to 0 until a
// run yields a good frame. After a pass that produced records it zeroes the
// scanned start of the buffer so the repeated history cannot decode again.
void run_passes(Demodulator& d, std::uint8_t* work_buffer, const PassSink& sink);

// One run of the detector from scan_position with hysteresis n (0..5); stops
// at the buffer end or when the classifier reports a frame end.
void scan(Demodulator& d, const std::uint8_t* work_buffer, int hysteresis);
// Returns 1 when the frame ended and the scan must stop.
int classify(Demodulator& d, std::uint16_t interval);
void emit_bit(Demodulator& d, int bit);
void frame_end(Demodulator& d);

// Mean deviation from the zero level over 17 of every 256 samples.
int signal_level(const std::uint8_t* work_buffer, int first, int last);

}  // namespace korvad
