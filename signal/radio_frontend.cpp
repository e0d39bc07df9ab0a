// The radio front end: mixing, decimation, AM detection with the carrier
// level as gain, and resampling to the decoder's rate (liquid-dsp does the
// filters, the oscillator and the resampler).

#include <complex>
// liquid-dsp uses std::complex when <complex> comes first.
#include <liquid/liquid.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <numbers>

#include "common/format.h"
#include "signal/radio.h"

namespace korvad {

using Complex = std::complex<float>;

namespace {

constexpr double kChannelRateTarget = 12'500.0;  // samples/s after decimation, at least
constexpr int kMaxStageFactor = 8;
constexpr std::size_t kMaxStages = 4;
constexpr double kPassHz = 4'000.0;              // flat up to here either side of the carrier
constexpr float kStopAttenuation = 80.0f;        // dB, each decimation stage
constexpr float kResamplerAttenuation = 80.0f;   // dB
constexpr unsigned kResamplerSemiLength = 16;    // input samples either side
constexpr unsigned kResamplerBank = 256;         // filter phases
constexpr double kResamplerCutoff = 0.4;         // of the input rate: 5 kHz at 12.5 kHz
constexpr double kCarrierFilterHz = 50.0;        // low-pass of the envelope: the carrier level
constexpr double kGain = kAudioPeakSteps / 0.8;  // sample steps per unit of modulation
constexpr double kFloorAboveNoise = 4.0;         // 12 dB: the gain never lifts the noise above this
constexpr double kMinCarrier = 3.16e-4;          // -70 dB of full scale
constexpr double kFloorWindowSeconds = 0.5;      // the noise floor: minima of 8 windows
constexpr int kFloorWindows = 8;
constexpr double kWarmUpSeconds = 0.02;  // the carrier filter settling at the start
constexpr double kMinAudioRate = 8000.0;
constexpr double kMaxAudioRate = 192000.0;
constexpr double kBandUse = 0.45;  // of the IQ rate: what a recording's band holds

// Decimation factors whose product brings rate closest above 12.5 kHz, each
// 2..8, at most four stages, the largest first.
std::vector<int> decimation_factors(double rate) {
    const int most = static_cast<int>(std::floor(rate / kChannelRateTarget));
    for (int d = most; d >= 2; --d) {
        std::vector<int> factors;
        int rest = d;
        while (rest > 1 && factors.size() < kMaxStages) {
            int k = kMaxStageFactor;
            while (k >= 2 && rest % k != 0) --k;
            if (k < 2) break;
            factors.push_back(k);
            rest /= k;
        }
        if (rest == 1) return factors;
    }
    return {};
}

// Crystal error as a factor: the dongle's clock and oscillator run this much fast.
double ppm_factor(double ppm) {
    return 1.0 + ppm * 1e-6;
}

// Where the channel appears in the samples, Hz at the nominal rate: a
// crystal fast by ppm tunes the oscillator and the sample clock both high.
double seen_offset_hz(const FrontEndPlan& p) {
    return p.channel_hz / ppm_factor(p.ppm) - p.center_hz;
}

struct Stage {
    firdecim_crcf filter = nullptr;
    unsigned factor = 1;
    std::vector<Complex> pending;  // inputs not yet a whole group of `factor`
    std::vector<Complex> out;
};

// One stage from rate_in down by factor; stop is where its stop band begins
// (Hz), everything from there must not fold back.
firdecim_crcf design_stage(double rate_in, unsigned factor, double stop) {
    const double df = (stop - kPassHz) / rate_in;
    const double fc = 0.5 * (stop + kPassHz) / rate_in;
    // Kaiser's estimate of the length for the attenuation and transition.
    const double taps = (kStopAttenuation - 7.95) / (14.36 * df) + 1.0;
    const unsigned n = std::max(static_cast<unsigned>(std::ceil(taps)) | 1u, 2 * factor + 1);
    std::vector<float> h(n);
    liquid_firdes_kaiser(n, static_cast<float>(fc), kStopAttenuation, 0.0f, h.data());
    double sum = 0.0;
    for (float v : h) sum += v;
    for (float& v : h) v = static_cast<float>(v / sum);  // unit gain at the carrier
    return firdecim_crcf_create(factor, h.data(), n);
}

// A float from a file is untrusted: not a number or beyond any sensible
// level would poison every filter after it.
float finite_sample(float v) {
    constexpr float kLimit = 1e6f;
    if (!std::isfinite(v)) return 0.0f;
    return std::clamp(v, -kLimit, kLimit);
}

}  // namespace

struct RadioFrontEnd {
    nco_crcf oscillator = nullptr;
    std::vector<Stage> stages;
    iirfilt_rrrf carrier_filter = nullptr;
    resamp_rrrf resampler = nullptr;
    double channel_rate = 0.0;

    std::vector<Complex> mixed;
    std::vector<float> detected;  // audio at the channel rate
    std::vector<float> resampled;

    // Noise floor: the lowest carrier level per window, for the last windows.
    std::array<double, kFloorWindows> window_minimum{};
    int windows_seen = 0;
    double current_minimum = HUGE_VAL;
    std::int64_t window_samples = 0;
    std::int64_t window_fill = 0;
    std::int64_t warm_up = 0;  // channel samples still to skip for the floor

    ~RadioFrontEnd() {
        if (oscillator != nullptr) nco_crcf_destroy(oscillator);
        for (Stage& s : stages) {
            if (s.filter != nullptr) firdecim_crcf_destroy(s.filter);
        }
        if (carrier_filter != nullptr) iirfilt_rrrf_destroy(carrier_filter);
        if (resampler != nullptr) resamp_rrrf_destroy(resampler);
    }

    double noise_floor() const {
        double floor = current_minimum;
        const int kept = std::min(windows_seen, kFloorWindows);
        for (int i = 0; i < kept; ++i) floor = std::min(floor, window_minimum[i]);
        return std::isfinite(floor) ? floor : 0.0;
    }

    void note_carrier(double c) {
        if (warm_up > 0) {
            --warm_up;
            return;
        }
        current_minimum = std::min(current_minimum, c);
        if (++window_fill >= window_samples) {
            window_minimum[static_cast<std::size_t>(windows_seen % kFloorWindows)] =
                current_minimum;
            ++windows_seen;
            current_minimum = HUGE_VAL;
            window_fill = 0;
        }
    }
};

void RadioFrontEndDeleter::operator()(RadioFrontEnd* front_end) const {
    delete front_end;
}

std::int64_t default_center_hz(std::int64_t channel_hz, int iq_rate) {
    return channel_hz - iq_rate / 4;
}

std::string check_front_end_plan(const FrontEndPlan& p) {
    if (!(p.iq_rate >= kMinIqRate && p.iq_rate <= kMaxIqRate)) {
        return format_text("an IQ rate of %.0f samples/s is outside %d to %d", p.iq_rate,
                           kMinIqRate, kMaxIqRate);
    }
    if (!(p.audio_rate >= kMinAudioRate && p.audio_rate <= kMaxAudioRate)) {
        return format_text("an audio rate of %d samples/s is outside %.0f to %.0f", p.audio_rate,
                           kMinAudioRate, kMaxAudioRate);
    }
    if (!(std::fabs(p.ppm) <= kMaxPpm)) {
        return format_text("a crystal error of %g ppm is outside -%d to %d", p.ppm, kMaxPpm,
                           kMaxPpm);
    }
    const double edge = kBandUse * p.iq_rate;
    if (!std::isfinite(p.channel_hz) || !std::isfinite(p.center_hz) ||
        std::fabs(seen_offset_hz(p)) + kChannelHalfWidthHz > edge) {
        return format_text(
            "the channel %.4f MHz lies outside the band of the recording, %.4f to %.4f MHz "
            "(centre %.4f MHz, %.0f samples/s)",
            p.channel_hz / 1e6, (p.center_hz - edge) / 1e6, (p.center_hz + edge) / 1e6,
            p.center_hz / 1e6, p.iq_rate);
    }
    if (decimation_factors(p.iq_rate).empty()) {
        return format_text("no decimation to about 12.5 kHz from %.0f samples/s", p.iq_rate);
    }
    return {};
}

RadioFrontEndPtr make_radio_front_end(const FrontEndPlan& p) {
    if (!check_front_end_plan(p).empty()) return nullptr;
    RadioFrontEndPtr f(new RadioFrontEnd);
    const std::vector<int> factors = decimation_factors(p.iq_rate);

    f->oscillator = nco_crcf_create(LIQUID_NCO);
    nco_crcf_set_frequency(
        f->oscillator, static_cast<float>(2.0 * std::numbers::pi * seen_offset_hz(p) / p.iq_rate));

    // Stop edges from the last stage back: a stage must keep out what would
    // fold into the band the next stage does not itself reject.
    std::vector<double> rates(factors.size() + 1, p.iq_rate);
    for (std::size_t i = 0; i < factors.size(); ++i) rates[i + 1] = rates[i] / factors[i];
    f->stages.resize(factors.size());
    double next_stop = kPassHz;  // at the output of the last stage
    for (std::size_t i = factors.size(); i-- > 0;) {
        const double stop = rates[i + 1] - next_stop;
        f->stages[i].factor = static_cast<unsigned>(factors[i]);
        f->stages[i].filter = design_stage(rates[i], f->stages[i].factor, stop);
        next_stop = stop;
    }
    f->channel_rate = rates.back();

    f->carrier_filter =
        iirfilt_rrrf_create_lowpass(2, static_cast<float>(kCarrierFilterHz / f->channel_rate));
    // The channel samples come at channel_rate * (1 + ppm) per second of real time.
    const double ratio = p.audio_rate / (f->channel_rate * ppm_factor(p.ppm));
    // One polyphase stage does it: the ratio is about 0.5 to 16. Its
    // cut-off keeps the audio band and what the output rate can hold.
    const double cutoff = kResamplerCutoff * std::min(1.0, ratio);
    f->resampler =
        resamp_rrrf_create(static_cast<float>(ratio), kResamplerSemiLength,
                           static_cast<float>(cutoff), kResamplerAttenuation, kResamplerBank);
    f->window_samples = static_cast<std::int64_t>(kFloorWindowSeconds * f->channel_rate);
    f->warm_up = static_cast<std::int64_t>(kWarmUpSeconds * f->channel_rate);
    if (f->oscillator == nullptr || f->carrier_filter == nullptr || f->resampler == nullptr) {
        return nullptr;
    }
    for (const Stage& s : f->stages) {
        if (s.filter == nullptr) return nullptr;
    }
    return f;
}

double front_end_channel_rate(const RadioFrontEnd& f) {
    return f.channel_rate;
}

void run_front_end(RadioFrontEnd& f, const Complex* iq, std::size_t n, std::vector<float>& audio) {
    if (n == 0) return;
    f.mixed.resize(n);
    nco_crcf_mix_block_down(f.oscillator, const_cast<Complex*>(iq), f.mixed.data(),
                            static_cast<unsigned>(n));

    const std::vector<Complex>* in = &f.mixed;
    for (Stage& s : f.stages) {
        s.pending.insert(s.pending.end(), in->begin(), in->end());
        const std::size_t groups = s.pending.size() / s.factor;
        s.out.resize(groups);
        if (groups > 0) {
            firdecim_crcf_execute_block(s.filter, s.pending.data(), static_cast<unsigned>(groups),
                                        s.out.data());
            s.pending.erase(s.pending.begin(),
                            s.pending.begin() + static_cast<std::ptrdiff_t>(groups * s.factor));
        }
        in = &s.out;
    }

    // AM detection; the carrier level sets the gain, bounded by the noise floor.
    f.detected.resize(in->size());
    for (std::size_t i = 0; i < in->size(); ++i) {
        const float envelope = std::abs((*in)[i]);
        float carrier = 0.0f;
        iirfilt_rrrf_execute(f.carrier_filter, envelope, &carrier);
        const double c = std::max(0.0f, carrier);
        f.note_carrier(c);
        const double reference = std::max({c, kFloorAboveNoise * f.noise_floor(), kMinCarrier});
        f.detected[i] = static_cast<float>((envelope - c) * kGain / reference);
    }

    if (f.detected.empty()) return;
    const auto room = static_cast<std::size_t>(
        std::ceil(resamp_rrrf_get_rate(f.resampler) * static_cast<double>(f.detected.size())));
    f.resampled.resize(room + 16);
    unsigned made = 0;
    resamp_rrrf_execute_block(f.resampler, f.detected.data(),
                              static_cast<unsigned>(f.detected.size()), f.resampled.data(), &made);
    audio.insert(audio.end(), f.resampled.begin(), f.resampled.begin() + made);
}

void run_front_end(RadioFrontEnd& f, const Complex* iq, std::size_t n,
                   std::vector<std::uint8_t>& audio) {
    std::vector<float> steps;
    run_front_end(f, iq, n, steps);
    const std::size_t first = audio.size();
    audio.resize(first + steps.size());
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const long v = std::lrint(128.0f + steps[i]);
        audio[first + i] = static_cast<std::uint8_t>(std::clamp(v, 0L, 255L));
    }
}

std::size_t iq_sample_bytes(IqFormat format) {
    switch (format) {
        case IqFormat::kCu8:
            return 2;
        case IqFormat::kCs16:
            return 4;
        case IqFormat::kCf32:
            return 8;
    }
    return 2;
}

void iq_to_complex(IqFormat format, const std::uint8_t* b, std::size_t samples, Complex* out) {
    switch (format) {
        case IqFormat::kCu8:
            for (std::size_t i = 0; i < samples; ++i) {
                out[i] = Complex((b[2 * i] - 127.5f) / 127.5f, (b[2 * i + 1] - 127.5f) / 127.5f);
            }
            break;
        case IqFormat::kCs16:
            for (std::size_t i = 0; i < samples; ++i) {
                const std::uint8_t* p = b + 4 * i;
                const auto re = static_cast<std::int16_t>(p[0] | (p[1] << 8));
                const auto im = static_cast<std::int16_t>(p[2] | (p[3] << 8));
                out[i] = Complex(re / 32768.0f, im / 32768.0f);
            }
            break;
        case IqFormat::kCf32:
            for (std::size_t i = 0; i < samples; ++i) {
                const std::uint8_t* p = b + 8 * i;
                const std::uint32_t re =
                    p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
                const std::uint32_t im =
                    p[4] | (p[5] << 8) | (p[6] << 16) | (static_cast<std::uint32_t>(p[7]) << 24);
                out[i] = Complex(finite_sample(std::bit_cast<float>(re)),
                                 finite_sample(std::bit_cast<float>(im)));
            }
            break;
    }
}

std::optional<IqFormat> iq_format_named(const char* name) {
    if (std::strcmp(name, "cu8") == 0) return IqFormat::kCu8;
    if (std::strcmp(name, "cs16") == 0) return IqFormat::kCs16;
    if (std::strcmp(name, "cf32") == 0) return IqFormat::kCf32;
    return std::nullopt;
}

}  // namespace korvad
