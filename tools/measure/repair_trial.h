#pragma once
// The repair's false acceptance, measured without the receiver: good frames
// damaged as the noise damages them - every bit's soft decision the clean
// +-1 plus Gaussian noise, hard decisions from its sign, reliabilities from
// its size - followed by noise alone where the transmitter stopped, and
// checked as the MSK receiver checks them: at every character that may end
// the frame, with one RepairBudget for the whole frame, giving up after
// kMaxRepairChars parity faults.

#include <cstdint>

#include "tools/synth/synth.h"

namespace korvad::measure {

struct RepairTrialTally {
    int frames = 0;
    int damaged = 0;           // at least one wrong bit from SOH to the BCS
    int repaired = 0;          // damaged, and given back exactly as sent
    int wrong = 0;             // given back, but not as sent: a false acceptance
    int intact = 0;            // undamaged and taken as received
    long crc_trials = 0;       // block checks spent over all frames
    long repaired_trials = 0;  // of those, by the frames repaired
};

// What the frames go through: noise of standard deviation sigma against a clean
// decision of 1 at full level, and optionally a slow fade of the signal (not
// of the noise) between fade_low and fade_high of that level, fade_hz times a
// second, each frame starting at a random point of it. The receiver is taken
// as ideal: it knows carrier, timing and the faded level exactly, so its soft
// decisions are the received values over the level of the moment.
struct TrialChannel {
    double sigma = 0.0;
    double fade_low = 1.0;
    double fade_high = 1.0;
    double fade_hz = 0.0;  // 0: no fading
};

// frames generated from seed, each damaged by the channel; returns the tally.
[[nodiscard]] RepairTrialTally run_repair_trials(int frames, const TrialChannel& channel,
                                                 std::uint64_t seed);

// The noise, against a clean decision of 1, of a signal at snr_db over the
// noise in a band of band_hz: an ideal MSK receiver's soft decisions at 2400
// bit/s then have Eb/N0 = SNR x band / 2400.
[[nodiscard]] double sigma_for_snr(double snr_db, double band_hz);

// What an ideal receiver makes of a recording synthesized with these options:
// their noise (the SNR in the synthesizer's band, over the unfaded signal or
// its mean power) and their fade; nothing else of them.
[[nodiscard]] TrialChannel ideal_channel(const synth::SynthOptions& options);

// The noise that turns a fraction ber of the bits over.
[[nodiscard]] double sigma_for_bit_error_rate(double ber);

}  // namespace korvad::measure
