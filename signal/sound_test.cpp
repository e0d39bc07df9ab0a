#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/ipc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "common/test_folder.h"
#include "control/process_title.h"
#include "signal/collector.h"
#include "signal/demodulator.h"
#include "signal/sound.h"

namespace korvad {
namespace {

class SoundFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(folder.path().empty());
        err = std::tmpfile();
    }
    void TearDown() override { std::fclose(err); }
    std::string errors() {
        std::rewind(err);
        std::string s;
        int c;
        while ((c = std::fgetc(err)) != EOF) s.push_back(static_cast<char>(c));
        return s;
    }
    TestFolder folder{"korvad-sound"};
    const std::string dir = folder.path();
    std::FILE* err = nullptr;
};

// A pattern that shows every sample's position: 1..250, repeating.
std::uint8_t pattern(long i) {
    return static_cast<std::uint8_t>(1 + i % 250);
}

void write_u8_wav(const std::string& path, const std::vector<std::uint8_t>& samples, int rate) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_U8;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(f, nullptr);
    std::vector<short> s16(samples.size());
    for (std::size_t i = 0; i < samples.size(); ++i)
        s16[i] = static_cast<short>((samples[i] - 128) * 256);
    sf_write_short(f, s16.data(), static_cast<sf_count_t>(s16.size()));
    sf_close(f);
}

TEST_F(SoundFiles, RecordingAtTheDecoderRateIsReadSampleForSample) {
    std::vector<std::uint8_t> in(90000);
    for (std::size_t i = 0; i < in.size(); ++i) in[i] = pattern(static_cast<long>(i));
    std::string path = dir + "/rec.wav";
    write_u8_wav(path, in, 19500);

    SoundSource src;
    ASSERT_TRUE(open_sound_device(src, path.c_str(), 19500, err));
    EXPECT_EQ(src.kind, SoundSource::Kind::kRecording);
    std::vector<std::uint8_t> work(kWorkBufferSize, 7);
    ASSERT_TRUE(read_block(src, work.data()));
    for (int i = 0; i < kNewSamples; ++i) ASSERT_EQ(work[kHistorySamples + i], in[i]) << i;
    ASSERT_TRUE(read_block(src, work.data()));
    // History: the last 10240 samples of the block before.
    for (int i = 0; i < kHistorySamples; ++i)
        ASSERT_EQ(work[i], in[kNewSamples - kHistorySamples + i]);
    EXPECT_FALSE(src.ended);
    ASSERT_TRUE(read_block(src, work.data()));
    // 10000 samples remain for the third block; the rest is silence, not old audio.
    EXPECT_TRUE(src.ended);
    for (int i = 0; i < 10000; ++i) ASSERT_EQ(work[kHistorySamples + i], in[80000 + i]);
    for (int i = 10000; i < kNewSamples; ++i) ASSERT_EQ(work[kHistorySamples + i], 128) << i;
    EXPECT_EQ(errors(), "");
    close_sound_device(src);
}

TEST_F(SoundFiles, RecordingOfAnotherRateIsConverted) {
    // One second of a 1000 Hz tone at 48000 Hz, 16 bit.
    const int rate = 48000;
    std::vector<short> tone(rate);
    for (int i = 0; i < rate; ++i)
        tone[i] = static_cast<short>(12000 * std::sin(2 * M_PI * 1000 * i / rate));
    std::string path = dir + "/tone.flac";
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = 2;  // the first channel counts
    info.format = SF_FORMAT_FLAC | SF_FORMAT_PCM_16;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(f, nullptr);
    std::vector<short> stereo(2 * rate);
    for (int i = 0; i < rate; ++i) {
        stereo[2 * i] = tone[i];
        stereo[2 * i + 1] = 0;
    }
    sf_writef_short(f, stereo.data(), rate);
    sf_close(f);

    SoundSource src;
    ASSERT_TRUE(open_sound_device(src, path.c_str(), 19500, err));
    std::vector<std::uint8_t> out(40000, 0);
    int n = read_samples(src, out.data(), 40000);
    EXPECT_TRUE(src.ended);
    EXPECT_NEAR(n, 19500, 20);
    // 1000 rising zero crossings in a second, at the decoder's rate.
    int crossings = 0;
    for (int i = 1; i < n; ++i) crossings += (out[i - 1] < 128 && out[i] >= 128);
    EXPECT_NEAR(crossings, 1000, 2);
    int peak = 0;
    for (int i = 100; i < n - 100; ++i) peak = std::max(peak, std::abs(out[i] - 128));
    EXPECT_NEAR(peak, 12000 / 256, 2);
}

TEST_F(SoundFiles, UnknownRegularFileIsRawSamples) {
    std::string path = dir + "/audio.u8";
    std::vector<std::uint8_t> in(1000);
    for (std::size_t i = 0; i < in.size(); ++i) in[i] = pattern(static_cast<long>(i));
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(in.data()), 1000);
    SoundSource src;
    ASSERT_TRUE(open_sound_device(src, path.c_str(), 19500, err));
    std::vector<std::uint8_t> out(2000);
    EXPECT_EQ(read_samples(src, out.data(), 2000), 1000);
    EXPECT_TRUE(std::equal(in.begin(), in.end(), out.begin()));
}

TEST_F(SoundFiles, MissingDeviceIsReported) {
    SoundSource src;
    EXPECT_FALSE(open_sound_device(src, "/no/such/dsp", 19500, err));
    EXPECT_EQ(errors(), "error opening sounddevice '/no/such/dsp'\n");
    EXPECT_EQ(src.handle, 0);
}

// Writes `total` pattern samples into fd in small pieces, then closes it.
pid_t slow_writer(int fd, long total) {
    pid_t pid = fork();
    if (pid == 0) {
        std::vector<std::uint8_t> piece(777);
        for (long done = 0; done < total;) {
            long n = std::min<long>(777, total - done);
            for (long i = 0; i < n; ++i) piece[i] = pattern(done + i);
            if (write(fd, piece.data(), static_cast<std::size_t>(n)) != n) _exit(1);
            done += n;
            if (done % 7770 == 0) usleep(1000);
        }
        _exit(0);
    }
    return pid;
}

TEST_F(SoundFiles, PipeIsReadUntilTheBlockIsFullAndEndsWithSilence) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t writer = slow_writer(fds[1], 50000);
    close(fds[1]);
    std::string path = "/proc/self/fd/" + std::to_string(fds[0]);
    SoundSource src;
    ASSERT_TRUE(open_sound_device(src, path.c_str(), 19500, err));
    close(fds[0]);
    EXPECT_EQ(src.kind, SoundSource::Kind::kPipe);
    std::vector<std::uint8_t> work(kWorkBufferSize, 7);
    ASSERT_TRUE(read_block(src, work.data()));
    EXPECT_FALSE(src.ended);
    for (int i = 0; i < kNewSamples; ++i) ASSERT_EQ(work[kHistorySamples + i], pattern(i)) << i;
    ASSERT_TRUE(read_block(src, work.data()));
    EXPECT_TRUE(src.ended);
    for (int i = 0; i < 10000; ++i) ASSERT_EQ(work[kHistorySamples + i], pattern(40000 + i));
    for (int i = 10000; i < kNewSamples; ++i) ASSERT_EQ(work[kHistorySamples + i], 128);
    int status = 0;
    waitpid(writer, &status, 0);
    EXPECT_EQ(status, 0);
}

volatile std::sig_atomic_t g_stop = 0;
void on_stop(int) {
    g_stop = 1;
}

TEST_F(SoundFiles, ASignalCanCallOffAReadThatWaitsForAudio) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);  // nothing will ever be written
    struct sigaction sa {};
    sa.sa_handler = on_stop;  // no SA_RESTART: the read returns EINTR
    struct sigaction old {};
    ASSERT_EQ(sigaction(SIGUSR2, &sa, &old), 0);
    g_stop = 0;
    std::string path = "/proc/self/fd/" + std::to_string(fds[0]);
    SoundSource src;
    ASSERT_TRUE(open_sound_device(src, path.c_str(), 19500, err));
    int waits = 0;
    src.waiting = [&waits] {
        ++waits;
        return g_stop == 0;
    };
    pid_t self = getpid();
    pid_t killer = fork();
    if (killer == 0) {
        usleep(100000);
        kill(self, SIGUSR2);
        _exit(0);
    }
    std::vector<std::uint8_t> work(kWorkBufferSize, 7);
    EXPECT_TRUE(read_block(src, work.data()));
    EXPECT_EQ(g_stop, 1);
    EXPECT_TRUE(src.given_up);
    EXPECT_GE(waits, 1);
    EXPECT_EQ(work[kWorkBufferSize - 1], 128);
    waitpid(killer, nullptr, 0);
    sigaction(SIGUSR2, &old, nullptr);
    close(fds[0]);
    close(fds[1]);
}

TEST_F(SoundFiles, CollectorFillsTheRingInOrderWithHistoryAndMarksTheLastSlot) {
    // 45 blocks of audio: more than the 32 slots, so the ring wraps.
    const long total = 45L * kNewSamples - 1234;
    std::vector<std::uint8_t> in(static_cast<std::size_t>(total));
    for (long i = 0; i < total; ++i) in[static_cast<std::size_t>(i)] = pattern(i);
    std::string path = dir + "/long.wav";
    write_u8_wav(path, in, 19500);

    SharedRing ring;
    ASSERT_TRUE(ring_open(ring));
    SoundSource src;
    ASSERT_TRUE(open_sound_device(src, path.c_str(), 19500, err));
    ProcessTitle title;  // no area: the title is not shown
    pid_t collector = start_collector(ring, src, -1, title);
    ASSERT_GT(collector, 0);

    std::vector<std::uint8_t> work(kWorkBufferSize);
    int next = 0;
    long position = 0;
    int blocks = 0;
    TakeResult r;
    do {
        r = take_buffer(ring, next, work.data(), {}, [](unsigned) { usleep(1000); });
        ASSERT_NE(r, TakeResult::kStopped);
        for (int i = 0; i < kHistorySamples; ++i) {
            long at = position - kHistorySamples + i;
            ASSERT_EQ(work[i], at < 0 ? 0 : pattern(at)) << "block " << blocks << " history " << i;
        }
        for (int i = 0; i < kNewSamples; ++i, ++position) {
            ASSERT_EQ(work[kHistorySamples + i], position < total ? pattern(position) : 128)
                << "block " << blocks << " sample " << i;
        }
        ++blocks;
    } while (r == TakeResult::kTaken);
    EXPECT_EQ(blocks, 45);
    EXPECT_EQ(next, 45 % kSlotCount);
    int status = 0;
    waitpid(collector, &status, 0);
    EXPECT_TRUE(WIFEXITED(status));
    ring_close(ring, true);
}

TEST(Ring, TakeBufferGivesUpWhenTheWaitIsCalledOff) {
    SharedRing ring;
    ASSERT_TRUE(ring_open(ring));
    static int pauses;
    pauses = 0;
    int asked = 0;
    int next = 0;
    std::vector<std::uint8_t> work(kWorkBufferSize);
    // The slot is free (zeroed segment): each wait asks first, then pauses
    // half a second; the third question brings a stop.
    auto r = take_buffer(
        ring, next, work.data(), [&asked] { return ++asked < 3; },
        [](unsigned us) {
            EXPECT_EQ(us, 500000u);
            ++pauses;
        });
    EXPECT_EQ(r, TakeResult::kStopped);
    EXPECT_EQ(asked, 3);
    EXPECT_EQ(pauses, 2);
    EXPECT_EQ(next, 0);
    ring_close(ring, true);
}

}  // namespace
}  // namespace korvad
