#pragma once
// The MSK receiver's insides, shared by its parts and by nothing else:
//
//   msk_filters.cpp   low-pass and decimation, mix-down, matched filter
//   msk_search.cpp    the bit-sync search: pre-key detector and correlation
//                     with the known stretch
//   msk_tracker.cpp   per-frame carrier and timing loops, bit decisions,
//                     frame assembly, check, repair and delivery
//   msk_receiver.cpp  the receiver's construction and its per-block loop
//
// Baseband indices count matched-filter outputs since the receiver was made;
// stream positions count input samples.

#include <complex>
// liquid-dsp uses std::complex when <complex> comes first.
#include <liquid/liquid.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <memory>
#include <numbers>
#include <vector>

#include "signal/frame.h"
#include "signal/frame_repair.h"
#include "signal/msk_receiver.h"

namespace korvad::msk {

using Complex = std::complex<float>;

inline constexpr double kBitRate = 2400.0;    // bit/s
inline constexpr double kCarrierHz = 1800.0;  // centre of the 1200 and 2400 Hz tones
inline constexpr double kPi = std::numbers::pi;
inline constexpr double kQuarterTurn = kPi / 2.0;

// Baseband history: every tracker and the search look back at most a few
// hundred samples behind the newest one; a block adds kBlockInputs.
inline constexpr int kRingSize = 8192;
inline constexpr int kRingMask = kRingSize - 1;
inline constexpr int kBlockInputs = 4096;

// The known stretch that opens every block on the air: the last pre-key bits
// (all ones), '+' and '*' (bit sync), SYN SYN (character sync).
inline constexpr int kPrekeyTemplateBits = 16;
inline constexpr std::uint8_t kSyncChars[] = {0xAB, 0x2A, 0x16, 0x16};  // '+' '*' SYN SYN,
                                                                        // parity in bit 7
inline constexpr int kTemplateBits = kPrekeyTemplateBits + 8 * 4;       // 48
inline constexpr int kTemplatePhases = 8;  // sub-sample offsets tried: eighths of a sample

// Trackers: one per frame being received.
inline constexpr int kTrackers = 4;

struct FirDecimatorDeleter {
    void operator()(firdecim_rrrf_s* q) const { firdecim_rrrf_destroy(q); }
};
struct NcoDeleter {
    void operator()(nco_crcf_s* q) const { nco_crcf_destroy(q); }
};
struct FirFilterDeleter {
    void operator()(firfilt_crcf_s* q) const { firfilt_crcf_destroy(q); }
};

inline double wrap_phase(double p) {
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

// One frame in reception: from the bit sync to the check of its end.
struct Tracker {
    bool active = false;
    double sync_time = 0.0;      // baseband index of the template's first bit start
    double t = 0.0;              // baseband index of the next decision (end of bit k)
    double period = 0.0;         // samples per bit
    double phase = 0.0;          // carrier phase at the next decision, quarter turns excluded
    double frequency = 0.0;      // carrier drift, radians per bit
    double amplitude = 0.0;      // real part of a clean decision
    double strongest = 0.0;      // the amplitude at its strongest lately (decays over a second)
    double decision_time = 0.0;  // baseband index of the latest decision
    int k = 0;                   // bits decided since the template start
    int template_errors = 0;

    // Delayed phase error: bit k-1's sample waits for bit k's decision.
    int bit_before_last = 1;
    int last_bit = 1;
    Complex last_sample{};

    // Frame assembly from the '*' on.
    std::vector<std::uint8_t> bytes;  // kFrameBufferSize
    std::vector<float> reliability;   // 8 per byte: |soft|, at most 2
    std::vector<float> soft;          // 8 per byte: the decision's real part over amplitude
    int length = 0;
    std::uint8_t shift = 0;
    int bit_count = 0;
    int faulty_chars = 0;  // parity faults in bytes 4 .. length-3
    RepairBudget budget;   // block checks the frame may still spend on repair candidates
    bool four_syn = false;
};

// Where the correlation found the known stretch, for a tracker to start from.
struct SyncFound {
    double sync_time = 0.0;  // baseband index of the template's first bit start
    std::int64_t start = 0;  // whole-sample start of the best match
    int phase = 0;           // its sub-sample offset, in eighths
    Complex sum{};           // its correlation with the template
    double drift = 0.0;      // carrier drift, radians per bit
};

}  // namespace korvad::msk

namespace korvad {

struct MskChain {
    int decimation = 1;
    double rate = 0.0;              // baseband samples per second
    double samples_per_bit = 0.0;   // T
    double filter_delay = 0.0;      // matched filter group delay, samples
    double decimator_delay = 0.0;   // decimator group delay, input samples
    double pulse_peak = 0.0;        // matched filter output of a unit pulse at its peak
    double timing_curvature = 0.0;  // (pi / 2T)^2: the peak's curvature per sample^2

    std::unique_ptr<firdecim_rrrf_s, msk::FirDecimatorDeleter> decimator;
    std::unique_ptr<nco_crcf_s, msk::NcoDeleter> nco;
    std::unique_ptr<firfilt_crcf_s, msk::FirFilterDeleter> matched;

    // Work arrays for one block.
    std::vector<float> input;  // pending input samples not yet a full decimation group
    int pending = 0;
    std::vector<float> decimated;
    std::vector<msk::Complex> mixed;
    std::vector<msk::Complex> filtered;

    // Baseband history and the search's running sums.
    std::vector<msk::Complex> ring;
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
    std::array<std::vector<msk::Complex>, msk::kTemplatePhases> templates;
    std::array<double, msk::kTemplatePhases> template_energy{};
    std::array<int, msk::kTemplateBits> template_bits{};
    int template_length = 0;

    std::array<msk::Tracker, msk::kTrackers> trackers;
    FrameTable table;
    std::vector<std::uint8_t> frame;  // the corrected frame as decode_frame takes it
};

}  // namespace korvad

namespace korvad::msk {

// msk_filters.cpp. Makes the decimator (above 18000 samples/s), the mixer and
// the matched filter for the chain's sample rate, and fills in the rates and
// delays; the matched filter's taps are left in taps. False when liquid
// cannot make one of them.
[[nodiscard]] bool make_filters(MskChain& c, int sample_rate, std::vector<float>& taps);

// msk_filters.cpp. Takes count input samples (at most kBlockInputs - the
// decimation) through the filters into c.filtered; returns how many baseband
// samples that gave.
int filter_block(MskChain& c, const std::uint8_t* samples, int count);

// msk_search.cpp. Sets the search's windows and the templates of the known
// stretch, from the matched filter's taps.
void prepare_search(MskChain& c, const std::vector<float>& taps);

// msk_search.cpp. Adds baseband sample y as the newest one and looks for the
// end of a pre-key; on a bit sync starts a tracker.
void search_sample(MskReceiver& r, Complex y);

// msk_tracker.cpp. Gives every tracker its frame buffers.
void prepare_trackers(MskChain& c);

// msk_tracker.cpp. Starts tracker t on the bit sync found.
void start_tracker(MskChain& c, Tracker& t, const SyncFound& found);

// msk_tracker.cpp. Decides every bit of tracker t whose samples have arrived;
// hands a frame that checks to sink.
void run_tracker(MskReceiver& r, Tracker& t, const PassSink& sink);

}  // namespace korvad::msk
