#pragma once
// korvad_measure, IQ side: the same frames at the same times once as audio
// at an SNR and once as an IQ recording whose C/N gives an ideal AM receiver
// that SNR, through the radio front end; how many each recovers.

#include <cstdint>
#include <string>

#include "tools/measure/measure.h"
#include "tools/synth/iq.h"

namespace korvad::measure {

struct IqComparison {
    Result audio;                    // the audio recording
    Result iq;                       // the IQ recording through the front end
    double front_end_seconds = 0.0;  // processor time of the front end
    std::int64_t iq_samples = 0;
};

// condition: the audio (its snr_db is the SNR compared); radio: how the IQ
// recording looks apart from its noise, which cn_for_audio_snr sets.
[[nodiscard]] bool compare_iq(const Condition& condition, const synth::IqOptions& radio, int frames,
                              std::uint64_t seed, IqComparison& out, std::string& error);

}  // namespace korvad::measure
