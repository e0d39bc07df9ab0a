// The MSK receiver: filters and decimation, the search for the bit sync, the
// coherent per-bit trackers, and frame assembly with check and repair.

#include "signal/msk_receiver.h"

#include <complex>
// liquid-dsp uses std::complex when <complex> comes first.
#include <liquid/liquid.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <numbers>
#include <vector>

#include "signal/frame_repair.h"

namespace korvad {

using Complex = std::complex<float>;

namespace {

constexpr double kBitRate = 2400.0;    // bit/s
constexpr double kCarrierHz = 1800.0;  // centre of the 1200 and 2400 Hz tones
constexpr double kPi = std::numbers::pi;
constexpr double kQuarterTurn = kPi / 2.0;
constexpr int kMinDecimatedRate = 9000;         // decimate down to no less than this (samples/s)
constexpr float kDecimatorAttenuation = 50.0f;  // dB

// Baseband history: every tracker and the search look back at most a few
// hundred samples behind the newest one; a block adds kBlockOutputs.
constexpr int kRingSize = 8192;
constexpr int kRingMask = kRingSize - 1;
constexpr int kBlockInputs = 4096;
constexpr std::int64_t kRebaseInterval = std::int64_t{1} << 22;  // baseband samples (7 minutes)

// The known stretch that opens every block on the air: the last pre-key bits
// (all ones), '+' and '*' (bit sync), SYN SYN (character sync).
constexpr int kPrekeyTemplateBits = 16;
constexpr std::uint8_t kSyncChars[] = {0xAB, 0x2A, 0x16, 0x16};  // '+' '*' SYN SYN, parity in bit 7
constexpr int kTemplateBits = kPrekeyTemplateBits + 8 * 4;       // 48
constexpr int kTemplatePhases = 8;  // sub-sample offsets tried: eighths of a sample

// Search: a steady +600 Hz tone (the pre-key) for kToneBits, then -600 Hz for
// the 13 changed bits of '+' and '*'. The last of those 13 is template bit 30.
constexpr int kToneBits = 24;
constexpr int kRunBits = 13;
constexpr int kRunLastBit = kPrekeyTemplateBits + 14;  // 30
constexpr double kTriggerLevel = 0.45;                 // of the ideal 1.0
constexpr double kPeakWaitBits = 2.0;     // after the best metric, wait this long for a better one
constexpr double kSearchSpanBits = 3.0;   // correlate this far either side of the estimate
constexpr double kSyncCorrelation = 0.6;  // normalised correlation a bit sync must reach
constexpr int kMaxTemplateErrors = 6;     // decisions in the known stretch that may disagree

// Trackers: one per frame being received.
constexpr int kTrackers = 4;
constexpr int kMaxFaultyChars = 2;  // characters with a parity fault that a frame may carry

// Loop gains per bit. Carrier: second order, loop bandwidth about 2 % of the
// bit rate. Timing: second order, about 1 %.
constexpr double kPhaseGain = 0.05;
constexpr double kFrequencyGain = 0.0015;
constexpr double kTimingGain = 0.03;
constexpr double kPeriodGain = 0.0004;
constexpr double kAmplitudeGain = 0.01;
constexpr double kMaxPeriodError = 0.03;  // a bit may be this much longer or shorter (3 %)

struct FirDecimatorDeleter {
    void operator()(firdecim_rrrf_s* q) const { firdecim_rrrf_destroy(q); }
};
struct NcoDeleter {
    void operator()(nco_crcf_s* q) const { nco_crcf_destroy(q); }
};
struct FirFilterDeleter {
    void operator()(firfilt_crcf_s* q) const { firfilt_crcf_destroy(q); }
};

double wrap_phase(double p) {
    p = std::fmod(p, 2.0 * kPi);
    if (p > kPi) p -= 2.0 * kPi;
    if (p < -kPi) p += 2.0 * kPi;
    return p;
}

// a * conj(b), written out: std::complex's product guards against NaN and
// infinity at a cost the inner loops cannot afford.
inline Complex times_conj(Complex a, Complex b) {
    return {a.real() * b.real() + a.imag() * b.imag(), a.imag() * b.real() - a.real() * b.imag()};
}

// Four-point Lagrange interpolation of the baseband at fractional index t,
// with its derivative (per sample).
struct Interpolated {
    Complex value;
    Complex slope;
};

}  // namespace

// One frame in reception: from the bit sync to the check of its end.
struct Tracker {
    bool active = false;
    double sync_time = 0.0;      // baseband index of the template's first bit start
    double t = 0.0;              // baseband index of the next decision (end of bit k)
    double period = 0.0;         // samples per bit
    double phase = 0.0;          // carrier phase at the next decision, quarter turns excluded
    double frequency = 0.0;      // carrier drift, radians per bit
    double amplitude = 0.0;      // real part of a clean decision
    double decision_time = 0.0;  // baseband index of the latest decision
    int k = 0;                   // bits decided since the template start
    int template_errors = 0;

    // Delayed phase error: bit k-1's sample waits for bit k's decision.
    int bit_before_last = 1;
    int last_bit = 1;
    Complex last_sample{};

    // Frame assembly from the '*' on.
    std::vector<std::uint8_t> bytes;  // kFrameBufferSize
    std::vector<float> reliability;   // 8 per byte
    int length = 0;
    std::uint8_t shift = 0;
    int bit_count = 0;
    int faulty_chars = 0;  // parity faults in bytes 4 .. length-3
    bool four_syn = false;
};

struct MskChain {
    int decimation = 1;
    double rate = 0.0;              // baseband samples per second
    double samples_per_bit = 0.0;   // T
    double filter_delay = 0.0;      // matched filter group delay, samples
    double decimator_delay = 0.0;   // decimator group delay, input samples
    double pulse_peak = 0.0;        // matched filter output of a unit pulse at its peak
    double timing_curvature = 0.0;  // (pi / 2T)^2: the peak's curvature per sample^2

    std::unique_ptr<firdecim_rrrf_s, FirDecimatorDeleter> decimator;
    std::unique_ptr<nco_crcf_s, NcoDeleter> nco;
    std::unique_ptr<firfilt_crcf_s, FirFilterDeleter> matched;

    // Work arrays for one block.
    std::vector<float> input;  // pending input samples not yet a full decimation group
    int pending = 0;
    std::vector<float> decimated;
    std::vector<Complex> mixed;
    std::vector<Complex> filtered;

    // Baseband history and the search's running sums.
    std::vector<Complex> ring;
    std::vector<double> step_sum;   // cumulative Im(y[n] conj(y[n-lag]))
    std::vector<double> power_sum;  // cumulative |y[n]|^2
    std::int64_t newest = -1;       // index of the newest baseband sample
    int lag = 4;                    // one bit, whole samples
    int tone_window = 0, run_window = 0;

    // Search state.
    bool peaking = false;
    double best_metric = 0.0;
    std::int64_t best_index = 0;
    std::int64_t quiet_until = 0;  // no new trigger before this index
    bool correlation_due = false;
    std::int64_t correlate_at = 0;  // newest index needed by the correlation
    double sync_estimate = 0.0;     // estimated template start

    // The ideal baseband of the known stretch after the matched filter, one
    // copy per sub-sample offset, and the known bits.
    std::array<std::vector<Complex>, kTemplatePhases> templates;
    std::array<double, kTemplatePhases> template_energy{};
    std::array<int, kTemplateBits> template_bits{};
    int template_length = 0;

    std::array<Tracker, kTrackers> trackers;
    FrameTable table;
    std::vector<std::uint8_t> frame;  // the corrected frame as decode_frame takes it
};

void MskChainDeleter::operator()(MskChain* chain) const {
    delete chain;
}

namespace {

Interpolated interpolate(const MskChain& c, double t) {
    const auto i = static_cast<std::int64_t>(std::floor(t));
    const auto mu = static_cast<float>(t - static_cast<double>(i));
    const Complex a = c.ring[(i - 1) & kRingMask], b = c.ring[i & kRingMask],
                  d = c.ring[(i + 1) & kRingMask], e = c.ring[(i + 2) & kRingMask];
    const float m2 = mu * mu, m3 = m2 * mu;
    const float wa = -(m3 - 3 * m2 + 2 * mu) / 6, wb = (m3 - 2 * m2 - mu + 2) / 2,
                wd = -(m3 - m2 - 2 * mu) / 2, we = (m3 - mu) / 6;
    const float sa = -(3 * m2 - 6 * mu + 2) / 6, sb = (3 * m2 - 4 * mu - 1) / 2,
                sd = -(3 * m2 - 2 * mu - 2) / 2, se = (3 * m2 - 1) / 6;
    return {wa * a + wb * b + wd * d + we * e, sa * a + sb * b + sd * d + se * e};
}

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

void release_tracker(Tracker& t) {
    t.active = false;
    t.length = 0;
}

// Hands a checked frame to the sink as a table of one good record.
bool deliver(MskReceiver& r, Tracker& t, int end, RepairOutcome outcome, const PassSink& sink) {
    MskChain& c = *r.chain;
    // As the pass loop would collect it: up to the BCS, then the DEL that
    // closes every block (so a block without text still reaches 20 bytes).
    c.frame.assign(t.bytes.begin(), t.bytes.begin() + end + 3);
    c.frame.push_back(kDel);
    c.table.clear();
    c.table.frame_good = false;
    decode_frame(c.table, c.frame.data(), static_cast<int>(c.frame.size()));
    const FrameRecord& rec = c.table.records[0];
    if (c.table.count != 1 || !c.table.frame_good || rec.terminated == 0 || rec.crc != 0 ||
        rec.error_count != 0 || rec.end_index != end) {
        return false;  // cannot happen for a frame that passed repair_frame
    }
    // The end of the last BCS bit, the latest decision, from baseband index
    // back to input samples.
    const double bcs_end = t.decision_time - c.filter_delay;
    // The decimator's output j is its filter centred on input sample j*D
    // (liquid computes it as the first of the D samples comes in).
    const double input_position = bcs_end * c.decimation - c.decimator_delay;
    r.frame_end_position = static_cast<std::int64_t>(std::ceil(input_position));
    r.frame_repaired_bits = outcome == RepairOutcome::two_bits  ? 2
                            : outcome == RepairOutcome::one_bit ? 1
                                                                : 0;
    ++r.counters.frames;
    if (outcome == RepairOutcome::one_bit) ++r.counters.repaired_one;
    if (outcome == RepairOutcome::two_bits) ++r.counters.repaired_two;
    if (sink.handle != nullptr) sink.handle(sink.context, c.table);
    return true;
}

enum class Step { more, delivered, failed };

// A character is complete.
Step take_char(MskReceiver& r, Tracker& t, const PassSink& sink) {
    const std::uint8_t ch = t.shift;
    const int i = t.length;
    t.bytes[i] = ch;
    t.length = i + 1;

    // Index 3 must be SOH; a block with four SYN is kept in the two-SYN layout.
    if (i == 3 && ch != kSoh) {
        if (ch != kSyn) return Step::failed;
        t.four_syn = true;
    } else if (t.four_syn && i == 4) {
        if (ch != kSyn) return Step::failed;
    } else if (t.four_syn && i == 5) {
        if (ch != kSoh) return Step::failed;
        t.bytes[3] = kSoh;
        std::memcpy(&t.reliability[8 * 3], &t.reliability[8 * 5], 8 * sizeof(float));
        t.length = 4;
        t.four_syn = false;
    }
    if (t.four_syn || t.length <= 4) return Step::more;

    // Bytes up to length-3 are characters whatever follows; the last two may
    // be the BCS of an end still to come.
    const int settled = t.length - 3;
    if (settled >= 4 && !parity_ok(t.bytes[settled])) {
        if (++t.faulty_chars > kMaxFaultyChars) return Step::failed;
    }
    if (settled >= kMinFrameEnd && may_end_frame(t.bytes[settled])) {
        const RepairOutcome outcome = repair_frame(t.bytes.data(), settled, t.reliability.data());
        if (outcome != RepairOutcome::rejected) {
            return deliver(r, t, settled, outcome, sink) ? Step::delivered : Step::failed;
        }
    }
    return t.length < kFrameBufferSize ? Step::more : Step::failed;
}

// Feeds one decided bit.
Step take_bit(MskReceiver& r, Tracker& t, int bit, float reliability, const PassSink& sink) {
    if (t.k < kTemplateBits) return Step::more;  // the known stretch: '*' SYN SYN are in place
    const int index = 8 * t.length + t.bit_count;
    t.reliability[index] = reliability;
    t.shift = static_cast<std::uint8_t>((t.shift >> 1) | (bit ? 0x80 : 0));
    if (++t.bit_count < 8) return Step::more;
    t.bit_count = 0;
    return take_char(r, t, sink);
}

// Decides every bit of tracker t whose samples have arrived.
void run_tracker(MskReceiver& r, Tracker& t, const PassSink& sink) {
    MskChain& c = *r.chain;
    while (t.active && t.t + 3.0 <= static_cast<double>(c.newest)) {
        const Interpolated s = interpolate(c, t.t);
        // Carrier phase plus a quarter turn per bit end since the template start.
        const double angle = t.phase + kQuarterTurn * (t.k + 1);
        const Complex turn(static_cast<float>(std::cos(angle)),
                           static_cast<float>(-std::sin(angle)));
        const Complex u = times_conj(s.value, std::conj(turn));
        const Complex du = times_conj(s.slope, std::conj(turn));

        const bool known = t.k < kTemplateBits;
        int bit = u.real() >= 0.0f ? 1 : 0;
        if (known) {
            if (bit != c.template_bits[t.k]) ++t.template_errors;
            bit = c.template_bits[t.k];
        }
        const double sign = bit ? 1.0 : -1.0;
        const double scale = t.amplitude > 1e-9 ? t.amplitude : 1e-9;
        const auto reliability = static_cast<float>(std::min(2.0, std::fabs(u.real()) / scale));

        // Timing: the decision sits on the peak of its pulse, where the slope
        // of the real part is zero; sampled late, the slope points down.
        const double late = -sign * du.real() / (scale * c.timing_curvature);
        // Carrier: the previous sample lies on the real axis when its two
        // neighbours agree (otherwise the other axis' pulses lean into it).
        if (t.k > kPrekeyTemplateBits && bit == t.bit_before_last) {
            const double error = (t.last_bit ? 1.0 : -1.0) * t.last_sample.imag() / scale;
            t.phase += kPhaseGain * error;
            t.frequency += kFrequencyGain * error;
        }
        t.amplitude += kAmplitudeGain * (sign * u.real() - t.amplitude);
        t.bit_before_last = t.last_bit;
        t.last_bit = bit;
        t.last_sample = u;

        t.phase = wrap_phase(t.phase + t.frequency);
        const double nominal = c.samples_per_bit;
        t.period -= kPeriodGain * late;
        t.period =
            std::clamp(t.period, nominal * (1 - kMaxPeriodError), nominal * (1 + kMaxPeriodError));
        const double decided_at = t.t;
        t.t += t.period - kTimingGain * late;

        if (t.k == kTemplateBits - 1 && t.template_errors > kMaxTemplateErrors) {
            release_tracker(t);
            ++r.counters.lost;
            return;
        }
        t.decision_time = decided_at;
        const Step step = take_bit(r, t, bit, reliability, sink);
        ++t.k;
        if (step != Step::more) {
            if (step == Step::failed) ++r.counters.lost;
            release_tracker(t);
            return;
        }
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

    // A free tracker, or the one that has waited longest for its end.
    Tracker* slot = nullptr;
    for (Tracker& t : c.trackers) {
        if (!t.active) {
            slot = &t;
            break;
        }
    }
    if (slot == nullptr) {
        slot = &c.trackers[0];
        for (Tracker& t : c.trackers) {
            if (t.sync_time < slot->sync_time) slot = &t;
        }
        ++r.counters.lost;
    }
    Tracker& t = *slot;
    ++r.counters.syncs;
    t.active = true;
    t.sync_time = sync_time;
    // A clock error stretches bits and shifts the carrier alike.
    const double clock = drift * kBitRate / (2.0 * kPi) / kCarrierHz;
    t.period = T / (1.0 + std::clamp(clock, -kMaxPeriodError, kMaxPeriodError));
    // The loops start on '+': the pre-key before it may be short or cut by
    // the scanner's squelch, and a steady tone teaches the timing nothing.
    t.k = kPrekeyTemplateBits;
    t.t = sync_time + (t.k + 1) * t.period + c.filter_delay;
    t.frequency = drift;
    const double middle_bits = (static_cast<double>(best_start) + n / 2.0 - t.t) / T;
    t.phase = wrap_phase(std::arg(best_sum) - drift * middle_bits);
    t.amplitude = std::abs(best_sum) / c.template_energy[best_phase] * c.pulse_peak;
    t.template_errors = 0;
    t.bit_before_last = 1;
    t.last_bit = 1;
    t.last_sample = Complex{};
    t.bytes.assign(kFrameBufferSize, 0);
    t.bytes[0] = '*';
    t.bytes[1] = kSyn;
    t.bytes[2] = kSyn;
    std::fill(t.reliability.begin(), t.reliability.end(), 1.0f);
    t.length = 3;
    t.shift = 0;
    t.bit_count = 0;
    t.faulty_chars = 0;
    t.four_syn = false;
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

void take_baseband(MskReceiver& r, const Complex* y, int count, const PassSink& sink) {
    MskChain& c = *r.chain;
    for (int i = 0; i < count; ++i) {
        const std::int64_t n = ++c.newest;
        c.ring[n & kRingMask] = y[i];
        const Complex w = times_conj(y[i], c.ring[(n - c.lag) & kRingMask]);
        const std::int64_t before = (n - 1) & kRingMask;
        c.step_sum[n & kRingMask] = c.step_sum[before] + w.imag();
        c.power_sum[n & kRingMask] = c.power_sum[before] + std::norm(y[i]);
        if ((n & (kRebaseInterval - 1)) == 0) rebase_sums(c);
        search(r);
    }
    for (Tracker& t : c.trackers) {
        if (t.active) run_tracker(r, t, sink);
    }
}

}  // namespace

std::unique_ptr<MskReceiver> make_msk_receiver(int sample_rate) {
    if (sample_rate < kMskMinSampleRate || sample_rate > kMskMaxSampleRate) return nullptr;
    auto r = std::make_unique<MskReceiver>();
    r->sample_rate = sample_rate;
    r->chain.reset(new MskChain);
    MskChain& c = *r->chain;

    c.decimation = std::max(1, sample_rate / kMinDecimatedRate);
    c.rate = static_cast<double>(sample_rate) / c.decimation;
    c.samples_per_bit = c.rate / kBitRate;

    if (c.decimation > 1) {
        // Keep 0 .. 3600 Hz (the tones with the matched filter's band) and
        // stop what would fold onto it: from rate - 3600 Hz on.
        const double stop = c.rate - 3600.0;
        const double transition = (stop - 3600.0) / sample_rate;
        auto length = static_cast<unsigned>(
            std::ceil((kDecimatorAttenuation - 7.95) / (14.36 * transition)) + 1);
        length = std::max(length, static_cast<unsigned>(2 * c.decimation + 1));
        std::vector<float> taps(length);
        const auto cutoff = static_cast<float>(0.5 / c.decimation);
        if (liquid_firdes_kaiser(length, cutoff, kDecimatorAttenuation, 0.0f, taps.data()) != 0) {
            return nullptr;
        }
        float sum = 0.0f;
        for (float v : taps) sum += v;
        for (float& v : taps) v /= sum;
        c.decimator.reset(
            firdecim_rrrf_create(static_cast<unsigned>(c.decimation), taps.data(), length));
        if (!c.decimator) return nullptr;
        c.decimator_delay = (length - 1) / 2.0;
    }

    c.nco.reset(nco_crcf_create(LIQUID_NCO));
    if (!c.nco) return nullptr;
    nco_crcf_set_frequency(c.nco.get(), static_cast<float>(2.0 * kPi * kCarrierHz / c.rate));

    // Matched filter: half a sine over two bits, the pulse of each of the
    // offset I and Q channels of minimum-shift keying.
    const int length = std::max(4, static_cast<int>(std::lround(2.0 * c.samples_per_bit)));
    std::vector<float> taps(static_cast<std::size_t>(length));
    float sum = 0.0f;
    for (int i = 0; i < length; ++i) {
        taps[i] = static_cast<float>(std::sin(kPi * (i + 0.5) / length));
        sum += taps[i];
    }
    for (float& v : taps) v /= sum;
    c.matched.reset(firfilt_crcf_create(taps.data(), static_cast<unsigned>(length)));
    if (!c.matched) return nullptr;
    c.filter_delay = (length - 1) / 2.0;
    c.pulse_peak = 0.0;
    for (int i = 0; i < length; ++i) {
        const double u = (i - c.filter_delay) / c.samples_per_bit;  // bits from the peak
        if (std::fabs(u) < 1.0) c.pulse_peak += taps[i] * std::cos(kQuarterTurn * u);
    }
    c.timing_curvature = std::pow(kQuarterTurn / c.samples_per_bit, 2.0);

    c.input.assign(static_cast<std::size_t>(c.decimation), 0.0f);
    c.decimated.resize(kBlockInputs);
    c.mixed.resize(kBlockInputs);
    c.filtered.resize(kBlockInputs);
    c.ring.assign(kRingSize, Complex{});
    c.step_sum.assign(kRingSize, 0.0);
    c.power_sum.assign(kRingSize, 0.0);
    c.lag = std::max(1, static_cast<int>(std::lround(c.samples_per_bit)));
    c.tone_window = static_cast<int>(std::lround(kToneBits * c.samples_per_bit));
    c.run_window = static_cast<int>(std::lround(kRunBits * c.samples_per_bit));
    build_templates(c, taps);
    for (Tracker& t : c.trackers) {
        t.bytes.assign(kFrameBufferSize, 0);
        t.reliability.assign(8 * kFrameBufferSize, 1.0f);
    }
    c.frame.reserve(kFrameBufferSize + 1);
    return r;
}

void msk_receive(MskReceiver& r, const std::uint8_t* samples, int count, const PassSink& sink) {
    if (samples == nullptr || count <= 0 || !r.chain) return;
    MskChain& c = *r.chain;
    int done = 0;
    while (done < count) {
        const int take = std::min(kBlockInputs - c.decimation, count - done);
        // Complete decimation groups: pending samples first.
        int produced = 0;
        if (c.decimation == 1) {
            for (int i = 0; i < take; ++i)
                c.decimated[i] = static_cast<float>(samples[done + i]) - 128.0f;
            produced = take;
        } else {
            for (int i = 0; i < take; ++i) {
                c.input[c.pending++] = static_cast<float>(samples[done + i]) - 128.0f;
                if (c.pending == c.decimation) {
                    firdecim_rrrf_execute(c.decimator.get(), c.input.data(),
                                          &c.decimated[produced++]);
                    c.pending = 0;
                }
            }
        }
        done += take;
        r.samples_taken += take;
        for (int i = 0; i < produced; ++i) c.mixed[i] = Complex(c.decimated[i], 0.0f);
        nco_crcf_mix_block_down(c.nco.get(), c.mixed.data(), c.mixed.data(),
                                static_cast<unsigned>(produced));
        firfilt_crcf_execute_block(c.matched.get(), c.mixed.data(), static_cast<unsigned>(produced),
                                   c.filtered.data());
        take_baseband(r, c.filtered.data(), produced, sink);
    }
}

}  // namespace korvad
