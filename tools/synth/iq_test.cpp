// The IQ synthesizer: bytes of the three raw formats and the WAV file, the
// keyed carriers as a dongle with a crystal error sees them, the noise at
// its C/N, the bursts' levels.

#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>
#include <complex>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <numbers>

#include "common/test_folder.h"
#include "tools/synth/iq.h"

namespace korvad::synth {
namespace {

using Complex = std::complex<float>;

std::vector<Complex> render(const IqOptions& o, const std::vector<Frame>& frames,
                            const std::vector<double>& starts, double seconds,
                            std::vector<SentFrame>* sent = nullptr) {
    std::vector<Complex> all;
    std::vector<SentFrame> ignored;
    std::string error;
    const bool ok = render_iq(
        frames, starts, seconds, 16, o,
        [&](const Complex* iq, std::size_t n) {
            all.insert(all.end(), iq, iq + n);
            return true;
        },
        sent != nullptr ? *sent : ignored, error);
    EXPECT_TRUE(ok) << error;
    return all;
}

std::string file_bytes(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), {}};
}

TEST(IqSynth, RawPairsAndTheWavFileHoldTheValuesAsWritten) {
    TestFolder folder("korvad-iq-synth");
    const Complex pairs[] = {{1.0f, -1.0f}, {0.5f, -0.25f}};
    const auto render_two = [&](const IqSink& sink) { return sink(pairs, 2); };
    struct Case {
        IqFileFormat format;
        std::string bytes;
    };
    const Case cases[] = {
        // round(127.5 + 127.5 x), clamped
        {IqFileFormat::cu8, std::string("\xFF\x00\xBF\x60", 4)},
        // round(32767 x), little-endian
        {IqFileFormat::cs16, std::string("\xFF\x7F\x01\x80\x00\x40\x00\xE0", 8)},
        // little-endian floats: 1.0, -1.0, 0.5, -0.25
        {IqFileFormat::cf32,
         std::string("\x00\x00\x80\x3F\x00\x00\x80\xBF\x00\x00\x00\x3F\x00\x00\x80\xBE", 16)},
    };
    for (const Case& c : cases) {
        const std::string path = folder.path() + "/iq.raw";
        std::string error;
        ASSERT_TRUE(write_iq(path, c.format, 2'400'000, render_two, error)) << error;
        EXPECT_EQ(file_bytes(path), c.bytes);
    }
    const std::string wav = folder.path() + "/iq.wav";
    std::string error;
    ASSERT_TRUE(write_iq(wav, IqFileFormat::wav, 1'200'000, render_two, error)) << error;
    SF_INFO info{};
    SNDFILE* f = sf_open(wav.c_str(), SFM_READ, &info);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(info.channels, 2);
    EXPECT_EQ(info.samplerate, 1'200'000);
    EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    short back[4] = {};
    EXPECT_EQ(sf_readf_short(f, back, 2), 2);
    sf_close(f);
    EXPECT_EQ(back[0], 32767);  // I left, Q right; libsndfile's scale is 32768, held at the top
    EXPECT_EQ(back[1], -32768);
    EXPECT_EQ(back[2], 16384);
    EXPECT_EQ(back[3], -8192);
    EXPECT_FALSE(write_iq("-", IqFileFormat::wav, 1'200'000, render_two, error));
}

TEST(IqSynth, EachBurstKeysACarrierWhereTheDongleSeesIt) {
    // No modulation, no noise: the carrier alone, which the dongle's crystal
    // error (fast oscillator, fast clock) moves.
    IqOptions o;
    o.channel_hz = 131'550'000;
    o.channel_offset_hz = 225'000;
    o.modulation = 0.0;
    o.carrier_offset_hz = 0.0;
    o.cn_db.reset();
    o.carrier = 0.2;
    for (double ppm : {0.0, -20.0, 300.0}) {
        o.ppm = ppm;
        std::vector<SentFrame> sent;
        const std::vector<Complex> iq = render(o, generate_frames(1, 1), {0.01}, 1.0, &sent);
        ASSERT_EQ(sent.size(), 1u);
        const std::int64_t first = sent[0].start_sample, end = sent[0].end_sample;
        const double k = 1.0 + ppm * 1e-6;
        EXPECT_NEAR(static_cast<double>(first), 0.01 * o.iq_rate * k, 1.0);
        // Nothing on the air before the key-up and after the block.
        EXPECT_EQ(iq[static_cast<std::size_t>(first - 1)], Complex(0.0f, 0.0f));
        EXPECT_EQ(iq[static_cast<std::size_t>(end)], Complex(0.0f, 0.0f));
        const double want = (o.channel_hz - (o.channel_hz - 225'000) * k) / (o.iq_rate * k);
        for (std::int64_t s = first + 1000; s < end; s += 7919) {
            const auto i = static_cast<std::size_t>(s);
            EXPECT_NEAR(std::abs(iq[i]), 0.2, 1e-5);
            const double turn = std::arg(iq[i + 1] / iq[i]) / (2 * std::numbers::pi);
            EXPECT_NEAR(turn, want, 1e-6) << ppm;
        }
    }
}

TEST(IqSynth, NoiseHasItsCarrierToNoiseRatioAndBurstsTheirLevels) {
    IqOptions o;
    o.cn_db = 20.0;
    o.carrier = 0.1;
    const std::vector<Complex> noise = render(o, {}, {}, 0.5);
    double power = 0.0;
    for (const Complex& z : noise) power += std::norm(z);
    power /= static_cast<double>(noise.size());
    // 1 % of the carrier's power in 25 kHz, white over 2.4 MHz.
    EXPECT_NEAR(power / (0.01 * 0.01 * o.iq_rate / kChannelBandwidthHz), 1.0, 0.02);
    EXPECT_NEAR(cn_for_audio_snr(8.0, 0.8), 8.0 - 6.06 + 1.94, 0.01);

    o.cn_db.reset();
    o.modulation = 0.0;
    o.level_spread_db = 12.0;
    std::vector<double> starts;
    for (int i = 0; i < 8; ++i) starts.push_back(0.05 + 0.12 * i);
    std::vector<SentFrame> sent;
    const std::vector<Frame> frames = generate_frames(4, 8);
    std::vector<Frame> short_frames;
    for (Frame f : frames) {
        f.text = f.text.substr(0, 10);
        short_frames.push_back(f);
    }
    const std::vector<Complex> iq = render(o, short_frames, starts, 1.1, &sent);
    double lowest = 1.0, highest = 0.0;
    for (const SentFrame& s : sent) {
        const double level = std::abs(iq[static_cast<std::size_t>(s.start_sample + 100)]);
        lowest = std::min(lowest, level);
        highest = std::max(highest, level);
    }
    EXPECT_LE(highest, 0.1 + 1e-6);
    EXPECT_GE(lowest, 0.1 * std::pow(10.0, -12.0 / 20.0) - 1e-6);
    EXPECT_GT(highest / lowest, 1.5);  // they differ
}

TEST(IqSynth, OptionsOutsideWhatADongleRecordsAreRefused) {
    IqOptions o;
    EXPECT_EQ(check_iq_options(o), "");
    o.channel_offset_hz = 1'200'000;
    EXPECT_EQ(check_iq_options(o),
              "a channel 1200000 Hz from the centre lies outside 2400000 samples/s");
    o = IqOptions{};
    o.neighbour_db = 10.0;
    o.neighbour_offset_hz = 500'000;  // 600 + 500 kHz: past the edge
    EXPECT_EQ(check_iq_options(o), "the neighbour lies outside the recording's band");
    std::vector<SentFrame> sent;
    std::string error;
    EXPECT_FALSE(render_iq(
        generate_frames(1, 1), {0.9}, 1.0, 16, IqOptions{},
        [](const Complex*, std::size_t) { return true; }, sent, error));
    EXPECT_EQ(error, "frame 1 does not fit into 1.000 s");
    EXPECT_EQ(iq_file_format_for("x.cs16"), IqFileFormat::cs16);
    EXPECT_FALSE(iq_file_format_for("x.u8"));
    EXPECT_EQ(iq_file_format_named("wav"), IqFileFormat::wav);
}

}  // namespace
}  // namespace korvad::synth
