// The repair with soft decisions: what the search finds, what it refuses, what
// it spends, and how often frames damaged by noise come back wrong.

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "signal/frame.h"
#include "signal/frame_repair.h"
#include "tools/measure/repair_trial.h"
#include "tools/synth/random.h"
#include "tools/synth/synth.h"

namespace korvad {
namespace {

struct Sent {
    std::vector<std::uint8_t> bytes;  // '*' .. BCS
    int end = 0;
};

Sent sent_frame(std::uint64_t seed, std::size_t text_chars) {
    synth::Frame f = synth::generate_frames(seed, 1).front();
    f.text.assign(text_chars, ' ');
    for (std::size_t i = 0; i < text_chars; ++i) f.text[i] = static_cast<char>('A' + i % 26);
    Sent s;
    s.bytes = synth::frame_air_bytes(f);
    s.bytes.pop_back();  // the DEL
    s.end = static_cast<int>(s.bytes.size()) - 3;
    return s;
}

struct Damage {
    int byte, bit;
    float reliability;  // of the wrong bit as received
};

// The frame with the given bits turned over, every other bit sure (0.9).
RepairResult repair_damaged(const Sent& s, const std::vector<Damage>& damage,
                            std::vector<std::uint8_t>& bytes, RepairBudget& budget) {
    bytes = s.bytes;
    std::vector<float> soft(8 * bytes.size(), 0.9f);
    for (const Damage& d : damage) {
        bytes[static_cast<std::size_t>(d.byte)] ^= static_cast<std::uint8_t>(1u << d.bit);
        soft[static_cast<std::size_t>(8 * d.byte + d.bit)] = d.reliability;
    }
    return repair_frame_soft(bytes.data(), s.end, soft.data(), budget);
}

TEST(FrameRepairSoft, WeakBitsAreFoundWhereParityAndValidationPoint) {
    const Sent s = sent_frame(21, 60);
    struct Case {
        const char* what;
        std::vector<Damage> damage;
        RepairOutcome outcome;
        int bits;
    };
    const int text = s.end - 60;  // first text character
    const Case cases[] = {
        {"one weak bit", {{text + 3, 2, 0.1f}}, RepairOutcome::one_bit, 1},
        {"six characters, one weak bit each",
         {{5, 1, 0.2f},
          {text, 0, 0.1f},
          {text + 9, 4, 0.3f},
          {text + 20, 6, 0.05f},
          {text + 41, 3, 0.2f},
          {s.end, 1, 0.15f}},
         RepairOutcome::several_bits,
         6},
        // 'A' 0x41 -> 0x71 'q' and 'B' 0x42 -> 0x02: both hold parity; the
        // STX in the text is invalid and points at the character.
        {"two weak bits in one character",
         {{text + 1, 6, 0.1f}, {text + 1, 4, 0.2f}},
         RepairOutcome::two_bits,
         2},
        {"a weak bit in the BCS beside a damaged character",
         {{text + 5, 0, 0.1f}, {s.end + 2, 3, 0.2f}},
         RepairOutcome::two_bits,
         2},
        // Two wrong bits that leave the character valid ('C' -> 'K' flips bit
        // 3 and the parity bit): neither parity nor validation sees it, only
        // the two bits' weakness; a little surer, and it stays hidden.
        {"two weak wrong bits the character hides",
         {{text + 2, 3, 0.1f}, {text + 2, 7, 0.1f}},
         RepairOutcome::two_bits,
         2},
        {"two wrong bits the character hides",
         {{text + 2, 3, 0.4f}, {text + 2, 7, 0.4f}},
         RepairOutcome::rejected,
         0},
        {"a wrong bit received sure", {{text + 4, 2, 0.8f}}, RepairOutcome::rejected, 0},
        {"two wrong mode bits that only give another mode",
         {{4, 7, 0.4f}, {4, 0, 0.4f}},
         RepairOutcome::rejected,
         0},
    };
    for (const Case& c : cases) {
        std::vector<std::uint8_t> bytes;
        RepairBudget budget;
        const RepairResult r = repair_damaged(s, c.damage, bytes, budget);
        EXPECT_EQ(r.outcome, c.outcome) << c.what;
        EXPECT_EQ(r.bits, c.bits) << c.what;
        EXPECT_LE(r.crc_trials, kMaxCrcTrials) << c.what;
        EXPECT_EQ(budget.crc_trials_left, kMaxCrcTrials - r.crc_trials) << c.what;
        if (c.outcome != RepairOutcome::rejected) {
            EXPECT_EQ(bytes, s.bytes) << c.what;
        } else {
            std::vector<std::uint8_t> received = s.bytes;
            for (const Damage& d : c.damage) {
                received[static_cast<std::size_t>(d.byte)] ^=
                    static_cast<std::uint8_t>(1u << d.bit);
            }
            EXPECT_EQ(bytes, received) << c.what;  // left as received
        }
    }
}

TEST(FrameRepairSoft, TheWeakestBitFirstThenTheNextAndNoMoreThanTheBudget) {
    const Sent s = sent_frame(22, 40);
    const int text = s.end - 40;
    // The wrong bit is the second weakest of its character: two checks.
    std::vector<std::uint8_t> bytes = s.bytes;
    std::vector<float> soft(8 * bytes.size(), 0.9f);
    bytes[static_cast<std::size_t>(text + 7)] ^= 0x04;
    soft[static_cast<std::size_t>(8 * (text + 7) + 2)] = 0.2f;
    soft[static_cast<std::size_t>(8 * (text + 7) + 5)] = 0.1f;
    RepairBudget budget;
    RepairResult r = repair_frame_soft(bytes.data(), s.end, soft.data(), budget);
    EXPECT_EQ(r.outcome, RepairOutcome::one_bit);
    EXPECT_EQ(r.crc_trials, 2);
    EXPECT_EQ(bytes, s.bytes);

    // Damage that no candidate mends spends the whole budget once; the same
    // frame tried again (at another end) gets no further check.
    bytes = s.bytes;
    std::fill(soft.begin(), soft.end(), 0.9f);
    for (int k = 0; k < 5; ++k) {
        const auto at = static_cast<std::size_t>(text + 3 * k);
        bytes[at] ^= 0x01;  // a wrong bit received sure...
        soft[8 * at] = 0.8f;
        for (int b : {1, 2, 3}) soft[8 * at + static_cast<std::size_t>(b)] = 0.1f + 0.1f * b;
    }
    const std::vector<std::uint8_t> received = bytes;
    budget = RepairBudget{};
    r = repair_frame_soft(bytes.data(), s.end, soft.data(), budget);
    EXPECT_EQ(r.outcome, RepairOutcome::rejected);
    EXPECT_EQ(r.crc_trials, kMaxCrcTrials);
    EXPECT_EQ(budget.crc_trials_left, 0);
    r = repair_frame_soft(bytes.data(), s.end, soft.data(), budget);
    EXPECT_EQ(r.outcome, RepairOutcome::rejected);
    EXPECT_EQ(r.crc_trials, 0);
    EXPECT_EQ(bytes, received);
    // The same damage at an end whose ETX is damaged too spends no more than
    // a damaged end may, and leaves the rest for an end further on.
    bytes[static_cast<std::size_t>(s.end)] ^= 0x02;
    soft[static_cast<std::size_t>(8 * s.end + 1)] = 0.05f;
    budget = RepairBudget{};
    r = repair_frame_soft(bytes.data(), s.end, soft.data(), budget);
    EXPECT_EQ(r.outcome, RepairOutcome::rejected);
    EXPECT_EQ(r.crc_trials, kDamagedEndCrcTrials);
    EXPECT_EQ(budget.crc_trials_left, kMaxCrcTrials - kDamagedEndCrcTrials);

    // A frame as sent is taken without validation, at the cost of one check,
    // even with a label validation would refuse.
    synth::Frame odd = synth::generate_frames(23, 1).front();
    odd.label = "a$";
    std::vector<std::uint8_t> as_sent = synth::frame_air_bytes(odd);
    as_sent.pop_back();
    std::vector<float> sure(8 * as_sent.size(), 1.0f);
    budget = RepairBudget{};
    r = repair_frame_soft(as_sent.data(), static_cast<int>(as_sent.size()) - 3, sure.data(),
                          budget);
    EXPECT_EQ(r.outcome, RepairOutcome::intact);
    EXPECT_EQ(r.crc_trials, 1);
}

TEST(FrameRepairSoft, FramesDamagedByNoiseComeBackExactOrNotAtAllWithinTheBound) {
    // 20000 frames at a bit error rate of 4 %, nearly all beyond repair: a
    // false acceptance must be rarer than 1 in 10^4 damaged frames.
    const measure::RepairTrialTally heavy =
        measure::run_repair_trials(20000, {.sigma = measure::sigma_for_bit_error_rate(0.04)}, 31);
    EXPECT_GT(heavy.damaged - heavy.repaired, 17000);
    EXPECT_LT(heavy.wrong * 10000, heavy.damaged) << heavy.wrong << " wrong";
    EXPECT_LE(heavy.crc_trials, static_cast<long>(kMaxCrcTrials) * heavy.frames);
    // At 0.5 % most damaged frames are mended, none wrongly.
    const measure::RepairTrialTally light =
        measure::run_repair_trials(4000, {.sigma = measure::sigma_for_bit_error_rate(0.005)}, 32);
    EXPECT_GT(light.repaired, light.damaged * 85 / 100)
        << light.repaired << " of " << light.damaged;
    EXPECT_EQ(light.wrong, 0);
    EXPECT_LT(light.repaired_trials, 2L * light.repaired);

    // An ideal receiver in a deep slow fade (15-100 % at 0.7 Hz): 18 dB above
    // the noise unfaded leaves the troughs at 1.5 dB, and some frames are lost
    // there to more damage than the repair may take on; 18 dB over the mean
    // power leaves them at 5.3 dB, and nearly all come through. None wrong.
    synth::SynthOptions fading;
    fading.snr_db = 18.0;
    fading.fade_low = 0.15;
    fading.fade_hz = 0.7;
    const measure::RepairTrialTally rated_unfaded =
        measure::run_repair_trials(2000, measure::ideal_channel(fading), 33);
    fading.average_snr = true;
    const measure::RepairTrialTally rated_mean =
        measure::run_repair_trials(2000, measure::ideal_channel(fading), 33);
    const int through_unfaded = rated_unfaded.repaired + rated_unfaded.intact;
    const int through_mean = rated_mean.repaired + rated_mean.intact;
    EXPECT_LT(through_unfaded, 2000 * 95 / 100);
    EXPECT_GT(through_unfaded, 2000 * 75 / 100);
    EXPECT_GT(through_mean, 2000 * 99 / 100);
    EXPECT_EQ(rated_unfaded.wrong + rated_mean.wrong, 0);
}

}  // namespace
}  // namespace korvad
