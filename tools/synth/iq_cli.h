#pragma once
// korvad-synth's IQ output: its options and the run that writes a recording.

#include <getopt.h>

#include <optional>
#include <string>
#include <vector>

#include "tools/synth/iq.h"
#include "tools/synth/synth.h"

namespace korvad::synth {

struct IqCommandLine {
    std::optional<IqFileFormat> format;  // --iq, or from the output's extension
    IqOptions options;
    std::optional<double> offset_hz;  // --iq-offset; none: a quarter of the rate
};

// getopt_long entries of the IQ options (ids from 2000 on), without the
// closing zero entry.
[[nodiscard]] std::vector<option> iq_long_options();

// Takes option id with its value. Returns -1 when the id is not an IQ
// option, 0 when taken, 2 (the usage status) when the value is refused (the
// reason is on standard error).
[[nodiscard]] int parse_iq_option(int id, const char* value, IqCommandLine& iq);

// A decimal number from lo to hi as the value of option; false, with the
// reason on standard error, for anything else.
[[nodiscard]] bool parse_option_number(const char* option, const char* text, double lo, double hi,
                                       double& out);

// The IQ part of --help.
extern const char* const kIqUsage;

// Readies the options for an IQ recording: the audio options that describe
// the sound card (--rate, --level, --snr, --bandpass, --hum, --dc, --within)
// must be left as they are; --ppm becomes the dongle's crystal error; the
// blocks' audio is rendered at kIqAudioRate. False with the reason in error.
[[nodiscard]] bool prepare_iq(IqCommandLine& iq, SynthOptions& audio, long long within,
                              std::string& error);

// Writes frames at placements (in samples of kIqAudioRate) into a recording
// of total samples to path. sent receives what went out, positions in
// samples of kIqAudioRate. Returns false with the reason in error.
[[nodiscard]] bool write_iq_recording(const IqCommandLine& iq, const std::vector<Frame>& frames,
                                      const std::vector<Placement>& placements, std::int64_t total,
                                      int prekey_bits, const std::string& path,
                                      std::vector<SentFrame>& sent, std::string& error);

}  // namespace korvad::synth
