// IQ recordings as sound sources, and what the front end makes of bursts of
// every level: each frame recovered exactly from its first bit.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "common/test_folder.h"
#include "signal/demodulator.h"
#include "signal/sound.h"
#include "tools/measure/measure.h"
#include "tools/synth/iq.h"

namespace korvad {
namespace {

// A few blocks as an IQ file of the given format; returns its path.
std::string iq_file(const TestFolder& folder, synth::IqFileFormat format, const char* name,
                    double seconds = 1.5, std::size_t blocks = 2) {
    synth::IqOptions o;
    o.iq_rate = 1'200'000;
    o.channel_offset_hz = 300'000;  // where korvad tunes at this rate
    std::vector<synth::Frame> frames = synth::generate_frames(8, 2);
    frames.resize(blocks);
    const std::vector<double> starts = {0.05, 0.7};
    std::vector<synth::SentFrame> sent;
    std::string error, render_error;
    const std::string path = folder.file(name);
    const bool ok = synth::write_iq(
        path, format, static_cast<int>(o.iq_rate),
        [&](const synth::IqSink& sink) {
            return synth::render_iq(frames, {starts.begin(), starts.begin() + blocks}, seconds, 128,
                                    o, sink, sent, render_error);
        },
        error);
    EXPECT_TRUE(ok) << error << render_error;
    return path;
}

// Reads the source to its end as korvad's direct mode does; the notices seen.
std::vector<std::string> drain(SoundSource& s, std::vector<std::uint8_t>& audio) {
    std::vector<std::string> notices;
    std::vector<std::uint8_t> block(kNewSamples);
    while (!s.ended) {
        const int n = read_samples(s, block.data(), kNewSamples);
        EXPECT_GE(n, 0);
        if (n < 0) break;
        audio.insert(audio.end(), block.begin(), block.begin() + n);
        if (!s.notice.empty()) notices.push_back(s.notice);
        s.notice.clear();
    }
    return notices;
}

TEST(IqSource, RecordingsInEveryFormGiveTheSameAudio) {
    TestFolder folder("korvad-iq-source");
    const std::string raw = iq_file(folder, synth::IqFileFormat::cs16, "a.cs16");
    const std::string wav = iq_file(folder, synth::IqFileFormat::wav, "a.wav");
    std::vector<std::uint8_t> from_raw, from_wav;
    SoundSource s;
    s.tuning.iq_rate = 1'200'000;
    s.tuning.iq_format = IqFormat::kCs16;
    ASSERT_TRUE(open_sound_device(s, ("iq:" + raw).c_str(), 19500, stderr));
    EXPECT_EQ(s.kind, SoundSource::Kind::kRadio);
    EXPECT_TRUE(is_recording(s));
    EXPECT_TRUE(drain(s, from_raw).empty());
    // The WAV file brings its own rate: --iq-rate does not count.
    s.tuning.iq_rate = 2'400'000;
    ASSERT_TRUE(open_sound_device(s, ("iq:" + wav).c_str(), 19500, stderr));
    EXPECT_TRUE(drain(s, from_wav).empty());
    close_sound_device(s);
    // 1.5 s at 19500 samples/s, less what the filters still hold.
    EXPECT_NEAR(static_cast<double>(from_raw.size()), 1.5 * 19500, 200.0);
    ASSERT_EQ(from_raw.size(), from_wav.size());
    int differ = 0;
    for (std::size_t i = 0; i < from_raw.size(); ++i) {
        differ += std::abs(from_raw[i] - from_wav[i]) > 1 ? 1 : 0;
    }
    EXPECT_EQ(differ, 0);  // 16 bits either way; rounding apart
}

TEST(IqSource, ATruncatedRecordingSaysSoOnceAndKeepsWhatItHolds) {
    TestFolder folder("korvad-iq-source");
    const std::string whole = iq_file(folder, synth::IqFileFormat::cu8, "whole.cu8");
    std::vector<std::uint8_t> expected;
    SoundSource s;
    s.tuning.iq_rate = 1'200'000;
    ASSERT_TRUE(open_sound_device(s, ("iq:" + whole).c_str(), 19500, stderr));
    EXPECT_TRUE(drain(s, expected).empty());
    // One byte more: half an IQ pair at the end.
    {
        std::FILE* f = std::fopen(whole.c_str(), "ab");
        ASSERT_NE(f, nullptr);
        std::fputc(0x80, f);
        std::fclose(f);
    }
    std::vector<std::uint8_t> audio;
    ASSERT_TRUE(open_sound_device(s, ("iq:" + whole).c_str(), 19500, stderr));
    const std::vector<std::string> notices = drain(s, audio);
    EXPECT_EQ(audio, expected);
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0], "IQ recording 'iq:" + whole +
                              "' ends inside an IQ pair: its last 1 bytes are not used");

    // A WAV file cut short of what its header announces.
    const std::string wav = iq_file(folder, synth::IqFileFormat::wav, "cut.wav");
    std::filesystem::resize_file(wav, std::filesystem::file_size(wav) - 4000);
    ASSERT_TRUE(open_sound_device(s, ("iq:" + wav).c_str(), 19500, stderr));
    audio.clear();
    const std::vector<std::string> cut = drain(s, audio);
    ASSERT_EQ(cut.size(), 1u);
    EXPECT_EQ(cut[0], "IQ recording 'iq:" + wav + "' ends after 1799000 of the 1800000 IQ pairs " +
                          "its header announces");
    EXPECT_NEAR(static_cast<double>(audio.size()), static_cast<double>(expected.size()), 100.0);
    close_sound_device(s);
}

TEST(IqSource, StandardInputIsReadAsALiveSource) {
    TestFolder folder("korvad-iq-source");
    const std::string raw = iq_file(folder, synth::IqFileFormat::cu8, "a.cu8", 0.9, 1);
    std::FILE* in = std::fopen(raw.c_str(), "rb");
    ASSERT_NE(in, nullptr);
    const int saved = dup(STDIN_FILENO);
    dup2(fileno(in), STDIN_FILENO);
    SoundSource s;
    s.tuning.iq_rate = 1'200'000;
    const bool opened = open_sound_device(s, "iq:-", 19500, stderr);
    dup2(saved, STDIN_FILENO);
    close(saved);
    std::fclose(in);
    ASSERT_TRUE(opened);
    EXPECT_FALSE(is_recording(s));
    std::vector<std::uint8_t> work(kWorkBufferSize, 7);
    ASSERT_TRUE(read_block(s, work.data()));
    EXPECT_TRUE(s.ended);
    // 0.9 s of audio, then silence, never older samples.
    EXPECT_EQ(work[kHistorySamples + 19500], 128);
    EXPECT_EQ(work.back(), 128);
    close_sound_device(s);
}

// Bursts of every level, strong and weak in turn with short gaps between
// them, beside a busy neighbour: the front end's gain must take each one from
// its first bit.
TEST(IqSource, EveryBurstIsRecoveredWhateverItsLevel) {
    struct Case {
        const char* what;
        double spread_db;
        double gap_seconds;
        std::optional<double> neighbour_db;
        double neighbour_offset_hz;
        double carrier_offset_hz;
        int ppm;
    };
    const Case cases[] = {
        {"levels over 20 dB, 30 ms apart", 20.0, 0.03, std::nullopt, 25000, 300, 0},
        {"a neighbour 10 dB stronger 25 kHz below, 1 kHz offsets, -20 ppm", 6.0, 0.1, 10.0, -25000,
         1000, -20},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        synth::IqOptions o;
        o.channel_offset_hz = 225'000;
        o.level_spread_db = c.spread_db;
        o.neighbour_db = c.neighbour_db;
        o.neighbour_offset_hz = c.neighbour_offset_hz;
        o.carrier_offset_hz = c.carrier_offset_hz;
        o.ppm = c.ppm;
        o.cn_db = 35.0;
        o.seed = 21;
        const std::vector<synth::Frame> frames = synth::generate_frames(21, 12);
        std::vector<double> starts;
        double at = 0.25;
        for (const synth::Frame& f : frames) {
            starts.push_back(at);
            at += static_cast<double>(synth::frame_span_samples(f, synth::SynthOptions{})) /
                      synth::kDefaultSampleRate +
                  c.gap_seconds;
        }
        FrontEndPlan plan;
        plan.channel_hz = o.channel_hz;
        plan.center_hz = o.channel_hz - o.channel_offset_hz;
        plan.ppm = c.ppm;
        RadioFrontEndPtr f = make_radio_front_end(plan);
        ASSERT_TRUE(f);
        synth::Recording received;
        std::string error;
        ASSERT_TRUE(synth::render_iq(
            frames, starts, at + 0.3, synth::kDefaultPrekeyBits, o,
            [&](const std::complex<float>* iq, std::size_t n) {
                run_front_end(*f, iq, n, received.samples);
                return true;
            },
            received.frames, error))
            << error;
        const measure::Result r = measure::run_recording(received, 19500);
        EXPECT_EQ(r.msk.exact, 12);
        EXPECT_EQ(r.both.exact, 12);
        EXPECT_EQ(r.both.wrong, 0);
    }
}

}  // namespace
}  // namespace korvad
