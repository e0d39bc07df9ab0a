// Radio sources: an RTL-SDR dongle, or an IQ recording (raw pairs from a
// file, a FIFO or standard input; a two-channel WAV file), through the front
// end into 8-bit audio.

#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "common/format.h"
#include "signal/radio.h"
#include "signal/rtlsdr_dongle.h"
#include "signal/sound.h"

namespace korvad {
namespace {

constexpr char kDonglePrefix[] = "rtlsdr:";
constexpr char kRecordingPrefix[] = "iq:";
constexpr std::size_t kChunkPairs = 65536;    // IQ pairs per read of a file or pipe
constexpr int kDongleReadBytes = 16 * 16384;  // whole USB transfers: 55 ms at 2.4 MS/s
constexpr auto kDongleRetry = std::chrono::seconds(3);
constexpr unsigned kWaitStepMicroseconds = 500000;

bool starts_with(const char* s, const char* prefix) {
    return std::strncmp(s, prefix, std::strlen(prefix)) == 0;
}

}  // namespace

struct RadioReader {
    enum class Input { kRaw, kWav, kDongle };
    Input input = Input::kRaw;
    IqFormat format = IqFormat::kCu8;
    bool recording_file = false;  // a regular file: not paced by anything
    std::string name;             // as -d gave it, for the notices
    RadioFrontEndPtr front_end;

    std::vector<std::uint8_t> bytes;  // raw input; `carried` bytes of a pair wait at its start
    std::size_t carried = 0;
    std::vector<std::complex<float>> iq;
    std::vector<std::uint8_t> audio;  // made, not yet delivered, from audio_pos on
    std::size_t audio_pos = 0;
    bool input_done = false;

    SNDFILE* wav = nullptr;
    sf_count_t wav_frames = 0;  // what the header promises
    sf_count_t wav_read = 0;
    std::vector<float> frames;

    DongleSetup dongle_setup;
    DonglePtr dongle;  // open while being read; null before the first read and after a failure
    std::chrono::steady_clock::time_point last_attempt{};
    bool attempted = false;
    bool lost = false;

    ~RadioReader() {
        if (wav != nullptr) sf_close(wav);
    }

    std::size_t available() const { return audio.size() - audio_pos; }
};

namespace {

void take_audio(RadioReader& r, std::size_t pairs) {
    // What was delivered goes; what is left (less than one read) moves up.
    r.audio.erase(r.audio.begin(), r.audio.begin() + static_cast<std::ptrdiff_t>(r.audio_pos));
    r.audio_pos = 0;
    run_front_end(*r.front_end, r.iq.data(), pairs, r.audio);
}

// Raw pairs from a file or pipe. False on a read error.
bool pull_raw(SoundSource& source, RadioReader& r) {
    const std::size_t pair = iq_sample_bytes(r.format);
    r.bytes.resize(kChunkPairs * pair);
    const int want = static_cast<int>(r.bytes.size() - r.carried);
    const int n = read_pipe(source, r.bytes.data() + r.carried, want);
    // The source has ended only when its audio has all been delivered.
    const bool end = source.ended;
    source.ended = false;
    if (n < 0) return false;
    const std::size_t have = r.carried + static_cast<std::size_t>(n);
    const std::size_t pairs = have / pair;
    r.iq.resize(pairs);
    iq_to_complex(r.format, r.bytes.data(), pairs, r.iq.data());
    r.carried = have - pairs * pair;
    std::memmove(r.bytes.data(), r.bytes.data() + pairs * pair, r.carried);
    take_audio(r, pairs);
    if (end) {
        r.input_done = true;
        if (r.carried > 0) {
            source.notice = format_text(
                "IQ recording '%s' ends inside an IQ pair: its last %zu bytes are not used",
                r.name.c_str(), r.carried);
        }
    }
    return true;
}

void pull_wav(SoundSource& source, RadioReader& r) {
    r.frames.resize(2 * kChunkPairs);
    const sf_count_t n = sf_readf_float(r.wav, r.frames.data(), kChunkPairs);
    const std::size_t pairs = n > 0 ? static_cast<std::size_t>(n) : 0;
    r.iq.resize(pairs);
    for (std::size_t i = 0; i < pairs; ++i) r.iq[i] = {r.frames[2 * i], r.frames[2 * i + 1]};
    r.wav_read += static_cast<sf_count_t>(pairs);
    take_audio(r, pairs);
    if (pairs < kChunkPairs) {
        r.input_done = true;
        if (r.wav_read < r.wav_frames) {
            source.notice = format_text(
                "IQ recording '%s' ends after %lld of the %lld IQ pairs its header announces",
                r.name.c_str(), static_cast<long long>(r.wav_read),
                static_cast<long long>(r.wav_frames));
        }
    }
}

// Waits until the last attempt to open the dongle is kDongleRetry old. False
// when the reader's owner wants the wait given up.
bool wait_for_retry(SoundSource& source, const RadioReader& r) {
    if (!r.attempted) return true;
    for (;;) {
        const auto left = r.last_attempt + kDongleRetry - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero()) return true;
        if (source.waiting && !source.waiting()) return false;
        const auto us = std::chrono::duration_cast<std::chrono::microseconds>(left).count();
        usleep(static_cast<unsigned>(std::min<long long>(us, kWaitStepMicroseconds)));
    }
}

// False when the dongle cannot be read now.
bool pull_dongle(SoundSource& source, RadioReader& r) {
    if (!r.dongle) {
        if (!wait_for_retry(source, r)) {
            source.given_up = true;
            return true;
        }
        r.attempted = true;
        r.last_attempt = std::chrono::steady_clock::now();
        std::string error;
        r.dongle = open_dongle(r.dongle_setup, error);
        if (!r.dongle) {
            if (!r.lost) {
                source.notice =
                    format_text("%s: %s; trying again every 3 s", r.name.c_str(), error.c_str());
            }
            r.lost = true;
            return false;
        }
        if (r.lost) source.notice = format_text("%s: receiving again", r.name.c_str());
        r.lost = false;
    }
    r.bytes.resize(kDongleReadBytes);
    const int n = read_dongle(*r.dongle, r.bytes.data(), kDongleReadBytes);
    if (n < 0) {
        r.dongle.reset();
        r.lost = true;
        source.notice =
            format_text("%s: the dongle stopped answering; trying again every 3 s", r.name.c_str());
        return false;
    }
    const std::size_t pairs = static_cast<std::size_t>(n) / 2;
    r.iq.resize(pairs);
    iq_to_complex(IqFormat::kCu8, r.bytes.data(), pairs, r.iq.data());
    take_audio(r, pairs);
    return true;
}

// The IQ pairs a WAV file's header announces: libsndfile counts only those
// the file holds, the data chunk's size says how many were written.
sf_count_t announced_frames(SNDFILE* file, const SF_INFO& info) {
    int width = 0;
    switch (info.format & SF_FORMAT_SUBMASK) {
        case SF_FORMAT_PCM_S8:
        case SF_FORMAT_PCM_U8:
            width = 1;
            break;
        case SF_FORMAT_PCM_16:
            width = 2;
            break;
        case SF_FORMAT_PCM_24:
            width = 3;
            break;
        case SF_FORMAT_PCM_32:
        case SF_FORMAT_FLOAT:
            width = 4;
            break;
        case SF_FORMAT_DOUBLE:
            width = 8;
            break;
        default:
            return info.frames;
    }
    SF_CHUNK_INFO data{};
    std::memcpy(data.id, "data", 4);
    data.id_size = 4;
    SF_CHUNK_ITERATOR* chunk = sf_get_chunk_iterator(file, &data);
    if (chunk == nullptr) return info.frames;
    SF_CHUNK_INFO size{};
    if (sf_get_chunk_size(chunk, &size) != SF_ERR_NO_ERROR) return info.frames;
    return std::max<sf_count_t>(info.frames,
                                static_cast<sf_count_t>(size.datalen) / (width * info.channels));
}

bool open_recording_input(SoundSource& source, RadioReader& r, const char* path, int& rate,
                          std::string& error) {
    const RadioTuning& t = source.tuning;
    r.format = t.iq_format;
    rate = t.iq_rate;
    if (std::strcmp(path, "-") == 0) {
        source.fd = dup(STDIN_FILENO);
        if (source.fd < 0) {
            error = format_text("cannot read standard input: %s", std::strerror(errno));
            return false;
        }
        return true;
    }
    struct stat st;
    if (stat(path, &st) == 0 && S_ISREG(st.st_mode)) {
        r.recording_file = true;
        SF_INFO info{};
        r.wav = sf_open(path, SFM_READ, &info);
        if (r.wav != nullptr) {
            if (info.channels != 2) {
                error = format_text(
                    "'%s' holds %d channel(s); an IQ recording has two (I left, Q right)", path,
                    info.channels);
                return false;
            }
            r.input = RadioReader::Input::kWav;
            r.wav_frames = announced_frames(r.wav, info);
            rate = info.samplerate;
            return true;
        }
    }
    source.fd = open(path, O_RDONLY | O_CLOEXEC);
    if (source.fd < 0) {
        // Cut short by the caller's time-out (a FIFO without a writer): it says so.
        if (errno == EINTR) return false;
        error = format_text("cannot open '%s': %s", path, std::strerror(errno));
        return false;
    }
    return true;
}

}  // namespace

bool is_radio_name(const char* path) {
    return starts_with(path, kDonglePrefix) || starts_with(path, kRecordingPrefix);
}

bool open_radio(SoundSource& source, const char* path, int audio_rate, std::string& error) {
    auto r = std::make_shared<RadioReader>();
    r->name = path;
    const RadioTuning& t = source.tuning;
    FrontEndPlan plan;
    plan.channel_hz = static_cast<double>(t.channel_hz);
    plan.audio_rate = audio_rate;
    int rate = t.iq_rate;
    if (starts_with(path, kRecordingPrefix)) {
        if (!open_recording_input(source, *r, path + std::strlen(kRecordingPrefix), rate, error)) {
            return false;
        }
        plan.ppm = t.ppm;  // the recording still holds its dongle's error
    } else {
        r->input = RadioReader::Input::kDongle;
        error = check_dongle_rate(rate);
        if (!error.empty()) return false;
        r->dongle_setup =
            DongleSetup{path + std::strlen(kDonglePrefix), rate,
                        t.iq_center_hz.value_or(default_center_hz(t.channel_hz, rate)), t.ppm,
                        t.gain_tenths_db};
        plan.ppm = 0.0;  // librtlsdr takes the correction itself
    }
    plan.iq_rate = rate;
    plan.center_hz =
        static_cast<double>(t.iq_center_hz.value_or(default_center_hz(t.channel_hz, rate)));
    error = check_front_end_plan(plan);
    if (!error.empty()) return false;
    if (r->input == RadioReader::Input::kDongle) {
        // Proves the dongle is there and takes the settings; the reading
        // process opens it again on its first read.
        DonglePtr trial = open_dongle(r->dongle_setup, error);
        if (!trial) return false;
        plan.center_hz = static_cast<double>(dongle_center_hz(*trial));
    }
    r->front_end = make_radio_front_end(plan);
    if (!r->front_end) {
        error = "the front end cannot be set up";
        return false;
    }
    source.kind = SoundSource::Kind::kRadio;
    source.handle = source.fd >= 0 ? source.fd : 3;  // for the display only
    source.radio = std::move(r);
    return true;
}

int read_radio(SoundSource& source, std::uint8_t* out, int count) {
    RadioReader& r = *source.radio;
    bool failed = false;
    while (r.available() < static_cast<std::size_t>(count) && !r.input_done && !source.given_up) {
        bool ok = true;
        switch (r.input) {
            case RadioReader::Input::kRaw:
                ok = pull_raw(source, r);
                break;
            case RadioReader::Input::kWav:
                pull_wav(source, r);
                break;
            case RadioReader::Input::kDongle:
                ok = pull_dongle(source, r);
                break;
        }
        if (!ok) {
            failed = true;
            break;
        }
    }
    const std::size_t n = std::min(r.available(), static_cast<std::size_t>(count));
    if (failed && n == 0) return -1;
    std::memcpy(out, r.audio.data() + r.audio_pos, n);
    r.audio_pos += n;
    if (r.input_done && r.available() == 0) source.ended = true;
    return static_cast<int>(n);
}

bool radio_is_recording(const SoundSource& source) {
    return source.kind == SoundSource::Kind::kRadio && source.radio && source.radio->recording_file;
}

}  // namespace korvad
