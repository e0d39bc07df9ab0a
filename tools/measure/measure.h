#pragma once
// korvad_measure: how many of the frames sent in a synthesized recording each
// demodulator recovers exactly, alone and together, and how many wrong frames
// they let through. Used by korvad-measure and by the MSK corpus test.

#include <cstdint>
#include <string>
#include <vector>

#include "signal/msk_receiver.h"
#include "tools/synth/synth.h"

namespace korvad::measure {

struct Condition {
    std::string name;
    synth::SynthOptions options;
};

// The reception conditions of the receiver's targets, at sample_rate: clean,
// white noise over the whole band at 20, 12, 8 and 6 dB SNR, noise and signal
// band-limited to 300-3000 Hz at 12 dB, +-3000 ppm clock error, and a weak
// signal (10 % of full scale) with DC offset and 50 Hz hum; then the edge of
// range: 4 and 3 dB over the whole band, 5 dB in 300-3000 Hz, a deep slow fade
// (15-100 % at 0.7 Hz) at 18 dB, everything at once, and the airband
// receiver's audio (filters, AGC at key-up, drifting tones) at 8 and 5 dB and
// with the deep fade.
[[nodiscard]] std::vector<Condition> standard_conditions(int sample_rate);

// frames generated from seed, at random positions (straddling reads freely)
// with at least 0.1 s between them, about half the recording on the air.
[[nodiscard]] bool make_recording(const Condition& condition, int frames, std::uint64_t seed,
                                  synth::Recording& out, std::string& error);

struct PathTally {
    int exact = 0;         // sent frames recovered exactly
    int wrong = 0;         // good frames shown that were never sent
    double seconds = 0.0;  // processor time spent
};

struct Result {
    int frames = 0;
    PathTally pass_loop;   // the turning-point pass loop alone
    PathTally msk;         // the MSK receiver alone
    PathTally both;        // both, as korvad runs them, one per transmission
    int shown_twice = 0;   // frames shown more than once with both paths on
    MskCounters counters;  // the MSK receiver's own
};

// Runs the recording through the pass loop (work buffers of 10240 history and
// 40000 new samples, as korvad reads them) and through the MSK receiver (the
// same 40000 new samples, handed in before the pass loop runs), counting for
// each what korvad would show: the pass loop's first good record of a pass,
// every frame of the MSK receiver.
[[nodiscard]] Result run_recording(const synth::Recording& recording, int sample_rate);

// Noise alone, as a station hears an empty channel with the squelch open:
// Gaussian noise of noise_steps (sample steps, standard deviation), white for
// the first half and through the airband receiver's audio for the second,
// fed as korvad reads it to both paths. Every frame shown is a wrong one.
struct NoiseResult {
    std::int64_t samples = 0;
    int pass_loop = 0;  // frames the pass loop showed
    int msk = 0;        // frames the MSK receiver showed
    MskCounters counters;
    double seconds = 0.0;  // processor time of both paths
};
[[nodiscard]] NoiseResult run_noise(double audio_seconds, int sample_rate, double noise_steps,
                                    std::uint64_t seed);

// The 7-bit characters of a frame from '*' to ETX/ETB, as sent.
[[nodiscard]] std::string sent_chars(const synth::SentFrame& frame);

}  // namespace korvad::measure
