#pragma once
// The radio front end: ACARS audio straight from a software-defined radio.
//
// Two more kinds of source for -d:
//   "rtlsdr:INDEX_OR_SERIAL"  an RTL-SDR dongle (librtlsdr), tuned a quarter
//                             of its sample rate below the channel, so that
//                             its DC spike lies far outside the channel;
//   "iq:PATH"                 an IQ recording: raw pairs (cu8 as rtl_sdr
//                             writes them, cs16, cf32; little-endian), or a
//                             two-channel WAV file (I left, Q right); "iq:-"
//                             reads raw pairs from standard input.
// Either delivers complex baseband around a tuned centre. The front end turns
// the one AM channel in it into the audio a scanner's output would give, as
// 8-bit unsigned samples at the -S rate, so everything behind it is unchanged:
//
//   IQ at R samples/s            cu8, cs16, cf32: to complex float, full scale 1
//     | mix down                 the channel to 0 Hz (the DC spike moves to
//     |                          -offset); the ppm error of the recording's
//     |                          dongle moves the channel by -f * ppm / 1e6
//     | decimate                 2 to 4 FIR stages of 2..8 each, to about
//     |                          12.5 kHz: flat to +-4 kHz, 80 dB down on all
//     |                          that would fold into that band (the DC spike,
//     |                          the neighbour channels 25 kHz either side)
//     | envelope |z|             AM detection: a burst's carrier offset of a
//     |                          few hundred Hz and its phase do not matter
//     | carrier level c          50 Hz low-pass of the envelope (about 10 ms)
//     | audio = (|z| - c) * K / max(c, 4 * noise floor, minimum)
//     |                          the DC removed, and each burst brought to the
//     |                          same level from its first bits; the gain is
//     |                          held at 12 dB above the channel's own noise,
//     |                          so that between bursts the hiss stays low
//     | resample                 to the -S rate (with the ppm error of the
//     v                          recording's sample clock taken out)
//   8-bit unsigned audio, 128 = zero level; 80 % modulation peaks at 64 steps
//
// The noise floor is the lowest carrier level of the last 4 seconds; the
// minimum is 70 dB below full scale, about the quantisation noise of an 8-bit
// dongle in the channel.

#include <complex>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace korvad {

enum class IqFormat { kCu8, kCs16, kCf32 };

inline constexpr std::int64_t kDefaultChannelHz = 131'550'000;  // the worldwide ACARS channel
inline constexpr int kDefaultIqRate = 2'400'000;                // IQ samples per second
inline constexpr int kMinIqRate = 48'000;
inline constexpr int kMaxIqRate = 10'000'000;
inline constexpr double kChannelHalfWidthHz = 6'000.0;  // what must lie inside the recording
inline constexpr double kAudioPeakSteps = 64.0;         // 80 % modulation, in sample steps
inline constexpr int kMaxPpm = 1000;

// What a radio source needs beyond its name (long options of korvad).
struct RadioTuning {
    std::int64_t channel_hz = kDefaultChannelHz;  // --freq
    bool channel_given = false;                   // --freq was on the command line
    std::optional<int> gain_tenths_db;            // --gain; none: the dongle's automatic gain
    int ppm = 0;                                  // --ppm: the dongle's crystal error
    int iq_rate = kDefaultIqRate;                 // --iq-rate (raw recordings, the dongle)
    IqFormat iq_format = IqFormat::kCu8;          // --iq-format (raw recordings)
    std::optional<std::int64_t> iq_center_hz;     // --iq-center; none: channel - rate / 4
};

// Where a recording's centre lies when --iq-center does not say: where the
// dongle is tuned for the channel.
[[nodiscard]] std::int64_t default_center_hz(std::int64_t channel_hz, int iq_rate);

// ---- The front end ------------------------------------------------------

struct FrontEndPlan {
    double iq_rate = kDefaultIqRate;  // nominal IQ samples per second
    double channel_hz = kDefaultChannelHz;
    double center_hz = kDefaultChannelHz - kDefaultIqRate / 4;  // what the samples are centred on
    // Crystal error still in the samples, parts per million (as librtlsdr
    // means it: + = the crystal runs fast). 0 for a live dongle, which
    // corrects itself.
    double ppm = 0.0;
    int audio_rate = 19500;  // samples per second delivered
};

// Empty when the plan can be run, else why not (a rate out of range, the
// channel outside the recording's band).
[[nodiscard]] std::string check_front_end_plan(const FrontEndPlan& plan);

struct RadioFrontEnd;
struct RadioFrontEndDeleter {
    void operator()(RadioFrontEnd* front_end) const;
};
using RadioFrontEndPtr = std::unique_ptr<RadioFrontEnd, RadioFrontEndDeleter>;

// Null when check_front_end_plan finds a fault.
[[nodiscard]] RadioFrontEndPtr make_radio_front_end(const FrontEndPlan& plan);

// Takes n IQ samples and appends the audio they complete, in sample steps
// around the zero level (float, before the 8-bit quantisation).
void run_front_end(RadioFrontEnd& front_end, const std::complex<float>* iq, std::size_t n,
                   std::vector<float>& audio);
// The same, appending 8-bit unsigned samples.
void run_front_end(RadioFrontEnd& front_end, const std::complex<float>* iq, std::size_t n,
                   std::vector<std::uint8_t>& audio);

// The sample rate between decimation and resampling (about 12.5 kHz).
[[nodiscard]] double front_end_channel_rate(const RadioFrontEnd& front_end);

// Bytes of one IQ pair: 2, 4, 8.
[[nodiscard]] std::size_t iq_sample_bytes(IqFormat format);
// samples IQ pairs from bytes into complex values of full scale 1: cu8
// (b - 127.5) / 127.5, cs16 little-endian / 32768, cf32 little-endian as is.
void iq_to_complex(IqFormat format, const std::uint8_t* bytes, std::size_t samples,
                   std::complex<float>* out);
// "cu8", "cs16", "cf32"; none for another text.
[[nodiscard]] std::optional<IqFormat> iq_format_named(const char* name);

// ---- Radio sources (used by sound capture) ------------------------------

struct SoundSource;

// True for "rtlsdr:..." and "iq:..." names.
[[nodiscard]] bool is_radio_name(const char* path);

// Opens the radio source path names, with source.tuning, for audio at
// audio_rate. A dongle is opened and set up to prove it works, then closed
// again: the process that reads it (the collector or the decoder) opens it
// on its first read, so no USB state crosses a fork. False with the reason in
// error: no dongle, a dongle in use, a rate it does not take, no such file, a
// one-channel WAV file, the channel outside the recording's band.
[[nodiscard]] bool open_radio(SoundSource& source, const char* path, int audio_rate,
                              std::string& error);

// Reads up to count audio samples, as a recording or pipe does: until count
// or the end. -1 when a dongle fails (it is tried again at most every 3
// seconds). A recording that ends inside an IQ pair, or before its WAV header
// says, leaves one notice in source.notice.
[[nodiscard]] int read_radio(SoundSource& source, std::uint8_t* out, int count);

// An IQ recording in a file: read as fast as it is taken.
[[nodiscard]] bool radio_is_recording(const SoundSource& source);

}  // namespace korvad
