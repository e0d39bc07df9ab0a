#pragma once
// The repair's false acceptance, measured without the receiver: good frames
// damaged as the noise damages them - every bit's soft decision the clean
// +-1 plus Gaussian noise, hard decisions from its sign, reliabilities from
// its size - followed by noise alone where the transmitter stopped, and
// checked as the MSK receiver checks them: at every character that may end
// the frame, with one RepairBudget for the whole frame, giving up after
// kMaxRepairChars parity faults.

#include <cstdint>

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

// frames generated from seed, each damaged with noise of standard deviation
// sigma (the clean decision being 1); returns the tally.
[[nodiscard]] RepairTrialTally run_repair_trials(int frames, double sigma, std::uint64_t seed);

// The noise that turns a fraction ber of the bits over.
[[nodiscard]] double sigma_for_bit_error_rate(double ber);

}  // namespace korvad::measure
