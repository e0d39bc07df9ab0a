// Recovery from IQ recordings through the radio front end, beside the
// equivalent audio.

#include "tools/measure/measure_iq.h"

#include <ctime>
#include <memory>

#include "signal/radio.h"

namespace korvad::measure {
namespace {

double cpu_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

}  // namespace

bool compare_iq(const Condition& condition, const synth::IqOptions& radio, int frames,
                std::uint64_t seed, IqComparison& out, std::string& error) {
    const synth::SynthOptions& audio = condition.options;
    if (!audio.snr_db) {
        error = "the condition needs an SNR";
        return false;
    }
    // The frames and their places, as make_recording lays them out.
    const std::vector<synth::Frame> list = synth::generate_frames(seed, frames);
    std::int64_t on_air = 0;
    for (const synth::Frame& f : list) on_air += synth::frame_span_samples(f, audio);
    const std::int64_t min_gap = audio.sample_rate / 10;
    const std::int64_t total = 2 * on_air + min_gap * (frames + 1);
    std::vector<synth::Placement> placements;
    if (!synth::layout_random(list, audio, total, min_gap, seed, placements, error)) return false;

    synth::Recording heard;
    if (!synth::synthesize(list, placements, total, audio, heard, error)) return false;
    out.audio = run_recording(heard, audio.sample_rate);

    synth::IqOptions iq = radio;
    iq.cn_db = synth::cn_for_audio_snr(*audio.snr_db, iq.modulation);
    iq.seed = audio.seed;
    FrontEndPlan plan;
    plan.iq_rate = iq.iq_rate;
    plan.channel_hz = iq.channel_hz;
    plan.center_hz = iq.channel_hz - iq.channel_offset_hz;
    plan.ppm = iq.ppm;
    plan.audio_rate = audio.sample_rate;
    RadioFrontEndPtr front_end = make_radio_front_end(plan);
    if (!front_end) {
        error = check_front_end_plan(plan);
        return false;
    }
    std::vector<double> starts;
    for (const synth::Placement& p : placements) {
        starts.push_back((static_cast<double>(p.start) - p.sub_sample) / audio.sample_rate);
    }
    synth::Recording received;
    out.front_end_seconds = 0.0;
    out.iq_samples = 0;
    const auto sink = [&](const std::complex<float>* samples, std::size_t n) {
        const double t0 = cpu_seconds();
        run_front_end(*front_end, samples, n, received.samples);
        out.front_end_seconds += cpu_seconds() - t0;
        out.iq_samples += static_cast<std::int64_t>(n);
        return true;
    };
    const double seconds = static_cast<double>(total) / audio.sample_rate;
    if (!synth::render_iq(list, starts, seconds, audio.prekey_bits, iq, sink, received.frames,
                          error)) {
        return false;
    }
    out.iq = run_recording(received, audio.sample_rate);
    return true;
}

}  // namespace korvad::measure
