// The synthesizer checked against what ACARS is, not against itself: bytes
// spelled out by hand, the receiver's own CRC check, and the waveform measured
// (zero crossings, levels, noise spectrum) as an instrument would.

#include <gtest/gtest.h>

#include <complex>  // before liquid.h, which then takes std::complex<float>

#include <liquid/liquid.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <numbers>
#include <set>

#include "signal/frame.h"
#include "tools/synth/synth.h"
#include "tools/synth/synth_test_support.h"

namespace korvad::synth {
namespace {

TEST(SynthAirBytes, SmallDownlinkAsSpelledOutByHand) {
    EXPECT_EQ(frame_air_bytes(small_downlink()), kSmallDownlinkBytes);
}

TEST(SynthAirBytes, UplinkPadsTheRegistrationAndEndsWithEtb) {
    Frame f;
    f.kind = FrameKind::uplink;
    f.mode = 'a';
    f.registration = "G-EUPT";  // one '.' goes before it
    f.ack = '3';
    f.label = "_d";
    f.block_id = 'B';
    f.end = BlockEnd::etb;
    // 'a' 3 ones; ".G-EUPT" 4 4 4 3 4 2 3; '3' 4; "_d" 6 3; 'B' 2; STX 1; ETB 4.
    // BCS by hand: 61:728F AE:30F9 C7:D8CD AD:63DE 45:2A39 D5:2D48 D0:18EC
    // 54:39DB B3:EF77 DF:29AD 64:5BE4 C2:446F 02:B8A7 97:313B.
    const Bytes expected = {0x2A, 0x16, 0x16, 0x01, 0x61, 0xAE, 0xC7, 0xAD, 0x45, 0xD5, 0xD0,
                            0x54, 0xB3, 0xDF, 0x64, 0xC2, 0x02, 0x97, 0x3B, 0x31, 0x7F};
    EXPECT_EQ(frame_air_bytes(f), expected);
}

TEST(SynthAirBytes, BitsArePrekeyThenPlusThenEveryByteLeastSignificantFirst) {
    const Bytes bits = frame_bits(small_downlink(), 20);
    ASSERT_EQ(bits.size(), 20 + 8 * (1 + kSmallDownlinkBytes.size()));
    for (int i = 0; i < 20; ++i) EXPECT_EQ(bits[i], 1) << i;
    // '+' 0x2B has 4 ones, so 0xAB: 1 1 0 1 0 1 0 1; '*' 0x2A: 0 1 0 1 0 1 0 0.
    const Bytes plus_star = {1, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 0};
    EXPECT_EQ(Bytes(bits.begin() + 20, bits.begin() + 36), plus_star);
    // The last byte, DEL 0x7F: seven ones and a zero parity bit.
    const Bytes del = {1, 1, 1, 1, 1, 1, 1, 0};
    EXPECT_EQ(Bytes(bits.end() - 8, bits.end()), del);
}

TEST(SynthAirBytes, FaultyFramesAreRefusedWithAReason) {
    struct Case {
        void (*spoil)(Frame&);
        const char* reason;
    };
    const Case cases[] = {
        {[](Frame& f) { f.label = "H"; }, "label must be 2"},
        {[](Frame& f) { f.registration = "N123ABCD"; }, "at most 7"},
        {[](Frame& f) { f.sequence = "M01"; }, "sequence number must be 4"},
        {[](Frame& f) { f.flight = "BA01234"; }, "flight id must be 6"},
        {[](Frame& f) {
             f.text =
                 "A\x03"
                 "B";
         },
         "ETX"},
        {[](Frame& f) { f.text = "A\x17"; }, "ETB"},
        {[](Frame& f) { f.text = "caf\xC3\xA9"; }, "not a 7-bit"},
        {[](Frame& f) { f.mode = static_cast<char>(0x80); }, "mode"},
        {[](Frame& f) { f.text.assign(kMaxTextChars + 1, 'A'); }, "at most"},
        {[](Frame& f) { f.kind = FrameKind::uplink; }, "only downlinks"},
        {[](Frame& f) {
             f.kind = FrameKind::squitter;
             f.sequence.clear();
             f.flight.clear();
         },
         "squitter's label is SQ"},
    };
    for (const Case& c : cases) {
        Frame f = small_downlink();
        c.spoil(f);
        EXPECT_NE(check_frame(f).find(c.reason), std::string::npos) << check_frame(f);
        EXPECT_TRUE(frame_air_bytes(f).empty());
    }
    EXPECT_EQ(check_frame(small_downlink()), "");
}

TEST(SynthBlockCheck, StandardCheckValue) {
    // CRC-16 0x8408, initial 0, no final inversion, of "123456789" is 0x2189.
    const std::string digits = "123456789";
    EXPECT_EQ(block_check_sequence(reinterpret_cast<const std::uint8_t*>(digits.data()), 9),
              0x2189);
}

// The receiver's bit-serial check over mode .. ETX/ETB and the two bytes after
// it (bytes past the end read as 0); with no ETX/ETB, over everything.
std::uint16_t receiver_check(const Bytes& air) {
    std::uint16_t crc = 0;
    auto at = [&air](std::size_t i) -> std::uint8_t { return i < air.size() ? air[i] : 0; };
    for (std::size_t i = 4; i < air.size(); ++i) {  // after '*' SYN SYN SOH
        crc = crc_feed(crc, air[i]);
        const std::uint8_t c = air[i] & 0x7F;
        if (c == 0x03 || c == 0x17) return crc_feed(crc_feed(crc, at(i + 1)), at(i + 2));
    }
    return crc;
}

TEST(SynthBlockCheck, ReceiverCheckPassesEveryFrameAndCatchesEverySingleBitFlip) {
    for (const Frame& f : generate_frames(11, 40)) {
        Bytes air = frame_air_bytes(f);
        ASSERT_FALSE(air.empty());
        EXPECT_EQ(receiver_check(air), 0) << format_frame_line(f);
        const std::size_t bcs_end = air.size() - 1;  // before the DEL
        for (std::size_t i = 4; i < bcs_end; ++i) {
            for (int b = 0; b < 8; ++b) {
                // A flip that makes a text byte look like ETX/ETB moves the end: skip it.
                const std::uint8_t flipped = air[i] ^ static_cast<std::uint8_t>(1 << b);
                if (i + 3 < bcs_end && ((flipped & 0x7F) == 0x03 || (flipped & 0x7F) == 0x17)) {
                    continue;
                }
                air[i] = flipped;
                EXPECT_NE(receiver_check(air), 0) << "byte " << i << " bit " << b;
                air[i] ^= static_cast<std::uint8_t>(1 << b);
            }
        }
    }
}

// ---- The waveform, measured ----------------------------------------------

TEST(SynthWaveform, CrossesZeroAtEveryBitEdgeAndMidwayThroughEach2400HzBit) {
    SynthOptions o;
    o.sample_rate = 96000;  // 40 samples a bit
    o.level = 0.9;
    o.prekey_bits = 40;
    const double sub = 0.37;
    const Recording r = render_one(small_downlink(), o, {100, sub}, 14000);
    const Bytes bits = frame_bits(small_downlink(), o.prekey_bits);
    const double t = 40.0;  // samples per bit

    // Where an MSK signal of these bits must cross zero: every bit edge (the
    // phase is a multiple of pi there) and the middle of each bit equal to the
    // one before (one full 2400 Hz cycle); never inside a changed bit (half a
    // 1200 Hz cycle).
    std::vector<double> expected;
    std::uint8_t previous = 1;
    for (std::size_t k = 0; k < bits.size(); ++k) {
        if (k > 0) expected.push_back(100 - sub + k * t);
        if (bits[k] == previous) expected.push_back(100 - sub + (k + 0.5) * t);
        previous = bits[k];
    }
    const std::vector<double> measured = zero_crossings(r.samples);
    ASSERT_EQ(measured.size(), expected.size());
    for (std::size_t i = 0; i < measured.size(); ++i) {
        ASSERT_NEAR(measured[i], expected[i], 0.25) << "crossing " << i;
    }

    // No phase jumps: no step between samples exceeds the steepest slope of a
    // 2400 Hz sine of this amplitude, plus rounding.
    const double amplitude = 0.9 * 127;
    int steepest = 0;
    for (std::size_t i = 1; i < r.samples.size(); ++i) {
        steepest = std::max(steepest, std::abs(r.samples[i] - r.samples[i - 1]));
    }
    EXPECT_LE(steepest, amplitude * 2 * std::numbers::pi * 2400 / 96000 + 1.0);
    EXPECT_GE(steepest, amplitude * 2 * std::numbers::pi * 2400 / 96000 * 0.95);

    // Demodulated from the crossings alone (a gap of a whole bit is a changed
    // bit, two half-bit gaps a repeated one), the bytes from '*' on are those
    // written out by hand above.
    std::vector<double> edges = {100 - sub};
    edges.insert(edges.end(), measured.begin(), measured.end());
    edges.push_back(100 - sub + bits.size() * t);
    Bytes heard;
    std::uint8_t bit = 1;
    for (std::size_t i = 1; i < edges.size(); ++i) {
        const double gap = edges[i] - edges[i - 1];
        if (std::abs(gap - t) < t / 4) {
            bit ^= 1;
        } else {
            ASSERT_NEAR(gap, t / 2, t / 4);
            ASSERT_LT(i + 1, edges.size());
            ASSERT_NEAR(edges[i + 1] - edges[i], t / 2, t / 4);
            ++i;
        }
        heard.push_back(bit);
    }
    ASSERT_EQ(heard, bits);
    Bytes bytes;
    for (std::size_t k = o.prekey_bits + 8; k + 8 <= heard.size(); k += 8) {
        std::uint8_t v = 0;
        for (int b = 0; b < 8; ++b) v |= static_cast<std::uint8_t>(heard[k + b] << b);
        bytes.push_back(v);
    }
    EXPECT_EQ(bytes, kSmallDownlinkBytes);

    // The recording reports where the block and its '*' are.
    ASSERT_EQ(r.frames.size(), 1u);
    EXPECT_EQ(r.frames[0].start_sample, 100);
    EXPECT_EQ(r.frames[0].sync_sample, 100 + static_cast<std::int64_t>(std::ceil(48 * t - sub)));
    EXPECT_EQ(r.frames[0].end_sample,
              100 + static_cast<std::int64_t>(std::ceil(bits.size() * t - sub)));
    EXPECT_EQ(r.frames[0].bytes, kSmallDownlinkBytes);
}

TEST(SynthWaveform, LevelAndDcOffsetAreAsAsked) {
    SynthOptions o;
    o.level = 0.4;
    o.dc_offset = 0.1;
    const Recording r = render_one(small_downlink(), o, {2000, 0.0}, 12000);
    // Silence sits at 128 + 0.1 * 127 = 140.7, rounded.
    for (std::size_t i = 0; i < 2000; ++i) ASSERT_EQ(r.samples[i], 141) << i;
    const auto [lo, hi] =
        std::minmax_element(r.samples.begin() + 2000, r.samples.begin() + r.frames[0].end_sample);
    EXPECT_NEAR((*hi + *lo) / 2.0, 140.7, 1.0);
    EXPECT_NEAR((*hi - *lo) / 2.0, 0.4 * 127, 1.0);
    EXPECT_EQ(r.samples.back(), 141);
}

TEST(SynthWaveform, ClockErrorStretchesTheSignal) {
    SynthOptions o;
    o.sample_rate = 96000;
    o.level = 0.9;
    const Frame f = small_downlink();
    std::vector<std::vector<double>> crossings;
    std::vector<std::int64_t> span;
    for (double ppm : {0.0, 2000.0, -3000.0}) {
        o.clock_ppm = ppm;
        const Recording r = render_one(f, o, {10, 0.0});
        crossings.push_back(zero_crossings(r.samples));
        span.push_back(r.frames[0].end_sample - r.frames[0].start_sample);
    }
    // Each crossing moves away from the key-up (sample 10) by the factor; the
    // least-squares slope over all of them averages out the interpolation.
    auto stretch = [&](std::size_t k) {
        EXPECT_EQ(crossings[k].size(), crossings[0].size());
        double xy = 0, xx = 0;
        for (std::size_t i = 0; i < crossings[0].size() && i < crossings[k].size(); ++i) {
            xy += (crossings[0][i] - 10) * (crossings[k][i] - 10);
            xx += (crossings[0][i] - 10) * (crossings[0][i] - 10);
        }
        return xy / xx;
    };
    EXPECT_NEAR(stretch(1), 1.002, 2e-6);
    EXPECT_NEAR(stretch(2), 0.997, 2e-6);
    EXPECT_NEAR(static_cast<double>(span[1]), span[0] * 1.002, 1.0);
    EXPECT_NEAR(static_cast<double>(span[2]), span[0] * 0.997, 1.0);
}

TEST(SynthNoise, MeasuredSnrInThe300To3400HzBandIsTheOneAsked) {
    for (int rate : {19500, 48000}) {
        for (double snr : {6.0, 15.0}) {
            SynthOptions o;
            o.sample_rate = rate;
            o.level = 0.15;  // room for the noise peaks: nothing clips
            Frame f = small_downlink();
            f.text.assign(220, 'A');
            const std::int64_t total = 1 << 18;
            const Recording clean = render_one(f, o, {1000, 0.0}, total);
            o.snr_db = snr;
            o.seed = 99;
            const Recording noisy = render_one(f, o, {1000, 0.0}, total);

            std::vector<double> noise(noisy.samples.size());
            for (std::size_t i = 0; i < noise.size(); ++i) {
                noise[i] = double(noisy.samples[i]) - double(clean.samples[i]);
            }
            // The carrier's power A^2 / 2 with A = level * 127 (the amplitude
            // is checked above). Measured from 8-bit samples it comes out a few
            // percent low at 48000 Hz, where every 2400 Hz cycle is sampled at
            // the same 20 phases and rounds the same way.
            const double signal_power = std::pow(0.15 * 127, 2) / 2;
            const double share = band_share(noise, rate, 300, 3400);
            const double measured = 10 * std::log10(signal_power / (mean_square(noise) * share));
            EXPECT_NEAR(measured, snr, 0.3) << rate << " Hz";
            // White up to half the sample rate: the band holds 3100 / (rate/2) of it.
            EXPECT_NEAR(share, 3100.0 / (rate / 2.0), 0.01) << rate << " Hz";
            EXPECT_GT(*std::min_element(noisy.samples.begin(), noisy.samples.end()), 0);
            EXPECT_LT(*std::max_element(noisy.samples.begin(), noisy.samples.end()), 255);
        }
    }
}

TEST(SynthNoise, BandPassShapesSignalAndNoiseButNotTheHumAddedAfterIt) {
    SynthOptions o;
    o.level = 0.3;
    o.snr_db = 10;
    o.band_pass = true;
    Recording r;
    std::string error;
    ASSERT_TRUE(synthesize({}, {}, 1 << 17, o, r, error)) << error;
    std::vector<double> x;
    for (std::uint8_t s : r.samples) x.push_back(s - 128.0);
    // Power per hertz well inside the pass band against far above it.
    const double pass = band_share(x, 19500, 800, 2400) / 1600;
    const double stop = band_share(x, 19500, 6000, 9750) / 3750;
    EXPECT_GT(10 * std::log10(pass / stop), 30);

    // The signal's tones pass nearly whole.
    o.snr_db.reset();
    const Recording filtered = render_one(small_downlink(), o, {100, 0.0}, 12000);
    const auto [lo, hi] = std::minmax_element(filtered.samples.begin(), filtered.samples.end());
    EXPECT_NEAR((*hi - *lo) / 2.0, 0.3 * 127, 0.3 * 127 * 0.2);

    // Hum enters at the sound card, after the filter that would cut 50 Hz.
    o.hum = 0.2;
    ASSERT_TRUE(synthesize({}, {}, 19500, o, r, error)) << error;
    const auto [hlo, hhi] = std::minmax_element(r.samples.begin(), r.samples.end());
    EXPECT_NEAR(*hhi - 128, 0.2 * 127, 1.0);
    EXPECT_NEAR(128 - *hlo, 0.2 * 127, 1.0);
    // 50 Hz: one cycle in 390 samples, so the zero crossings are 195 apart.
    const std::vector<double> c = zero_crossings(r.samples);
    ASSERT_GE(c.size(), 90u);
    EXPECT_NEAR((c.back() - c.front()) / (c.size() - 1), 195.0, 0.5);
}

TEST(SynthNoise, SameSeedSameRecordingOtherSeedOtherNoise) {
    const std::vector<Frame> frames = generate_frames(5, 3);
    SynthOptions o;
    o.snr_db = 12;
    o.hum = 0.05;
    std::vector<Placement> where;
    std::string error;
    ASSERT_TRUE(layout_random(frames, o, 100000, 1000, 8, where, error)) << error;
    auto render = [&](std::uint64_t seed, bool noise) {
        SynthOptions s = o;
        s.seed = seed;
        if (!noise) s.snr_db.reset();
        Recording r;
        EXPECT_TRUE(synthesize(frames, where, 100000, s, r, error)) << error;
        return r.samples;
    };
    EXPECT_EQ(render(1, true), render(1, true));
    EXPECT_NE(render(1, true), render(2, true));
    EXPECT_EQ(render(1, false), render(2, false));  // the seed only draws the noise
}

TEST(SynthSynthesize, RefusesWhatCannotBeRecorded) {
    Recording r;
    std::string error;
    SynthOptions o;
    EXPECT_FALSE(synthesize({small_downlink()}, {{100, 0.0}}, 500, o, r, error));
    EXPECT_NE(error.find("need"), std::string::npos) << error;
    EXPECT_FALSE(synthesize({small_downlink()}, {}, 0, o, r, error));
    EXPECT_FALSE(synthesize({small_downlink()}, {{-1, 0.0}}, 0, o, r, error));
    EXPECT_FALSE(synthesize({small_downlink()}, {{0, 1.0}}, 0, o, r, error));
    Frame bad = small_downlink();
    bad.label = "H";
    EXPECT_FALSE(synthesize({bad}, {{0, 0.0}}, 0, o, r, error));
    EXPECT_NE(error.find("frame 1: label"), std::string::npos) << error;
    o.sample_rate = 4000;
    EXPECT_FALSE(synthesize({}, {}, 10, o, r, error));
    o = SynthOptions{};
    o.snr_db = NAN;
    EXPECT_FALSE(synthesize({}, {}, 10, o, r, error));
}

}  // namespace
}  // namespace korvad::synth
