#pragma once
// korvad_synth, IQ side: what an RTL-SDR dongle records of the ACARS channel.
//
// Each block keys its own AM carrier (nothing on the air between blocks),
// modulated by the block's audio (the MSK of synth.h) to a depth of about
// 80 %: amplitude A * (1 + m * audio), audio peaking at 1. Each burst has its
// own level, a carrier offset of a few hundred Hz and its own phase. Around
// it: a neighbour channel (25 kHz away by default) busy with traffic of its
// own, receiver noise, the dongle's DC spike at the centre and the dongle's
// crystal error, which tunes its oscillator and its sample clock both fast
// (+) or slow (-) by the same parts per million:
//
//   sample n is taken at t = n / (rate * (1 + ppm / 1e6))
//   a carrier at f appears at f - centre * (1 + ppm / 1e6)
//
// C/N: carrier power (A^2 at the nominal level) over the noise power in the
// 25 kHz of one channel. The audio an ideal AM receiver makes of it has an
// SNR in the 300-3400 Hz band (the audio SNR of synth.h) of
//   SNR = C/N + 10 log10(25000 / 6200) + 20 log10(m) = C/N + 4.1 dB at m = 0.8.
//
// Files: raw pairs, cu8 (round(127.5 + 127.5 x), as rtl_sdr writes), cs16
// (round(32767 x), little-endian) or cf32 (little-endian floats), or a
// two-channel WAV file, 16-bit PCM, I left and Q right.

#include <complex>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/synth/synth.h"

namespace korvad::synth {

inline constexpr int kIqAudioRate = 192000;  // the blocks' audio before modulation
inline constexpr double kChannelBandwidthHz = 25000.0;
inline constexpr int kDefaultIqRate = 2'400'000;
inline constexpr int kMinIqRate = 48'000;
inline constexpr int kMaxIqRate = 10'000'000;

enum class IqFileFormat { cu8, cs16, cf32, wav };

struct IqOptions {
    double iq_rate = kDefaultIqRate;                  // nominal IQ samples per second
    double channel_hz = 131'550'000.0;                // RF frequency of the channel
    double channel_offset_hz = kDefaultIqRate / 4.0;  // channel minus the tuned centre
    double ppm = 0.0;                                 // the dongle's crystal error
    double carrier = 0.1;          // carrier amplitude of the strongest burst, full scale 1
    double modulation = 0.8;       // depth m
    double level_spread_db = 0.0;  // each burst's carrier from `carrier` down to this much below
    double carrier_offset_hz = 300.0;    // each burst's carrier within +- this of its channel
    std::optional<double> cn_db = 30.0;  // none: no receiver noise at all
    std::optional<double> neighbour_db;  // a busy neighbour, its carriers this much above
    double neighbour_offset_hz = 25000.0;
    double dc_spike = 0.0;  // amplitude of the DC spike, full scale 1
    std::uint64_t seed = 1;
};

// Empty when the options are usable, else what is wrong.
[[nodiscard]] std::string check_iq_options(const IqOptions& options);

// The audio C/N that gives an ideal AM receiver's audio the SNR snr_db.
[[nodiscard]] double cn_for_audio_snr(double snr_db, double modulation);

// Receives the recording piece by piece; false stops the rendering.
using IqSink = std::function<bool(const std::complex<float>* iq, std::size_t n)>;

// Renders frames[i] keyed at start_seconds[i] (the pre-key's start) in a
// recording of total_seconds, with prekey_bits of pre-key each, into sink.
// sent receives what went out on the channel (positions in IQ samples).
// False with the reason in error.
[[nodiscard]] bool render_iq(const std::vector<Frame>& frames,
                             const std::vector<double>& start_seconds, double total_seconds,
                             int prekey_bits, const IqOptions& options, const IqSink& sink,
                             std::vector<SentFrame>& sent, std::string& error);

// "cu8", "cs16", "cf32", "wav".
[[nodiscard]] std::optional<IqFileFormat> iq_file_format_named(std::string_view name);
// By the file name's extension: .cu8, .cs16, .cf32; none otherwise.
[[nodiscard]] std::optional<IqFileFormat> iq_file_format_for(std::string_view path);

// Writes what render (given the sink) produces to path, or standard output
// for "-" (raw formats only: a WAV header needs a seekable file). A file is
// saved atomically.
[[nodiscard]] bool write_iq(const std::string& path, IqFileFormat format, int iq_rate,
                            const std::function<bool(const IqSink&)>& render, std::string& error);

}  // namespace korvad::synth
