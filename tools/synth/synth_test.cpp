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

namespace korvad::synth {
namespace {

using Bytes = std::vector<std::uint8_t>;

Frame small_downlink() {
    Frame f;
    f.kind = FrameKind::downlink;
    f.mode = '2';
    f.registration = ".N123AB";
    f.ack = 0x15;
    f.label = "H1";
    f.block_id = '4';
    f.sequence = "M01A";
    f.flight = "BA0123";
    f.text = "OK\r\n";
    return f;
}

// Hand count of the ones in each 7-bit code; bit 7 is set when the count is
// even (odd parity). BCS: CRC-16/0x8408, register after each covered byte
// (from the mode on): 32:1291 AE:C966 CE:298B 31:1AF8 32:694C B3:0F11 C1:D682
// C2:42D2 15:B2F1 C8:ACF0 31:D729 34:CBB3 02:A4C9 CD:4680 B0:31C5 31:B19A
// C1:ECE7 C2:7643 C1:A76C B0:1C46 31:0724 32:75B0 B3:32EE 4F:B4B1 CB:DC69
// 0D:25FE 8A:3586 83:5798, so BCS 0x5798, sent 98 57.
const Bytes kSmallDownlinkBytes = {
    0x2A,                                      // '*'  3 ones
    0x16, 0x16,                                // SYN  3 ones
    0x01,                                      // SOH  1
    0x32,                                      // '2'  3
    0xAE, 0xCE, 0x31, 0x32, 0xB3, 0xC1, 0xC2,  // ".N123AB": 4 4 3 3 4 2 2
    0x15,                                      // NAK  3
    0xC8, 0x31,                                // "H1": 2 3
    0x34,                                      // '4'  3
    0x02,                                      // STX  1
    0xCD, 0xB0, 0x31, 0xC1,                    // "M01A": 4 2 3 2
    0xC2, 0xC1, 0xB0, 0x31, 0x32, 0xB3,        // "BA0123": 2 2 2 3 3 4
    0x4F, 0xCB, 0x0D, 0x8A,                    // "OK" CR LF: 5 4 3 2
    0x83,                                      // ETX  2
    0x98, 0x57,                                // BCS, low byte first
    0x7F,                                      // DEL  7
};

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

Recording render_one(const Frame& f, const SynthOptions& o, Placement p, std::int64_t total = 0) {
    Recording r;
    std::string error;
    EXPECT_TRUE(synthesize({f}, {p}, total, o, r, error)) << error;
    return r;
}

// Zero crossings (in samples, interpolated) of the samples around 128: between
// two non-zero samples of opposite sign with only zero-level samples between.
std::vector<double> zero_crossings(const Bytes& s) {
    std::vector<double> out;
    std::size_t last = s.size();
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == 128) continue;
        if (last < s.size() && (s[last] > 128) != (s[i] > 128)) {
            const double a = s[last] - 128.0, b = s[i] - 128.0;
            out.push_back(last + (i - last) * a / (a - b));
        }
        last = i;
    }
    return out;
}

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

// Share of the power of x that lies between lo and hi Hz, from an averaged
// periodogram.
double band_share(const std::vector<double>& x, double rate, double lo, double hi) {
    constexpr unsigned n = 4096;
    std::vector<std::complex<float>> in(n), out(n);
    fftplan plan = fft_create_plan(n, in.data(), out.data(), LIQUID_FFT_FORWARD, 0);
    double in_band = 0, total = 0;
    for (std::size_t start = 0; start + n <= x.size(); start += n) {
        for (unsigned i = 0; i < n; ++i) in[i] = static_cast<float>(x[start + i]);
        fft_execute(plan);
        for (unsigned k = 0; k < n; ++k) {
            const double f = (k <= n / 2 ? k : n - k) * rate / n;
            const double p = std::norm(std::complex<double>(out[k]));
            total += p;
            if (f >= lo && f <= hi) in_band += p;
        }
    }
    fft_destroy_plan(plan);
    return in_band / total;
}

double mean_square(const std::vector<double>& x) {
    double s = 0;
    for (double v : x) s += v * v;
    return s / static_cast<double>(x.size());
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

// ---- Layouts ----------------------------------------------------------------

TEST(SynthLayout, SequentialBlocksStayInsideTheirReadBlocks) {
    const std::vector<Frame> frames = generate_frames(21, 60);
    SynthOptions o;
    SequentialLayout l;
    l.first_sample = 10240;
    l.gap_samples = 3000;
    l.block_samples = 40000;
    l.block_origin = 10240;
    l.margin = 400;
    std::vector<Placement> where;
    std::string error;
    ASSERT_TRUE(layout_sequential(frames, o, l, where, error)) << error;
    Recording r;
    ASSERT_TRUE(synthesize(frames, where, 0, o, r, error)) << error;
    std::vector<bool> inside(r.samples.size(), false);
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const SentFrame& s = r.frames[i];
        EXPECT_EQ(s.start_sample, where[i].start);
        EXPECT_EQ((s.start_sample - 400 - 10240) / 40000, (s.end_sample + 400 - 1 - 10240) / 40000)
            << "frame " << i << " straddles a read boundary";
        if (i > 0) {
            EXPECT_GE(s.start_sample - r.frames[i - 1].end_sample, 3000);
        }
        EXPECT_EQ(s.bytes, frame_air_bytes(frames[i]));
        for (auto k = s.start_sample; k < s.end_sample; ++k) inside[k] = true;
    }
    // Without noise the recording is silent outside the blocks.
    for (std::size_t k = 0; k < r.samples.size(); ++k) {
        if (!inside[k]) {
            ASSERT_EQ(r.samples[k], 128) << k;
        }
    }
    l.margin = 20000;  // no block fits between two boundaries any more
    EXPECT_FALSE(layout_sequential(frames, o, l, where, error));
}

TEST(SynthLayout, RandomPositionsAreInOrderApartAndFromTheSeed) {
    const std::vector<Frame> frames = generate_frames(4, 12);
    SynthOptions o;
    std::vector<Placement> a, b, c;
    std::string error;
    const std::int64_t total = 20 * 19500;
    ASSERT_TRUE(layout_random(frames, o, total, 2000, 1, a, error)) << error;
    ASSERT_TRUE(layout_random(frames, o, total, 2000, 1, b, error));
    ASSERT_TRUE(layout_random(frames, o, total, 2000, 2, c, error));
    std::int64_t free_from = 2000;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        EXPECT_GE(a[i].start, free_from);
        EXPECT_GE(a[i].sub_sample, 0.0);
        EXPECT_LT(a[i].sub_sample, 1.0);
        EXPECT_EQ(a[i].start, b[i].start);
        free_from = a[i].start + frame_span_samples(frames[i], o) + 2000;
    }
    EXPECT_LE(free_from, total);
    bool moved = false;
    for (std::size_t i = 0; i < frames.size(); ++i) moved |= a[i].start != c[i].start;
    EXPECT_TRUE(moved);
    EXPECT_FALSE(layout_random(frames, o, 5 * 19500, 2000, 1, a, error));
    EXPECT_NE(error.find("do not fit"), std::string::npos);
}

// ---- Frame lines ------------------------------------------------------------

TEST(SynthFrameLines, ParsesKindsDefaultsEscapesCommentsAndCrLf) {
    const std::string file =
        "# traffic at the gate\r\n"
        "\n"
        "   \t\n"
        "downlink mode=2 reg=.N123AB ack=NAK label=H1 block=4 seq=M01A flight=BA0123 "
        "text=OK\\r\\n\r\n"
        "  uplink reg=G-EUPT label=_d block=B ack=3 mode=a end=ETB\n"
        "squitter text=02XAORDKORD1 two  spaces \\\\ \\t\\x7F\n"
        "uplink reg=\\x20.ABC label=\\x5Fd block=\\\\ ack=\\x15 text=\n";
    const ParsedFrames p = parse_frame_lines(file);
    ASSERT_TRUE(p.ok()) << p.error_line << ": " << p.error;
    ASSERT_EQ(p.frames.size(), 4u);
    EXPECT_EQ(p.frames[0], small_downlink());

    Frame up;
    up.kind = FrameKind::uplink;
    up.mode = 'a';
    up.registration = "G-EUPT";
    up.ack = '3';
    up.label = "_d";
    up.block_id = 'B';
    up.end = BlockEnd::etb;
    EXPECT_EQ(p.frames[1], up);

    Frame sq;
    sq.kind = FrameKind::squitter;
    sq.registration = ".......";
    sq.label = "SQ";
    sq.block_id = '0';
    sq.text = "02XAORDKORD1 two  spaces \\ \t\x7F";
    EXPECT_EQ(p.frames[2], sq);

    Frame odd;
    odd.kind = FrameKind::uplink;
    odd.registration = " .ABC";
    odd.label = "_d";
    odd.block_id = '\\';
    EXPECT_EQ(p.frames[3], odd);
}

TEST(SynthFrameLines, MalformedLinesNameTheirLineAndFault) {
    struct Case {
        const char* line;
        const char* fault;
    };
    const Case cases[] = {
        {"downlnk reg=.N1 label=H1 block=1 seq=M01A flight=BA0123", "unknown kind 'downlnk'"},
        {"uplink reg=.N1 lable=H1 block=A", "unknown key 'lable'"},
        {"uplink reg=.N1 label=H1 block=A reg=.N2", "reg= given twice"},
        {"uplink reg=.N1 label=H1 block", "'block' is not key=value"},
        {"uplink reg=.N1 label=H1", "an uplink needs block="},
        {"downlink reg=.N1 label=H1 block=1 seq=M01A", "a downlink needs flight="},
        {"uplink reg=.N1 label=H1 block=AB", "block must be one character"},
        {"uplink reg=.N1 label=H1 block=A end=EOT", "end must be ETX or ETB"},
        {"uplink reg=.N1 label=H1 block=A text=a\\qb", "unknown escape \\q"},
        {"uplink reg=.N1 label=H1 block=A text=a\\x4", "two hexadecimal digits"},
        {"uplink reg=.N1 label=H1 block=A text=ab\\", "a backslash ends"},
        {"uplink reg=.N1 label=H1 block=A text=\\x03", "would end the block"},
        {"uplink reg=.N1 label=H1 block=A text=\\xC3", "not a 7-bit"},
        {"uplink reg=.N1 label=H12 block=A", "label must be 2"},
        {"uplink reg=.N1 label=H1 block=A seq=M01A", "only downlinks"},
        {"squitter label=H1", "label is SQ"},
    };
    for (const Case& c : cases) {
        const std::string file = std::string("# first\n\n") + c.line + "\nuplink broken\n";
        const ParsedFrames p = parse_frame_lines(file);
        EXPECT_FALSE(p.ok()) << c.line;
        EXPECT_EQ(p.error_line, 3) << c.line;
        EXPECT_NE(p.error.find(c.fault), std::string::npos) << c.line << " -> " << p.error;
        EXPECT_TRUE(p.frames.empty());
    }
}

TEST(SynthFrameLines, WrittenLinesReadBackToTheSameFrames) {
    EXPECT_EQ(format_frame_line(small_downlink()),
              "downlink mode=2 reg=.N123AB ack=NAK label=H1 block=4 seq=M01A flight=BA0123 "
              "end=ETX text=OK\\r\\n");
    std::vector<Frame> frames = generate_frames(77, 300);
    Frame every = small_downlink();
    every.kind = FrameKind::uplink;
    every.sequence.clear();
    every.flight.clear();
    every.registration = "\\ .\t=";
    every.label = " #";
    every.ack = '\x7F';
    for (int c = 0; c < 128; ++c) {
        if (c != 0x03 && c != 0x17) every.text += static_cast<char>(c);
    }
    every.text += "  ";  // trailing spaces survive editors that strip them
    frames.push_back(every);
    std::string file;
    for (const Frame& f : frames) file += format_frame_line(f) + "\n";
    EXPECT_EQ(file.find("  \n"), std::string::npos);
    const ParsedFrames p = parse_frame_lines(file);
    ASSERT_TRUE(p.ok()) << p.error_line << ": " << p.error;
    EXPECT_EQ(p.frames, frames);
}

// ---- Generated traffic --------------------------------------------------------

TEST(SynthGenerator, VariedRealisticTrafficFromTheSeed) {
    const std::vector<Frame> frames = generate_frames(2024, 2000);
    EXPECT_EQ(frames, generate_frames(2024, 2000));
    EXPECT_NE(frames, generate_frames(2025, 2000));
    std::set<FrameKind> kinds;
    std::set<std::string> labels;
    std::size_t longest = 0, empty = 0, with_crlf = 0;
    for (const Frame& f : frames) {
        ASSERT_EQ(check_frame(f), "") << format_frame_line(f);
        kinds.insert(f.kind);
        labels.insert(f.label);
        longest = std::max(longest, f.text.size());
        empty += f.text.empty();
        with_crlf += f.text.find("\r\n") != std::string::npos;
        ASSERT_EQ(f.registration.size(), 7u);
        EXPECT_EQ(f.registration[0], '.');
        if (f.kind == FrameKind::downlink) {
            EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(f.block_id)));
            for (int i = 2; i < 6; ++i)
                EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(f.flight[i])));
        } else if (f.kind == FrameKind::uplink) {
            EXPECT_TRUE(std::isupper(static_cast<unsigned char>(f.block_id)));
        }
    }
    EXPECT_EQ(kinds.size(), 3u);
    EXPECT_EQ(longest, kAcarsTextChars);
    EXPECT_GT(empty, 100u);
    EXPECT_GT(with_crlf, 100u);
    for (const char* l : {"H1", "_d", "5Z", "Q0", "SA", "10", "80", "SQ"}) {
        EXPECT_TRUE(labels.count(l)) << l;
    }
}

// ---- Files and the command line -----------------------------------------------

struct TempDir {
    std::string path;
    TempDir() {
        char name[] = "/tmp/korvad-synth-test-XXXXXX";
        path = mkdtemp(name);
    }
    ~TempDir() { std::filesystem::remove_all(path); }
};

Bytes read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

TEST(SynthAudioFile, WavIsEightBitUnsignedMonoAndRawIsTheSamples) {
    TempDir dir;
    const Bytes samples = {0, 128, 255, 1, 2, 3, 200};
    std::string error;
    ASSERT_TRUE(write_audio(dir.path + "/a.wav", AudioFormat::wav, samples, 19500, error)) << error;
    ASSERT_TRUE(write_audio(dir.path + "/a.raw", AudioFormat::raw, samples, 19500, error)) << error;
    EXPECT_EQ(read_file(dir.path + "/a.raw"), samples);

    const Bytes wav = read_file(dir.path + "/a.wav");
    ASSERT_GE(wav.size(), 44u);
    auto le16 = [&](std::size_t i) { return wav[i] | wav[i + 1] << 8; };
    auto le32 = [&](std::size_t i) { return le16(i) | le16(i + 2) << 16; };
    EXPECT_EQ(std::string(wav.begin(), wav.begin() + 4), "RIFF");
    EXPECT_EQ(le32(4), static_cast<int>(wav.size() - 8));
    EXPECT_EQ(std::string(wav.begin() + 8, wav.begin() + 16), "WAVEfmt ");
    EXPECT_EQ(le16(20), 1);      // PCM
    EXPECT_EQ(le16(22), 1);      // mono
    EXPECT_EQ(le32(24), 19500);  // samples per second
    EXPECT_EQ(le32(28), 19500);  // bytes per second
    EXPECT_EQ(le16(32), 1);      // bytes per sample
    EXPECT_EQ(le16(34), 8);      // bits per sample
    std::size_t chunk = 12;
    while (chunk + 8 <= wav.size() &&
           std::string(wav.begin() + chunk, wav.begin() + chunk + 4) != "data") {
        chunk += 8 + le32(chunk + 4);
    }
    ASSERT_LE(chunk + 8 + samples.size(), wav.size());
    EXPECT_EQ(le32(chunk + 4), static_cast<int>(samples.size()));
    EXPECT_EQ(Bytes(wav.begin() + chunk + 8, wav.begin() + chunk + 8 + samples.size()), samples);

    EXPECT_EQ(audio_format_for("x/rec.WAV"), AudioFormat::wav);
    EXPECT_EQ(audio_format_for("rec.u8"), AudioFormat::raw);
    EXPECT_EQ(audio_format_for("rec.mp3"), std::nullopt);
    EXPECT_FALSE(write_audio(dir.path + "/none/a.raw", AudioFormat::raw, samples, 19500, error));
}

int run_tool(const std::string& arguments, const std::string& err_path) {
    const std::string command =
        std::string(KORVAD_SYNTH_BINARY) + " " + arguments + " 2>'" + err_path + "' >/dev/null";
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(SynthCommandLine, RandomTrafficWithItsListAndClearErrors) {
    TempDir dir;
    const std::string err = dir.path + "/err";
    ASSERT_EQ(run_tool("--random 5 --seed 3 --snr 20 --list '" + dir.path + "/list.txt' '" +
                           dir.path + "/out.wav'",
                       err),
              0);
    const Bytes list = read_file(dir.path + "/list.txt");
    const ParsedFrames p = parse_frame_lines(std::string(list.begin(), list.end()));
    ASSERT_TRUE(p.ok()) << p.error;
    EXPECT_EQ(p.frames, generate_frames(3, 5));
    EXPECT_GT(read_file(dir.path + "/out.wav").size(), 19500u);

    // The list reads back as a frames file and gives the same audio.
    ASSERT_EQ(
        run_tool("--seed 3 --snr 20 '" + dir.path + "/list.txt' '" + dir.path + "/again.wav'", err),
        0);
    EXPECT_EQ(read_file(dir.path + "/again.wav"), read_file(dir.path + "/out.wav"));

    std::FILE* f = std::fopen((dir.path + "/bad.txt").c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs("# one good line, then a bad one\nuplink reg=.N1 label=H1 block=A\nuplink reg=.N1\n",
               f);
    std::fclose(f);
    EXPECT_EQ(run_tool("'" + dir.path + "/bad.txt' '" + dir.path + "/x.raw'", err), 1);
    const Bytes message = read_file(err);
    EXPECT_NE(std::string(message.begin(), message.end()).find("bad.txt:3: an uplink needs label="),
              std::string::npos);
    EXPECT_EQ(run_tool("--snr loud --random 2 '" + dir.path + "/x.raw'", err), 2);
    EXPECT_EQ(run_tool("--random 2 '" + dir.path + "/x.mp3'", err), 2);
    EXPECT_TRUE(read_file(dir.path + "/x.raw").empty());
}

}  // namespace
}  // namespace korvad::synth
