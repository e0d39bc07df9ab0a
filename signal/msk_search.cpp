// The MSK receiver's search for the bit sync: a cheap detector for the end of
// a pre-key on every baseband sample, then correlation with the ideal
// waveform of the known stretch to place it to an eighth of a sample.

#include <algorithm>
#include <cmath>

#include "signal/msk_chain.h"

namespace korvad::msk {
namespace {

constexpr std::int64_t kRebaseInterval = std::int64_t{1} << 22;  // baseband samples (7 minutes)

// Search: a steady +600 Hz tone (the pre-key) for kToneBits, then -600 Hz for
// the 13 changed bits of '+' and '*'. The last of those 13 is template bit 30.
constexpr int kToneBits = 24;
constexpr int kRunBits = 13;
constexpr int kRunLastBit = kPrekeyTemplateBits + 14;  // 30
constexpr double kTriggerLevel = 0.45;                 // of the ideal 1.0
constexpr double kPeakWaitBits = 2.0;     // after the best metric, wait this long for a better one
constexpr double kSearchSpanBits = 3.0;   // correlate this far either side of the estimate
constexpr double kSyncCorrelation = 0.6;  // normalised correlation a bit sync must reach

// The ideal baseband phase of the known stretch at time u (samples after the
// start of its first bit): a quarter turn up per bit while a bit repeats its
// predecessor (2400 Hz), a quarter turn down while it changes (1200 Hz).
// Before the stretch the pre-key goes on.
struct KnownStretch {
    std::array<double, kTemplateBits + 1> phase_at_bit{};  // phase at each bit start
    std::array<int, kTemplateBits> direction{};            // +1 or -1
};

KnownStretch known_stretch(const std::array<int, kTemplateBits>& bits) {
    KnownStretch k;
    int previous = 1;  // the pre-key is all ones
    for (int i = 0; i < kTemplateBits; ++i) {
        k.direction[i] = bits[i] == previous ? 1 : -1;
        k.phase_at_bit[i + 1] = k.phase_at_bit[i] + kQuarterTurn * k.direction[i];
        previous = bits[i];
    }
    return k;
}

double known_phase(const KnownStretch& k, double bits_from_start) {
    if (bits_from_start < 0) return kQuarterTurn * bits_from_start;
    const int i = std::min(static_cast<int>(bits_from_start), kTemplateBits - 1);
    return k.phase_at_bit[i] + kQuarterTurn * k.direction[i] * (bits_from_start - i);
}

void build_templates(MskChain& c, const std::vector<float>& taps) {
    for (int ch = 0; ch < 4; ++ch) {
        for (int b = 0; b < 8; ++b) {
            c.template_bits[kPrekeyTemplateBits + 8 * ch + b] = (kSyncChars[ch] >> b) & 1;
        }
    }
    for (int b = 0; b < kPrekeyTemplateBits; ++b) c.template_bits[b] = 1;
    const KnownStretch k = known_stretch(c.template_bits);
    // Only outputs whose filter span lies within the known stretch (or the
    // pre-key before it).
    c.template_length = static_cast<int>(std::floor(kTemplateBits * c.samples_per_bit));
    for (int p = 0; p < kTemplatePhases; ++p) {
        const double offset = static_cast<double>(p) / kTemplatePhases;
        std::vector<Complex>& t = c.templates[p];
        t.assign(static_cast<std::size_t>(c.template_length), Complex{});
        double energy = 0.0;
        for (int m = 0; m < c.template_length; ++m) {
            Complex sum{};
            for (std::size_t i = 0; i < taps.size(); ++i) {
                const double u = static_cast<double>(m) - static_cast<double>(i) - offset;
                const double phase = known_phase(k, u / c.samples_per_bit);
                sum += taps[i] * Complex(static_cast<float>(std::cos(phase)),
                                         static_cast<float>(std::sin(phase)));
            }
            t[m] = sum;
            energy += std::norm(sum);
        }
        c.template_energy[p] = energy;
    }
}

// Sum over the stretch starting at baseband index start of y * conj(template).
Complex correlation(const MskChain& c, std::int64_t start, const std::vector<Complex>& tpl) {
    float re = 0.0f, im = 0.0f;
    const int n = c.template_length;
    for (int m = 0; m < n; ++m) {
        const Complex v = times_conj(c.ring[(start + m) & kRingMask], tpl[m]);
        re += v.real();
        im += v.imag();
    }
    return {re, im};
}

// A free tracker, or the one that has waited longest for its end (its frame
// is then lost).
Tracker& free_tracker(MskReceiver& r) {
    MskChain& c = *r.chain;
    for (Tracker& t : c.trackers) {
        if (!t.active) return t;
    }
    Tracker* oldest = &c.trackers[0];
    for (Tracker& t : c.trackers) {
        if (t.sync_time < oldest->sync_time) oldest = &t;
    }
    ++r.counters.lost;
    return *oldest;
}

// Correlates the baseband with the known stretch around the search's
// estimate; on a match starts a tracker at the best offset.
void correlate(MskReceiver& r) {
    MskChain& c = *r.chain;
    ++r.counters.candidates;
    const double T = c.samples_per_bit;
    const int n = c.template_length;
    const auto first = static_cast<std::int64_t>(std::floor(c.sync_estimate - kSearchSpanBits * T));
    const auto last =
        std::min(static_cast<std::int64_t>(std::ceil(c.sync_estimate + kSearchSpanBits * T)),
                 c.newest - n + 1);
    if (c.newest - first >= kRingSize - 4) return;
    const auto energy_at = [&c, n](std::int64_t start) {
        return c.power_sum[(start + n - 1) & kRingMask] - c.power_sum[(start - 1) & kRingMask];
    };
    // Whole-sample offsets first, then eighths of a sample around the best.
    double best = 0.0;
    std::int64_t best_start = first;
    for (std::int64_t start = first; start <= last; ++start) {
        const double energy = energy_at(start);
        if (energy <= 0.0) continue;
        const double score =
            std::norm(correlation(c, start, c.templates[0])) / (energy * c.template_energy[0]);
        if (score > best) {
            best = score;
            best_start = start;
        }
    }
    const std::int64_t coarse = best_start;
    int best_phase = 0;
    Complex best_sum = correlation(c, coarse, c.templates[0]);
    for (std::int64_t start = coarse - 1; start <= coarse; ++start) {
        if (start < first) continue;
        const double energy = energy_at(start);
        if (energy <= 0.0) continue;
        for (int p = 1; p < kTemplatePhases; ++p) {
            const Complex sum = correlation(c, start, c.templates[p]);
            const double score = std::norm(sum) / (energy * c.template_energy[p]);
            if (score > best) {
                best = score;
                best_start = start;
                best_phase = p;
                best_sum = sum;
            }
        }
    }
    if (best < kSyncCorrelation * kSyncCorrelation) return;

    const double sync_time =
        static_cast<double>(best_start) + static_cast<double>(best_phase) / kTemplatePhases;
    for (const Tracker& t : c.trackers) {
        if (t.active && std::fabs(t.sync_time - sync_time) < 8 * T) return;  // already receiving it
    }
    // Carrier drift from the two halves of the stretch.
    const std::vector<Complex>& tpl = c.templates[best_phase];
    Complex first_half{}, second_half{};
    for (int m = 0; m < n; ++m) {
        const Complex v = times_conj(c.ring[(best_start + m) & kRingMask], tpl[m]);
        (m < n / 2 ? first_half : second_half) += v;
    }
    const double half_distance_bits = (n / 2.0) / T;
    const double drift =
        wrap_phase(std::arg(second_half) - std::arg(first_half)) / half_distance_bits;

    Tracker& t = free_tracker(r);
    ++r.counters.syncs;
    start_tracker(c, t, SyncFound{sync_time, best_start, best_phase, best_sum, drift});
}

// Looks at the newest baseband sample for the end of a pre-key.
void search(MskReceiver& r) {
    MskChain& c = *r.chain;
    const std::int64_t n = c.newest;
    const int tone = c.tone_window, run = c.run_window;
    if (n < tone + run + c.lag + 1) return;
    if (c.correlation_due) {
        if (n >= c.correlate_at) {
            c.correlation_due = false;
            correlate(r);
        }
        return;
    }
    const auto at = [](std::int64_t i) { return i & kRingMask; };
    const double run_mean = (c.step_sum[at(n)] - c.step_sum[at(n - run)]) / run;
    const double tone_mean = (c.step_sum[at(n - run)] - c.step_sum[at(n - run - tone)]) / tone;
    const double power = (c.power_sum[at(n)] - c.power_sum[at(n - run - tone)]) / (run + tone);
    const double metric = power > 0.0 ? (tone_mean - run_mean) / (2.0 * power) : 0.0;

    if (c.peaking) {
        if (metric > c.best_metric) {
            c.best_metric = metric;
            c.best_index = n;
        } else if (static_cast<double>(n - c.best_index) > kPeakWaitBits * c.samples_per_bit) {
            c.peaking = false;
            const double T = c.samples_per_bit;
            // The metric peaks as the 13 changed bits end, at template bit 30.
            c.sync_estimate =
                static_cast<double>(c.best_index) - (kRunLastBit + 1) * T - c.filter_delay;
            c.correlate_at = static_cast<std::int64_t>(std::ceil(
                                 c.sync_estimate + (kSearchSpanBits + kTemplateBits) * T)) +
                             2;
            c.correlation_due = true;
            c.quiet_until = c.best_index + static_cast<std::int64_t>(kTemplateBits * T);
        }
        return;
    }
    if (n >= c.quiet_until && metric > kTriggerLevel) {
        c.peaking = true;
        c.best_metric = metric;
        c.best_index = n;
    }
}

// Only differences of the running sums are used: taking the newest value off
// all of them now and then keeps their size, and so their precision, bounded
// however long korvad runs.
void rebase_sums(MskChain& c) {
    const double step = c.step_sum[c.newest & kRingMask];
    const double power = c.power_sum[c.newest & kRingMask];
    for (double& v : c.step_sum) v -= step;
    for (double& v : c.power_sum) v -= power;
}

}  // namespace

void prepare_search(MskChain& c, const std::vector<float>& taps) {
    c.ring.assign(kRingSize, Complex{});
    c.step_sum.assign(kRingSize, 0.0);
    c.power_sum.assign(kRingSize, 0.0);
    c.lag = std::max(1, static_cast<int>(std::lround(c.samples_per_bit)));
    c.tone_window = static_cast<int>(std::lround(kToneBits * c.samples_per_bit));
    c.run_window = static_cast<int>(std::lround(kRunBits * c.samples_per_bit));
    build_templates(c, taps);
}

void search_sample(MskReceiver& r, Complex y) {
    MskChain& c = *r.chain;
    const std::int64_t n = ++c.newest;
    c.ring[n & kRingMask] = y;
    const Complex w = times_conj(y, c.ring[(n - c.lag) & kRingMask]);
    const std::int64_t before = (n - 1) & kRingMask;
    c.step_sum[n & kRingMask] = c.step_sum[before] + w.imag();
    c.power_sum[n & kRingMask] = c.power_sum[before] + std::norm(y);
    if ((n & (kRebaseInterval - 1)) == 0) rebase_sums(c);
    search(r);
}

}  // namespace korvad::msk
