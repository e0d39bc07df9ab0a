// Writing IQ recordings: raw cu8, cs16 and cf32 pairs, or a two-channel WAV
// file through libsndfile.

#include <sndfile.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>

#include "common/atomic_file.h"
#include "common/format.h"
#include "tools/synth/iq.h"

namespace korvad::synth {
namespace {

bool ends_with(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

long quantise(float x, double scale, double zero, long lo, long hi) {
    return std::clamp(std::lround(zero + scale * static_cast<double>(x)), lo, hi);
}

// The pairs as bytes, little-endian, as the format lays them out.
void encode(IqFileFormat format, const std::complex<float>* iq, std::size_t n,
            std::vector<std::uint8_t>& out) {
    out.clear();
    for (std::size_t i = 0; i < n; ++i) {
        for (float x : {iq[i].real(), iq[i].imag()}) {
            switch (format) {
                case IqFileFormat::cu8:
                    out.push_back(static_cast<std::uint8_t>(quantise(x, 127.5, 127.5, 0, 255)));
                    break;
                case IqFileFormat::cs16: {
                    const auto v =
                        static_cast<std::uint16_t>(quantise(x, 32767.0, 0.0, -32768, 32767));
                    out.push_back(static_cast<std::uint8_t>(v & 0xFF));
                    out.push_back(static_cast<std::uint8_t>(v >> 8));
                    break;
                }
                case IqFileFormat::cf32:
                case IqFileFormat::wav: {
                    const auto v = std::bit_cast<std::uint32_t>(x);
                    for (int b = 0; b < 4; ++b)
                        out.push_back(static_cast<std::uint8_t>(v >> (8 * b)));
                    break;
                }
            }
        }
    }
}

bool write_raw(std::FILE* f, IqFileFormat format,
               const std::function<bool(const IqSink&)>& render) {
    std::vector<std::uint8_t> bytes;
    return render([&](const std::complex<float>* iq, std::size_t n) {
        encode(format, iq, n, bytes);
        return std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    });
}

bool write_wav(std::FILE* f, int rate, const std::function<bool(const IqSink&)>& render,
               std::string& error) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    // Written straight onto the temporary file's descriptor; stdio holds nothing.
    SNDFILE* sf = sf_open_fd(fileno(f), SFM_WRITE, &info, SF_FALSE);
    if (sf == nullptr) {
        error = format_text("cannot start a WAV file: %s", sf_strerror(nullptr));
        return false;
    }
    sf_command(sf, SFC_SET_CLIPPING, nullptr, SF_TRUE);  // never wrap around at full scale
    std::vector<float> frames;
    const bool written = render([&](const std::complex<float>* iq, std::size_t n) {
        frames.resize(2 * n);
        for (std::size_t i = 0; i < n; ++i) {
            frames[2 * i] = iq[i].real();
            frames[2 * i + 1] = iq[i].imag();
        }
        const auto count = static_cast<sf_count_t>(n);
        return sf_writef_float(sf, frames.data(), count) == count;
    });
    const bool closed = sf_close(sf) == 0;
    if (!written || !closed) error = "cannot write the WAV file";
    return written && closed;
}

}  // namespace

std::optional<IqFileFormat> iq_file_format_named(std::string_view name) {
    if (name == "cu8") return IqFileFormat::cu8;
    if (name == "cs16") return IqFileFormat::cs16;
    if (name == "cf32") return IqFileFormat::cf32;
    if (name == "wav") return IqFileFormat::wav;
    return std::nullopt;
}

std::optional<IqFileFormat> iq_file_format_for(std::string_view path) {
    if (ends_with(path, ".cu8")) return IqFileFormat::cu8;
    if (ends_with(path, ".cs16")) return IqFileFormat::cs16;
    if (ends_with(path, ".cf32")) return IqFileFormat::cf32;
    return std::nullopt;
}

bool write_iq(const std::string& path, IqFileFormat format, int iq_rate,
              const std::function<bool(const IqSink&)>& render, std::string& error) {
    error.clear();
    if (path == "-") {
        if (format == IqFileFormat::wav) {
            error = "a WAV file cannot go to standard output";
            return false;
        }
        const bool ok = write_raw(stdout, format, render) && std::fflush(stdout) == 0;
        if (!ok) error = "cannot write to standard output";
        return ok;
    }
    std::string write_error;
    const bool saved = save_atomically(path, [&](std::FILE* f) {
        if (format == IqFileFormat::wav) return write_wav(f, iq_rate, render, write_error);
        return write_raw(f, format, render);
    });
    if (!saved) {
        error = write_error.empty() ? format_text("cannot save %s", path.c_str())
                                    : format_text("%s: %s", path.c_str(), write_error.c_str());
    }
    return saved;
}

}  // namespace korvad::synth
