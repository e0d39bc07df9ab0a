// The MSK receiver's frame trackers: from a bit sync on, each follows one
// frame's carrier phase and bit timing, decides its bits, assembles its
// characters, and at every possible end checks (and where it can repairs) the
// frame and hands it on.

#include <algorithm>
#include <cmath>
#include <cstring>

#include "signal/frame_repair.h"
#include "signal/msk_chain.h"

namespace korvad::msk {
namespace {

constexpr int kMaxTemplateErrors = 6;  // decisions in the known stretch that may disagree

// Loop gains per bit. Carrier: second order, loop bandwidth about 2 % of the
// bit rate. Timing: second order, about 1 %.
constexpr double kPhaseGain = 0.05;
constexpr double kFrequencyGain = 0.0015;
constexpr double kTimingGain = 0.03;
constexpr double kPeriodGain = 0.0004;
constexpr double kAmplitudeGain = 0.01;
constexpr double kMaxPeriodError = 0.03;  // a bit may be this much longer or shorter (3 %)
// In a fade the decisions are as noisy as the signal is weak: the loops learn
// from them in proportion to the signal's power against its strongest lately,
// and so coast through the troughs on what they knew. That strongest level
// falls back by this much per bit (a time constant of one second).
constexpr double kStrongestDecay = 1.0 / 2400.0;

// Four-point Lagrange interpolation of the baseband at fractional index t,
// with its derivative (per sample).
struct Interpolated {
    Complex value;
    Complex slope;
};

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

void release_tracker(Tracker& t) {
    t.active = false;
    t.length = 0;
}

// Hands a checked frame to the sink as a table of one good record.
bool deliver(MskReceiver& r, Tracker& t, int end, const RepairResult& repair,
             const PassSink& sink) {
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
    r.frame_repaired_bits = repair.bits;
    r.frame_soft_bits =
        std::span<const float>(t.soft.data(), 8 * static_cast<std::size_t>(end + 3));
    ++r.counters.frames;
    if (repair.bits == 1) ++r.counters.repaired_one;
    if (repair.bits == 2) ++r.counters.repaired_two;
    if (repair.bits > 2) ++r.counters.repaired_more;
    if (repair.bits > 0) r.counters.repaired_trials += kMaxCrcTrials - t.budget.crc_trials_left;
    if (sink.handle != nullptr) sink.handle(sink.context, c.table);
    r.frame_soft_bits = {};
    return true;
}

enum class Step { more, delivered, failed };

// A character is complete.
Step take_char(MskReceiver& r, Tracker& t, const PassSink& sink) {
    const std::uint8_t ch = t.shift;
    const int i = t.length;
    t.bytes[i] = ch;
    t.length = i + 1;

    // Index 3 must be SOH (one wrong bit is taken for noise: no block check
    // covers it); a block with four SYN is kept in the two-SYN layout.
    if (i == 3 && __builtin_popcount(ch ^ kSoh) == 1) {
        t.bytes[3] = kSoh;
    } else if (i == 3 && ch != kSoh) {
        if (ch != kSyn) return Step::failed;
        t.four_syn = true;
    } else if (t.four_syn && i == 4) {
        if (ch != kSyn) return Step::failed;
    } else if (t.four_syn && i == 5) {
        if (ch != kSoh) return Step::failed;
        t.bytes[3] = kSoh;
        std::memcpy(&t.reliability[8 * 3], &t.reliability[8 * 5], 8 * sizeof(float));
        std::memcpy(&t.soft[8 * 3], &t.soft[8 * 5], 8 * sizeof(float));
        t.length = 4;
        t.four_syn = false;
    }
    if (t.four_syn || t.length <= 4) return Step::more;

    // Bytes up to length-3 are characters whatever follows; the last two may
    // be the BCS of an end still to come.
    const int settled = t.length - 3;
    if (settled >= 4 && !parity_ok(t.bytes[settled])) {
        if (++t.faulty_chars > kMaxRepairChars) return Step::failed;
    }
    if (settled >= kMinFrameEnd && may_end_frame(t.bytes[settled])) {
        RepairResult repair;
        if (r.repair) {
            repair = repair_frame_soft(t.bytes.data(), settled, t.reliability.data(), t.budget);
        } else if (checks_as_received(t.bytes.data(), settled)) {
            repair.outcome = RepairOutcome::intact;
        }
        r.counters.crc_trials += static_cast<std::uint64_t>(repair.crc_trials);
        if (repair.outcome != RepairOutcome::rejected) {
            return deliver(r, t, settled, repair, sink) ? Step::delivered : Step::failed;
        }
    }
    return t.length < kFrameBufferSize ? Step::more : Step::failed;
}

// Feeds one decided bit.
Step take_bit(MskReceiver& r, Tracker& t, int bit, float soft, float reliability,
              const PassSink& sink) {
    if (t.k < kTemplateBits) return Step::more;  // the known stretch: '*' SYN SYN are in place
    const int index = 8 * t.length + t.bit_count;
    t.reliability[index] = reliability;
    t.soft[index] = soft;
    t.shift = static_cast<std::uint8_t>((t.shift >> 1) | (bit ? 0x80 : 0));
    if (++t.bit_count < 8) return Step::more;
    t.bit_count = 0;
    return take_char(r, t, sink);
}

}  // namespace

void prepare_trackers(MskChain& c) {
    for (Tracker& t : c.trackers) {
        t.bytes.assign(kFrameBufferSize, 0);
        t.reliability.assign(8 * kFrameBufferSize, 1.0f);
        t.soft.assign(8 * kFrameBufferSize, 0.0f);
    }
}

void start_tracker(MskChain& c, Tracker& t, const SyncFound& found) {
    const double T = c.samples_per_bit;
    const int n = c.template_length;
    t.active = true;
    t.sync_time = found.sync_time;
    // A clock error stretches bits and shifts the carrier alike.
    const double clock = found.drift * kBitRate / (2.0 * kPi) / kCarrierHz;
    t.period = T / (1.0 + std::clamp(clock, -kMaxPeriodError, kMaxPeriodError));
    // The loops start on '+': the pre-key before it may be short or cut by
    // the scanner's squelch, and a steady tone teaches the timing nothing.
    t.k = kPrekeyTemplateBits;
    t.t = found.sync_time + (t.k + 1) * t.period + c.filter_delay;
    t.frequency = found.drift;
    const double middle_bits = (static_cast<double>(found.start) + n / 2.0 - t.t) / T;
    t.phase = wrap_phase(std::arg(found.sum) - found.drift * middle_bits);
    t.amplitude = std::abs(found.sum) / c.template_energy[found.phase] * c.pulse_peak;
    t.strongest = t.amplitude;
    t.template_errors = 0;
    t.bit_before_last = 1;
    t.last_bit = 1;
    t.last_sample = Complex{};
    t.bytes.assign(kFrameBufferSize, 0);
    t.bytes[0] = '*';
    t.bytes[1] = kSyn;
    t.bytes[2] = kSyn;
    std::fill(t.reliability.begin(), t.reliability.end(), 1.0f);
    // The known '*' SYN SYN as clean decisions.
    std::fill(t.soft.begin(), t.soft.end(), 0.0f);
    for (int i = 0; i < 3 * 8; ++i)
        t.soft[i] = ((t.bytes[i / 8] >> (i % 8)) & 1) != 0 ? 1.0f : -1.0f;
    t.length = 3;
    t.shift = 0;
    t.bit_count = 0;
    t.faulty_chars = 0;
    t.budget = RepairBudget{};
    t.four_syn = false;
}

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
        const auto soft = static_cast<float>(u.real() / scale);
        const auto reliability = static_cast<float>(std::min(2.0, std::fabs(u.real()) / scale));

        t.strongest = std::max(t.amplitude, t.strongest * (1.0 - kStrongestDecay));
        const double depth = t.amplitude / std::max(t.strongest, 1e-9);
        const double weight = std::clamp(depth * depth, 0.0, 1.0);
        // Timing: the decision sits on the peak of its pulse, where the slope
        // of the real part is zero; sampled late, the slope points down.
        const double late = -weight * sign * du.real() / (scale * c.timing_curvature);
        // Carrier: the previous sample lies on the real axis when its two
        // neighbours agree (otherwise the other axis' pulses lean into it).
        if (t.k > kPrekeyTemplateBits && bit == t.bit_before_last) {
            const double error = weight * (t.last_bit ? 1.0 : -1.0) * t.last_sample.imag() / scale;
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
        const Step step = take_bit(r, t, bit, soft, reliability, sink);
        ++t.k;
        if (step != Step::more) {
            if (step == Step::failed) ++r.counters.lost;
            release_tracker(t);
            return;
        }
    }
}

}  // namespace korvad::msk
