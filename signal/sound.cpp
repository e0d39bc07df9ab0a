// Opening and reading the audio source: OSS device, recording or pipe.

#include "signal/sound.h"

#include <fcntl.h>
#include <linux/soundcard.h>
#include <poll.h>
#include <sndfile.h>
#include <soxr.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "common/format.h"
#include "signal/demodulator.h"

namespace korvad {

// A recording converted on the fly: libsndfile delivers float frames of the
// file's rate, the first channel goes through libsoxr when the rates differ,
// and the result is quantised to 8-bit unsigned.
struct RecordingReader {
    SNDFILE* file = nullptr;
    int channels = 1;
    soxr_t resampler = nullptr;  // null when the file already has the wanted rate
    bool file_done = false;      // libsndfile has no more frames
    bool flushed = false;        // the resampler gave its tail
    std::vector<float> frames;   // interleaved frames from the file
    std::vector<float> mono;     // first channel
    std::vector<float> out;      // converted samples not yet delivered
    std::size_t out_pos = 0;

    ~RecordingReader() {
        if (resampler != nullptr) soxr_delete(resampler);
        if (file != nullptr) sf_close(file);
    }

    // Refills `out`; false when nothing more will come.
    bool refill() {
        out.clear();
        out_pos = 0;
        while (out.empty()) {
            if (file_done && (resampler == nullptr || flushed)) return false;
            std::size_t got = 0;
            if (!file_done) {
                constexpr sf_count_t kChunk = 4096;
                frames.resize(static_cast<std::size_t>(kChunk * channels));
                sf_count_t n = sf_readf_float(file, frames.data(), kChunk);
                if (n <= 0) {
                    file_done = true;
                } else {
                    got = static_cast<std::size_t>(n);
                }
                mono.resize(got);
                for (std::size_t i = 0; i < got; ++i) mono[i] = frames[i * channels];
            }
            if (resampler == nullptr) {
                out.assign(mono.begin(), mono.begin() + static_cast<std::ptrdiff_t>(got));
                continue;
            }
            // Room for the converted block plus what the filter still holds.
            out.resize(got * 8 + 8192);
            std::size_t done = 0;
            soxr_error_t e;
            if (file_done) {
                e = soxr_process(resampler, nullptr, 0, nullptr, out.data(), out.size(), &done);
                if (done == 0) flushed = true;
            } else {
                e = soxr_process(resampler, mono.data(), got, nullptr, out.data(), out.size(),
                                 &done);
            }
            if (e != nullptr) {
                file_done = flushed = true;
                out.clear();
                return false;
            }
            out.resize(done);
        }
        return true;
    }

    int read(std::uint8_t* dst, int count) {
        int n = 0;
        while (n < count) {
            if (out_pos == out.size() && !refill()) break;
            while (n < count && out_pos < out.size()) {
                long v = std::lrint(out[out_pos++] * 128.0f + 128.0f);
                dst[n++] = static_cast<std::uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v));
            }
        }
        return n;
    }
};

namespace {

// False when the source's owner wants the read given up.
bool keep_waiting(const SoundSource& source) {
    return !source.waiting || source.waiting();
}

constexpr int kWaitMilliseconds = 500;

bool open_recording(SoundSource& source, const char* path, int rate) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path, SFM_READ, &info);
    if (file == nullptr) {
        // Not a format libsndfile knows: raw 8-bit unsigned at the wanted rate.
        info = SF_INFO{};
        info.samplerate = rate;
        info.channels = 1;
        info.format = SF_FORMAT_RAW | SF_FORMAT_PCM_U8;
        file = sf_open(path, SFM_READ, &info);
        if (file == nullptr) return false;
    }
    auto reader = std::make_shared<RecordingReader>();
    reader->file = file;
    reader->channels = info.channels > 0 ? info.channels : 1;
    if (info.samplerate <= 0) return false;
    if (info.samplerate != rate) {
        soxr_error_t error = nullptr;
        soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
        reader->resampler =
            soxr_create(info.samplerate, rate, 1, &error, nullptr, &quality, nullptr);
        if (reader->resampler == nullptr || error != nullptr) return false;
    }
    source.kind = SoundSource::Kind::kRecording;
    source.recording = std::move(reader);
    source.fd = -1;
    source.handle = 3;  // what a freshly opened descriptor would be; for the display only
    return true;
}

void set_up_device(int fd, int rate, std::FILE* err) {
    int format = AFMT_U8;
    if (ioctl(fd, SNDCTL_DSP_SETFMT, &format) == -1) {
        print_to(err, "%s", "Can't set soundcard resolution to 8 bits/sample\n");
    }
    int stereo = 0;
    if (ioctl(fd, SNDCTL_DSP_STEREO, &stereo) == -1) {
        print_to(err, "%s", "Can't set soundcard to mono\n");
    }
    int speed = rate;
    if (ioctl(fd, SNDCTL_DSP_SPEED, &speed) == -1) {
        print_to(err, "Can't set sampling rate to %d Hz\n", rate);
    }
}

}  // namespace

bool open_sound_device(SoundSource& source, const char* path, int sample_rate, std::FILE* err) {
    close_sound_device(source);
    source.ended = false;
    source.sample_rate = sample_rate;
    bool ok = false;
    bool interrupted = false;  // a signal (the caller's time-out) cut the open short
    if (sample_rate > 0 && is_radio_name(path)) {
        std::string reason;
        if (!open_radio(source, path, sample_rate, reason)) {
            close_sound_device(source);
            if (!reason.empty()) {
                print_to(err, "error opening sounddevice '%s': %s\n", path, reason.c_str());
            }
            return false;
        }
        return true;
    }
    if (sample_rate > 0) {
        if (std::strcmp(path, "-") == 0) {
            source.fd = dup(STDIN_FILENO);
            source.kind = SoundSource::Kind::kPipe;
            ok = source.fd >= 0;
        } else {
            struct stat st;
            bool exists = stat(path, &st) == 0;
            if (exists && S_ISREG(st.st_mode)) {
                ok = open_recording(source, path, sample_rate);
            } else {
                source.fd = open(path, O_RDONLY | O_CLOEXEC);
                ok = source.fd >= 0;
                interrupted = !ok && errno == EINTR;
                if (ok && fstat(source.fd, &st) == 0 && S_ISCHR(st.st_mode)) {
                    source.kind = SoundSource::Kind::kDevice;
                    set_up_device(source.fd, sample_rate, err);
                } else if (ok) {
                    source.kind = SoundSource::Kind::kPipe;
                }
            }
        }
    }
    if (!ok) {
        close_sound_device(source);
        if (!interrupted) print_to(err, "error opening sounddevice '%s'\n", path);
        return false;
    }
    if (source.fd >= 0) source.handle = source.fd;
    return true;
}

void close_sound_device(SoundSource& source) {
    if (source.fd >= 0) close(source.fd);
    source.fd = -1;
    source.handle = 0;
    source.recording.reset();
    source.radio.reset();
    source.kind = SoundSource::Kind::kNone;
}

int read_samples(SoundSource& source, std::uint8_t* out, int count) {
    source.given_up = false;
    switch (source.kind) {
        case SoundSource::Kind::kNone:
            return -1;
        case SoundSource::Kind::kRecording: {
            int n = source.recording->read(out, count);
            if (n < count) source.ended = true;
            return n;
        }
        case SoundSource::Kind::kDevice: {
            ssize_t n;
            do {
                n = read(source.fd, out, static_cast<std::size_t>(count));
            } while (n < 0 && errno == EINTR && keep_waiting(source));
            if (n < 0 && errno == EINTR) {
                source.given_up = true;
                return 0;
            }
            return static_cast<int>(n);
        }
        case SoundSource::Kind::kPipe:
            return read_pipe(source, out, count);
        case SoundSource::Kind::kRadio:
            return read_radio(source, out, count);
    }
    return -1;
}

int read_pipe(SoundSource& source, std::uint8_t* out, int count) {
    int total = 0;
    while (total < count) {
        pollfd p{source.fd, POLLIN, 0};
        int ready = poll(&p, 1, kWaitMilliseconds);
        if (ready <= 0) {
            if (ready < 0 && errno != EINTR) return total > 0 ? total : -1;
            if (!keep_waiting(source)) {
                source.given_up = true;
                break;
            }
            continue;
        }
        ssize_t n = read(source.fd, out + total, static_cast<std::size_t>(count - total));
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n < 0) return total > 0 ? total : -1;
        if (n == 0) {
            source.ended = true;
            break;
        }
        total += static_cast<int>(n);
    }
    return total;
}

bool is_recording(const SoundSource& source) {
    return source.kind == SoundSource::Kind::kRecording || radio_is_recording(source);
}

bool read_block(SoundSource& source, std::uint8_t* work) {
    std::memmove(work, work + kNewSamples, kHistorySamples);
    std::uint8_t* fresh = work + kHistorySamples;
    int n = read_samples(source, fresh, kNewSamples);
    if (n < 0) return false;
    // A device's short read keeps the older samples behind it; a recording or
    // pipe that ended, or a read given up for a stop, is followed by silence.
    if (source.kind != SoundSource::Kind::kDevice || source.given_up) {
        std::memset(fresh + n, 128, static_cast<std::size_t>(kNewSamples - n));
    }
    return true;
}

}  // namespace korvad
