#pragma once
// What lies between the transmitter and the sound card, sample by sample:
// the fading of the path, the receiver's AGC at key-up, and the receiver's
// audio stages. Used by synthesize (synth.cpp); not part of the tool's interface.
//
//   keyed MSK x fade(t) + noise  ->  x AGC gain(t)  ->  AM detector
//   -> audio stages: scanner band-pass (--bandpass) and/or airband audio
//      (--airband: high-pass, de-emphasis, low-pass)
//   -> sound card: + hum + DC, 8-bit
//
// The noise enters before the gain and the filters, so it comes out shaped
// by them as a receiver's does: no longer white.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tools/synth/synth.h"

namespace korvad::synth {

// The airband receiver's audio: a 2nd-order Butterworth high-pass at 250 Hz
// (the audio coupling), first-order de-emphasis with a 75 us time constant
// (corner 2122 Hz), and a 4th-order elliptic low-pass at 2700 Hz (1 dB ripple,
// 40 dB stop band), whose group delay rises sharply towards its edge and so
// delays the 2400 Hz tone more than the 1200 Hz tone.
inline constexpr double kAirbandHighPassHz = 250.0;
inline constexpr double kAirbandLowPassHz = 2700.0;
inline constexpr double kDeemphasisSeconds = 75e-6;

struct ChannelFilters;  // liquid-dsp filter objects (channel.cpp)
struct ChannelFiltersDeleter {
    void operator()(ChannelFilters* f) const;
};

class ReceiverChannel {
  public:
    // Prepares the stages the options ask for; false with the reason.
    bool start(const SynthOptions& options, std::string& error);

    // The fading of the signal at a sample (1 without fading).
    [[nodiscard]] double fade(std::int64_t sample) const;

    // Key-up times of the blocks (first sample of each pre-key), any order.
    void set_key_ups(std::vector<std::int64_t> starts);
    // The AGC's gain at a sample: 1, or more just after a key-up. Samples
    // must be asked in increasing order.
    [[nodiscard]] double agc_gain(std::int64_t sample);

    // One sample (signal and noise, after the gain) through the audio stages.
    [[nodiscard]] double audio(double x);

  private:
    double rate_ = 0.0;    // samples per second as the card takes them
    SynthOptions fading_;  // its fade_low, fade_high and fade_hz
    double agc_pump_ = 0.0;
    std::vector<std::int64_t> key_ups_;
    std::size_t next_key_up_ = 0;
    std::int64_t last_key_up_ = -1;
    std::unique_ptr<ChannelFilters, ChannelFiltersDeleter> filters_;
};

}  // namespace korvad::synth
