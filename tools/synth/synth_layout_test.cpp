// The synthesizer's layouts, frame lines, generated traffic, files and
// command line, checked against what they promise.

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
        "  uplink reg=G-EUPT label=_d block=B ack=3 mode=a end=ETB bcs=bad\n"
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
    up.bad_bcs = true;
    EXPECT_EQ(p.frames[1], up);
    // Sent with its check one bit off.
    Frame good_up = up;
    good_up.bad_bcs = false;
    const std::vector<std::uint8_t> bad = frame_air_bytes(up), good = frame_air_bytes(good_up);
    ASSERT_EQ(bad.size(), good.size());
    EXPECT_EQ(bad[bad.size() - 2] ^ good[good.size() - 2], 0x01);  // BCS high byte, then DEL
    EXPECT_TRUE(std::equal(bad.begin(), bad.end() - 2, good.begin()));

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
        {"uplink reg=.N1 label=H1 block=A bcs=good", "bcs can only be bad"},
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
    every.bad_bcs = true;
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
    // The receiver's channel: fading, airband audio, AGC at key-up, drift.
    ASSERT_EQ(run_tool("--random 2 --snr 10 --fade 0.2,1,0.7 --airband --agc-pump 1 --drift 3 '" +
                           dir.path + "/airband.raw'",
                       err),
              0);
    EXPECT_GT(read_file(dir.path + "/airband.raw").size(), 19500u / 2);
    EXPECT_EQ(run_tool("--random 2 --fade 0.5,0.2,1 '" + dir.path + "/x.raw'", err), 2);
    const Bytes fade_message = read_file(err);
    EXPECT_NE(std::string(fade_message.begin(), fade_message.end()).find("LOW <= HIGH"),
              std::string::npos);
    EXPECT_EQ(run_tool("--random 2 --fade 0.2,1 '" + dir.path + "/x.raw'", err), 2);
    EXPECT_EQ(run_tool("--random 2 '" + dir.path + "/x.mp3'", err), 2);
    EXPECT_TRUE(read_file(dir.path + "/x.raw").empty());
}

}  // namespace
}  // namespace korvad::synth
