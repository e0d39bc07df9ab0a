// The MSK receiver's filters: the input low-passed and decimated, mixed down
// by the carrier and passed through the matched filter, block by block.

#include <algorithm>
#include <cmath>

#include "signal/msk_chain.h"

namespace korvad::msk {
namespace {

constexpr int kMinDecimatedRate = 9000;         // decimate down to no less than this (samples/s)
constexpr float kDecimatorAttenuation = 50.0f;  // dB

}  // namespace

bool make_filters(MskChain& c, int sample_rate, std::vector<float>& taps) {
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
        std::vector<float> low_pass(length);
        const auto cutoff = static_cast<float>(0.5 / c.decimation);
        if (liquid_firdes_kaiser(length, cutoff, kDecimatorAttenuation, 0.0f, low_pass.data()) !=
            0) {
            return false;
        }
        float sum = 0.0f;
        for (float v : low_pass) sum += v;
        for (float& v : low_pass) v /= sum;
        c.decimator.reset(
            firdecim_rrrf_create(static_cast<unsigned>(c.decimation), low_pass.data(), length));
        if (!c.decimator) return false;
        c.decimator_delay = (length - 1) / 2.0;
    }

    c.nco.reset(nco_crcf_create(LIQUID_NCO));
    if (!c.nco) return false;
    nco_crcf_set_frequency(c.nco.get(), static_cast<float>(2.0 * kPi * kCarrierHz / c.rate));

    // Matched filter: half a sine over two bits, the pulse of each of the
    // offset I and Q channels of minimum-shift keying.
    const int length = std::max(4, static_cast<int>(std::lround(2.0 * c.samples_per_bit)));
    taps.assign(static_cast<std::size_t>(length), 0.0f);
    float sum = 0.0f;
    for (int i = 0; i < length; ++i) {
        taps[i] = static_cast<float>(std::sin(kPi * (i + 0.5) / length));
        sum += taps[i];
    }
    for (float& v : taps) v /= sum;
    c.matched.reset(firfilt_crcf_create(taps.data(), static_cast<unsigned>(length)));
    if (!c.matched) return false;
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
    return true;
}

int filter_block(MskChain& c, const std::uint8_t* samples, int count) {
    // Complete decimation groups: pending samples first.
    int produced = 0;
    if (c.decimation == 1) {
        for (int i = 0; i < count; ++i) c.decimated[i] = static_cast<float>(samples[i]) - 128.0f;
        produced = count;
    } else {
        for (int i = 0; i < count; ++i) {
            c.input[c.pending++] = static_cast<float>(samples[i]) - 128.0f;
            if (c.pending == c.decimation) {
                firdecim_rrrf_execute(c.decimator.get(), c.input.data(), &c.decimated[produced++]);
                c.pending = 0;
            }
        }
    }
    for (int i = 0; i < produced; ++i) c.mixed[i] = Complex(c.decimated[i], 0.0f);
    nco_crcf_mix_block_down(c.nco.get(), c.mixed.data(), c.mixed.data(),
                            static_cast<unsigned>(produced));
    firfilt_crcf_execute_block(c.matched.get(), c.mixed.data(), static_cast<unsigned>(produced),
                               c.filtered.data());
    return produced;
}

}  // namespace korvad::msk
