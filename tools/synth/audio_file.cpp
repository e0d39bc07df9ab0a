// Writing the recording: raw 8-bit samples, or a WAV file through libsndfile.

#include <sndfile.h>

#include <cstdio>

#include "common/atomic_file.h"
#include "common/format.h"
#include "tools/synth/synth.h"

namespace korvad::synth {
namespace {

bool ends_with(std::string_view s, std::string_view suffix) {
    if (s.size() < suffix.size()) return false;
    for (std::size_t i = 0; i < suffix.size(); ++i) {
        const char c = s[s.size() - suffix.size() + i];
        const char lower = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
        if (lower != suffix[i]) return false;
    }
    return true;
}

// libsndfile writes through these onto the temporary file's stdio stream, so
// the WAV file goes through the same atomic save as the raw one.
sf_count_t vio_length(void* user) {
    auto* f = static_cast<std::FILE*>(user);
    const long here = std::ftell(f);
    if (here < 0 || std::fseek(f, 0, SEEK_END) != 0) return -1;
    const long size = std::ftell(f);
    if (std::fseek(f, here, SEEK_SET) != 0) return -1;
    return size;
}

sf_count_t vio_seek(sf_count_t offset, int whence, void* user) {
    auto* f = static_cast<std::FILE*>(user);
    if (std::fseek(f, static_cast<long>(offset), whence) != 0) return -1;
    return std::ftell(f);
}

sf_count_t vio_read(void* ptr, sf_count_t count, void* user) {
    return static_cast<sf_count_t>(
        std::fread(ptr, 1, static_cast<std::size_t>(count), static_cast<std::FILE*>(user)));
}

sf_count_t vio_write(const void* ptr, sf_count_t count, void* user) {
    return static_cast<sf_count_t>(
        std::fwrite(ptr, 1, static_cast<std::size_t>(count), static_cast<std::FILE*>(user)));
}

sf_count_t vio_tell(void* user) {
    return std::ftell(static_cast<std::FILE*>(user));
}

bool write_wav(std::FILE* f, const std::vector<std::uint8_t>& samples, int sample_rate,
               std::string& error) {
    SF_VIRTUAL_IO io{vio_length, vio_seek, vio_read, vio_write, vio_tell};
    SF_INFO info{};
    info.samplerate = sample_rate;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_U8;
    SNDFILE* sf = sf_open_virtual(&io, SFM_WRITE, &info, f);
    if (sf == nullptr) {
        error = format_text("cannot start a WAV file: %s", sf_strerror(nullptr));
        return false;
    }
    // Unsigned 8-bit PCM is stored in a WAV file exactly as our samples are.
    const auto n = static_cast<sf_count_t>(samples.size());
    const bool written = sf_write_raw(sf, samples.data(), n) == n;
    if (!written) error = format_text("cannot write the WAV data: %s", sf_strerror(sf));
    if (sf_close(sf) != 0 && written) {
        error = "cannot finish the WAV file";
        return false;
    }
    return written;
}

}  // namespace

std::optional<AudioFormat> audio_format_for(std::string_view path) {
    if (ends_with(path, ".wav")) return AudioFormat::wav;
    if (ends_with(path, ".raw") || ends_with(path, ".u8")) return AudioFormat::raw;
    return std::nullopt;
}

bool write_audio(const std::string& path, AudioFormat format,
                 const std::vector<std::uint8_t>& samples, int sample_rate, std::string& error) {
    error.clear();
    if (sample_rate < kMinSampleRate || sample_rate > kMaxSampleRate) {
        error = format_text("sample rate %d Hz is outside %d to %d", sample_rate, kMinSampleRate,
                            kMaxSampleRate);
        return false;
    }
    std::string write_error;
    const bool saved = save_atomically(path, [&](std::FILE* f) {
        if (format == AudioFormat::wav) return write_wav(f, samples, sample_rate, write_error);
        if (std::fwrite(samples.data(), 1, samples.size(), f) != samples.size()) {
            write_error = "cannot write the samples";
            return false;
        }
        return true;
    });
    if (!saved) {
        error = write_error.empty() ? format_text("cannot save %s", path.c_str())
                                    : format_text("%s: %s", path.c_str(), write_error.c_str());
    }
    return saved;
}

}  // namespace korvad::synth
