// Good frames damaged by noise, soft decisions included, checked as the MSK
// receiver checks them.

#include "tools/measure/repair_trial.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "signal/frame.h"
#include "signal/frame_repair.h"
#include "tools/synth/random.h"
#include "tools/synth/synth.h"

namespace korvad::measure {
namespace {

constexpr int kOpeningBytes = 3;    // '*' SYN SYN: known from the bit sync
constexpr int kTrailingBytes = 40;  // noise alone after the transmitter stopped
constexpr std::uint64_t kNoiseStream = 7;

struct Received {
    std::vector<std::uint8_t> bytes;
    std::vector<float> reliability;
};

constexpr double kBitRate = 2400.0;

// sent: '*' .. BCS; then DEL and noise. The frame's first bit lies at start
// seconds into the fade.
Received receive(const std::vector<std::uint8_t>& sent, const TrialChannel& channel, double start,
                 synth::Random& noise) {
    synth::SynthOptions fading;
    fading.fade_low = channel.fade_low;
    fading.fade_high = channel.fade_high;
    fading.fade_hz = channel.fade_hz;
    Received r;
    const std::size_t total = sent.size() + 1 + kTrailingBytes;
    r.bytes.assign(total, 0);
    r.reliability.assign(8 * total, 1.0f);
    for (std::size_t i = 0; i < total; ++i) {
        const bool signal = i < sent.size() + 1;
        const std::uint8_t byte = i < sent.size() ? sent[i] : 0x7F;
        for (int b = 0; b < 8; ++b) {
            const double clean = signal ? (((byte >> b) & 1) != 0 ? 1.0 : -1.0) : 0.0;
            const double level = synth::fade_factor(
                fading,
                start + static_cast<double>(8 * i + static_cast<std::size_t>(b)) / kBitRate);
            double y = clean;
            if (i >= kOpeningBytes) y += channel.sigma / std::max(level, 1e-6) * noise.gaussian();
            if (y >= 0.0) r.bytes[i] = static_cast<std::uint8_t>(r.bytes[i] | (1u << b));
            r.reliability[8 * i + static_cast<std::size_t>(b)] =
                static_cast<float>(std::min(2.0, std::fabs(y)));
        }
    }
    return r;
}

}  // namespace

double sigma_for_bit_error_rate(double ber) {
    // Q(1 / sigma) = ber, Q inverted by bisection.
    double lo = 0.0, hi = 10.0;
    for (int i = 0; i < 100; ++i) {
        const double x = (lo + hi) / 2.0;
        (0.5 * std::erfc(x / std::sqrt(2.0)) > ber ? lo : hi) = x;
    }
    return 1.0 / lo;
}

double sigma_for_snr(double snr_db, double band_hz) {
    const double eb_n0 = std::pow(10.0, snr_db / 10.0) * band_hz / kBitRate;
    return 1.0 / std::sqrt(2.0 * eb_n0);
}

TrialChannel ideal_channel(const synth::SynthOptions& options) {
    TrialChannel c;
    c.fade_low = options.fade_low;
    c.fade_high = options.fade_high;
    c.fade_hz = options.fade_hz;
    double snr = options.snr_db.value_or(100.0);
    // Rated on the mean power, the unfaded signal stands higher above the
    // same noise by the inverse of that share.
    if (options.average_snr && options.fade_hz > 0.0) {
        snr -= 10.0 * std::log10(synth::mean_fade_power(options.fade_low, options.fade_high));
    }
    c.sigma = sigma_for_snr(snr, synth::kNoiseBandHighHz - synth::kNoiseBandLowHz);
    return c;
}

RepairTrialTally run_repair_trials(int frames, const TrialChannel& channel, std::uint64_t seed) {
    RepairTrialTally tally;
    synth::Random noise(seed, kNoiseStream);
    const std::vector<synth::Frame> list = synth::generate_frames(seed, frames);
    for (const synth::Frame& f : list) {
        std::vector<std::uint8_t> sent = synth::frame_air_bytes(f);
        sent.pop_back();  // the DEL
        const int end = static_cast<int>(sent.size()) - 3;
        const double start = channel.fade_hz > 0.0 ? noise.uniform() / channel.fade_hz : 0.0;
        Received r = receive(sent, channel, start, noise);
        ++tally.frames;
        const bool damaged = !std::equal(sent.begin(), sent.end(), r.bytes.begin());
        tally.damaged += damaged ? 1 : 0;
        // The receiver waits for SOH, taking it one bit wrong.
        if (__builtin_popcount(r.bytes[3] ^ kSoh) > 1) continue;
        r.bytes[3] = kSoh;
        RepairBudget budget;
        int faults = 0;
        const int last = static_cast<int>(r.bytes.size()) - 3;
        for (int i = 4; i <= last; ++i) {
            if (!parity_ok(r.bytes[i]) && ++faults > kMaxRepairChars) break;
            if (i < kMinFrameEnd || !may_end_frame(r.bytes[i])) continue;
            const RepairResult result =
                repair_frame_soft(r.bytes.data(), i, r.reliability.data(), budget);
            tally.crc_trials += result.crc_trials;
            if (result.outcome == RepairOutcome::rejected) continue;
            const bool exact = i == end && std::equal(sent.begin(), sent.end(), r.bytes.begin());
            if (!exact) {
                ++tally.wrong;
            } else if (damaged) {
                ++tally.repaired;
                tally.repaired_trials += kMaxCrcTrials - budget.crc_trials_left;
            } else {
                ++tally.intact;
            }
            break;
        }
    }
    return tally;
}

}  // namespace korvad::measure
