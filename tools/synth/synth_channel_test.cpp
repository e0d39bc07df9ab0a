// The receiver's channel measured as an instrument would: the fading
// envelope on the signal alone, the airband receiver's
// response in its noise spectrum and on its tones, the AGC's overshoot at
// key-up, and the tones' drift from their zero crossings.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "tools/synth/channel.h"
#include "tools/synth/synth.h"
#include "tools/synth/synth_test_support.h"

namespace korvad::synth {
namespace {

// Largest distance from 128 within samples [from, from + n).
double peak(const Recording& r, std::int64_t from, std::int64_t n) {
    int m = 0;
    for (std::int64_t i = from; i < from + n; ++i) {
        m = std::max(m, std::abs(static_cast<int>(r.samples[static_cast<std::size_t>(i)]) - 128));
    }
    return m;
}

Frame long_downlink() {
    Frame f = small_downlink();
    f.text.assign(220, 'A');
    return f;
}

TEST(SynthChannel, FadingSwingsTheSignalButNotTheNoise) {
    SynthOptions o;
    o.level = 0.8;
    o.fade_low = 0.2;
    o.fade_hz = 2.0;  // highest at 0 s and 0.5 s, lowest at 0.25 s and 0.75 s
    const Recording r = render_one(long_downlink(), o, {0, 0.0});
    const double a = 0.8 * 127;
    const std::int64_t window = 200;  // 10 ms: a dozen cycles of either tone
    EXPECT_NEAR(peak(r, 0, window), a, 0.03 * a);
    EXPECT_NEAR(peak(r, 19500 / 4 - window / 2, window), 0.2 * a, 0.03 * a);
    EXPECT_NEAR(peak(r, 19500 / 2 - window / 2, window), a, 0.03 * a);
    EXPECT_NEAR(peak(r, 3 * 19500 / 4 - window / 2, window), 0.2 * a, 0.03 * a);
    EXPECT_NEAR(peak(r, 3 * 19500 / 8 - window / 2, window), 0.6 * a, 0.03 * a);

    // The noise for one SNR is set against the signal before it fades.
    SynthOptions plain;
    plain.level = 0.3;
    plain.snr_db = 10.0;
    SynthOptions faded = plain;
    faded.fade_low = 0.1;
    faded.fade_high = 0.5;
    faded.fade_hz = 0.7;
    auto noise_power = [](const SynthOptions& opts) {
        Recording n;
        std::string error;
        EXPECT_TRUE(synthesize({}, {}, 1 << 18, opts, n, error)) << error;
        std::vector<double> x;
        for (std::uint8_t s : n.samples) x.push_back(s - 128.0);
        return mean_square(x);
    };
    EXPECT_NEAR(noise_power(faded) / noise_power(plain), 1.0, 0.01);
    // Or, as an average SNR, against its mean power over the fade: for an
    // amplitude swinging 0.1 to 0.5 that is 0.09 + 0.02 = 0.11 of the unfaded.
    SynthOptions average = faded;
    average.average_snr = true;
    EXPECT_NEAR(noise_power(average) / noise_power(plain), 0.11, 0.11 * 0.02);

    o.fade_low = 0.5;
    o.fade_high = 0.4;
    EXPECT_NE(check_options(o).find("low <= high"), std::string::npos);
}

TEST(SynthChannel, AirbandAudioShapesTheNoiseAndTiltsTheTones) {
    SynthOptions o;
    o.level = 0.3;
    o.snr_db = 5.0;
    o.airband = true;
    Recording r;
    std::string error;
    ASSERT_TRUE(synthesize({}, {}, 1 << 18, o, r, error)) << error;
    std::vector<double> x;
    for (std::uint8_t s : r.samples) x.push_back(s - 128.0);
    auto density = [&x](double lo, double hi) { return band_share(x, 19500, lo, hi) / (hi - lo); };
    const double middle = density(900, 1500);
    // The low-pass: the elliptic filter's stop band from about 3.3 kHz.
    EXPECT_GT(10 * std::log10(middle / density(4000, 9000)), 35);
    // The high-pass: 2nd order at 250 Hz, about 16 dB down at 100 Hz.
    EXPECT_NEAR(10 * std::log10(middle / density(80, 120)), 16, 4);
    // The de-emphasis: 2400 Hz against 1200 Hz 2.4 dB down, within the low
    // pass's 1 dB ripple.
    EXPECT_NEAR(10 * std::log10(density(2300, 2500) / density(1100, 1300)), -2.4, 1.2);

    // The pre-key, a steady 2400 Hz tone, comes through at that level too;
    // without noise, and long enough for the filters to settle.
    o.snr_db.reset();
    o.prekey_bits = 1200;
    const Recording tone = render_one(small_downlink(), o, {1000, 0.0});
    const double a = 0.3 * 127;
    const double expected = a * std::sqrt(1 + std::pow(2 * M_PI * 1200 * kDeemphasisSeconds, 2)) /
                            std::sqrt(1 + std::pow(2 * M_PI * 2400 * kDeemphasisSeconds, 2));
    EXPECT_NEAR(peak(tone, 1000 + 4000, 2000), expected, 0.13 * expected);
}

TEST(SynthChannel, AgcOvershootsAtKeyUpAndSettles) {
    SynthOptions o;
    o.level = 0.3;
    o.agc_pump = 1.0;
    o.prekey_bits = 600;  // a steady 2400 Hz tone for a quarter of a second
    const Recording r = render_one(small_downlink(), o, {1000, 0.0});
    const double a = 0.3 * 127;
    const std::int64_t window = 40;  // five cycles, 2 ms
    for (double ms : {2.0, 10.0, 25.0, 50.0, 150.0}) {
        const auto at = 1000 + static_cast<std::int64_t>(ms * 19.5);
        const double gain = 1.0 + std::exp(-(ms + 1.0) / 1000.0 / kAgcSettleSeconds);
        EXPECT_NEAR(peak(r, at, window), a * gain, 0.04 * a * gain) << ms << " ms";
    }
    // A second block starts its own overshoot.
    const std::vector<Frame> two = {small_downlink(), small_downlink()};
    Recording both;
    std::string error;
    ASSERT_TRUE(synthesize(two, {{1000, 0.0}, {30000, 0.0}}, 0, o, both, error)) << error;
    EXPECT_NEAR(peak(both, 30000 + 20, window), a * 1.9, 0.1 * a);
}

// Frequency of a steady tone from its zero crossings in [from, to).
double tone_hz(const std::vector<double>& crossings, double from, double to, double rate) {
    std::vector<double> in;
    for (double c : crossings) {
        if (c >= from && c < to) in.push_back(c);
    }
    if (in.size() < 3) return 0.0;
    return (in.size() - 1) / 2.0 / ((in.back() - in.front()) / rate);
}

TEST(SynthChannel, TonesDriftAcrossTheBlockOneWayOrTheOther) {
    SynthOptions o;
    o.sample_rate = 96000;
    o.level = 0.9;
    o.prekey_bits = 4800;  // two seconds of 2400 Hz
    o.drift_hz = 20.0;
    int rising = 0, falling = 0;
    for (std::uint64_t seed = 1; seed <= 12; ++seed) {
        o.seed = seed;
        const Recording r = render_one(small_downlink(), o, {0, 0.0});
        const std::vector<double> c = zero_crossings(r.samples);
        const double duration = static_cast<double>(r.frames[0].end_sample) / 96000;
        // Mean offset over 0.1 s windows centred 0.05 s and 1.95 s in.
        const double early = tone_hz(c, 0, 9600, 96000) - 2400;
        const double late = tone_hz(c, 182400, 192000, 96000) - 2400;
        const double sign = late > early ? 1.0 : -1.0;
        (sign > 0 ? rising : falling)++;
        EXPECT_NEAR(early, sign * 20 * (2 * 0.05 / duration - 1), 0.5) << seed;
        EXPECT_NEAR(late, sign * 20 * (2 * 1.95 / duration - 1), 0.5) << seed;
    }
    EXPECT_GT(rising, 0);
    EXPECT_GT(falling, 0);
}

}  // namespace
}  // namespace korvad::synth
