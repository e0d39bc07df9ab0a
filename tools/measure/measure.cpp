// Recovery rates of the two demodulators over synthesized recordings.

#include "tools/measure/measure.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <set>
#include <tuple>

#include "signal/demodulator.h"
#include "signal/frame_dedup.h"
#include "tools/synth/channel.h"
#include "tools/synth/random.h"

namespace korvad::measure {
namespace {

double cpu_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

bool is_good(const FrameRecord& r) {
    return r.terminated != 0 && r.crc == 0 && r.error_count == 0;
}

// The record message processing would pick as good: the first good one.
const FrameRecord* chosen_good(const FrameTable& table) {
    for (int i = 0; i < table.count; ++i) {
        if (is_good(table.records[i])) return &table.records[i];
    }
    return nullptr;
}

std::string record_chars(const FrameRecord& r) {
    std::string s;
    const int last = std::min(r.end_index, kFrameRecordChars - 1);
    for (int k = 0; k <= last; ++k) s.push_back(static_cast<char>(r.chars[k].ch));
    return s;
}

// What each path showed, and what korvad shows with both on.
struct Shown {
    std::vector<std::string> pass_loop, msk, both;
};

struct Run {
    Shown shown;
    FrameMerge merge;
    MskReceiver* receiver = nullptr;
    const Demodulator* demodulator = nullptr;
    std::int64_t stream_position = 0;
    int sample_rate = 0;
};

void on_pass(void* context, FrameTable& table) {
    auto* run = static_cast<Run*>(context);
    const FrameRecord* r = chosen_good(table);
    if (r == nullptr) return;
    const std::string chars = record_chars(*r);
    run->shown.pass_loop.push_back(chars);
    const StreamSpan span = pass_frame_span(r, pass_record_place(*run->demodulator, r),
                                            run->stream_position, run->sample_rate);
    if (admit_frame(run->merge, *r, span, FramePath::pass_loop)) run->shown.both.push_back(chars);
}

void on_msk(void* context, FrameTable& table) {
    auto* run = static_cast<Run*>(context);
    const FrameRecord& r = table.records[0];
    const std::string chars = record_chars(r);
    run->shown.msk.push_back(chars);
    const StreamSpan span = msk_frame_span(r, run->receiver->frame_end_position, run->sample_rate);
    if (admit_frame(run->merge, r, span, FramePath::msk)) {
        run->shown.both.push_back(chars);
    }
}

// Feeds the recording 40000 samples at a time, as korvad reads it: the new
// samples to the MSK receiver, then the work buffer to the pass loop. Both
// paths are independent (the receiver takes the samples before the pass loop
// zeroes any), so one run gives each path alone and both together.
void feed(const synth::Recording& rec, int sample_rate, Run& run, Result& result) {
    auto demodulator = std::make_unique<Demodulator>();
    std::unique_ptr<MskReceiver> receiver = make_msk_receiver(sample_rate);
    if (!receiver) return;
    run.receiver = receiver.get();
    run.demodulator = demodulator.get();
    std::vector<std::uint8_t> work(kWorkBufferSize, 0);  // the first history is zeros
    const PassSink pass_sink{on_pass, &run};
    const PassSink msk_sink{on_msk, &run};
    // Two buffers of silence after the recording let both paths finish.
    const std::size_t total = rec.samples.size() + 2 * kNewSamples;
    for (std::size_t pos = 0; pos < total; pos += kNewSamples) {
        std::memmove(work.data(), work.data() + kNewSamples, kHistorySamples);
        const std::size_t have = pos < rec.samples.size() ? rec.samples.size() - pos : 0;
        const std::size_t n = std::min<std::size_t>(kNewSamples, have);
        if (n > 0) std::memcpy(work.data() + kHistorySamples, rec.samples.data() + pos, n);
        std::memset(work.data() + kHistorySamples + n, 128, kNewSamples - n);
        run.stream_position = static_cast<std::int64_t>(pos + kNewSamples);
        const double t0 = cpu_seconds();
        msk_receive(*receiver, work.data() + kHistorySamples, kNewSamples, msk_sink);
        const double t1 = cpu_seconds();
        run_passes(*demodulator, work.data(), pass_sink);
        const double t2 = cpu_seconds();
        result.msk.seconds += t1 - t0;
        result.pass_loop.seconds += t2 - t1;
    }
    result.both.seconds = result.msk.seconds + result.pass_loop.seconds;
    result.counters = receiver->counters;
    run.receiver = nullptr;
    run.demodulator = nullptr;
}

void tally(const synth::Recording& rec, const std::vector<std::string>& shown, PathTally& out) {
    std::set<std::string> sent, seen(shown.begin(), shown.end());
    for (const auto& f : rec.frames) sent.insert(sent_chars(f));
    out.exact = 0;
    for (const auto& f : rec.frames) out.exact += seen.count(sent_chars(f)) != 0 ? 1 : 0;
    out.wrong = 0;
    for (const std::string& s : shown) out.wrong += sent.count(s) == 0 ? 1 : 0;
}

}  // namespace

NoiseResult run_noise(double audio_seconds, int sample_rate, double noise_steps,
                      std::uint64_t seed) {
    NoiseResult result;
    auto demodulator = std::make_unique<Demodulator>();
    std::unique_ptr<MskReceiver> receiver = make_msk_receiver(sample_rate);
    synth::SynthOptions shaped;
    shaped.sample_rate = sample_rate;
    shaped.airband = true;
    synth::ReceiverChannel airband;
    std::string error;
    if (!receiver || !airband.start(shaped, error)) return result;
    Run run;
    run.receiver = receiver.get();
    run.demodulator = demodulator.get();
    run.sample_rate = sample_rate;
    synth::Random noise(seed, 11);
    std::vector<std::uint8_t> work(kWorkBufferSize, 128);
    const PassSink pass_sink{on_pass, &run};
    const PassSink msk_sink{on_msk, &run};
    const auto total = static_cast<std::int64_t>(audio_seconds * sample_rate);
    for (std::int64_t pos = 0; pos < total; pos += kNewSamples) {
        std::memmove(work.data(), work.data() + kNewSamples, kHistorySamples);
        const bool shape = pos >= total / 2;
        for (int i = 0; i < kNewSamples; ++i) {
            double x = noise_steps * noise.gaussian();
            if (shape) x = airband.audio(x);
            work[kHistorySamples + i] =
                static_cast<std::uint8_t>(std::clamp(std::floor(128.5 + x), 0.0, 255.0));
        }
        run.stream_position = pos + kNewSamples;
        const double t0 = cpu_seconds();
        msk_receive(*receiver, work.data() + kHistorySamples, kNewSamples, msk_sink);
        run_passes(*demodulator, work.data(), pass_sink);
        result.seconds += cpu_seconds() - t0;
        result.samples += kNewSamples;
    }
    result.pass_loop = static_cast<int>(run.shown.pass_loop.size());
    result.msk = static_cast<int>(run.shown.msk.size());
    result.counters = receiver->counters;
    return result;
}

std::string sent_chars(const synth::SentFrame& f) {
    std::string s;
    for (std::uint8_t b : f.bytes) {
        s.push_back(static_cast<char>(b & 0x7F));
        if ((b & 0x7F) == kEtx || (b & 0x7F) == kEtb) break;
    }
    return s;
}

std::vector<Condition> standard_conditions(int sample_rate) {
    std::vector<Condition> list;
    auto add = [&list, sample_rate](const char* name, std::uint64_t seed) -> synth::SynthOptions& {
        synth::SynthOptions o;
        o.sample_rate = sample_rate;
        o.level = 0.5;
        o.seed = seed;
        list.push_back({name, o});
        return list.back().options;
    };
    add("clean, random placement", 101);
    add("SNR 20 dB, whole band", 102).snr_db = 20.0;
    add("SNR 12 dB, whole band", 103).snr_db = 12.0;
    add("SNR 8 dB, whole band", 104).snr_db = 8.0;
    add("SNR 6 dB, whole band", 109).snr_db = 6.0;
    synth::SynthOptions& band = add("SNR 12 dB, 300-3000 Hz", 105);
    band.snr_db = 12.0;
    band.band_pass = true;
    add("+3000 ppm clock", 106).clock_ppm = 3000.0;
    add("-3000 ppm clock", 107).clock_ppm = -3000.0;
    synth::SynthOptions& weak = add("10 % level, DC, 50 Hz hum", 108);
    weak.level = 0.1;
    weak.dc_offset = 0.2;
    weak.hum = 0.05;
    // The edge of a station's range: weaker still, and fading.
    add("SNR 4 dB, whole band", 110).snr_db = 4.0;
    add("SNR 3 dB, whole band", 111).snr_db = 3.0;
    synth::SynthOptions& faint_band = add("SNR 5 dB, 300-3000 Hz", 112);
    faint_band.snr_db = 5.0;
    faint_band.band_pass = true;
    const std::size_t fading_at = list.size();
    synth::SynthOptions& fading = add("SNR 18 dB, fading 15-100 % at 0.7 Hz", 113);
    fading.snr_db = 18.0;
    fading.fade_low = 0.15;
    fading.fade_hz = 0.7;
    const std::size_t all_at = list.size();
    synth::SynthOptions& all = add(
        "all at once: 300-3000 Hz, SNR 8 dB, -2000 ppm, DC, hum, fading 50-100 % at 0.5 Hz", 114);
    all.band_pass = true;
    all.snr_db = 8.0;
    all.clock_ppm = -2000.0;
    all.dc_offset = 0.2;
    all.hum = 0.05;
    all.fade_low = 0.5;
    all.fade_hz = 0.5;
    // Through an AM airband receiver's audio, with its AGC at key-up and
    // tones that drift a few hertz within a block.
    for (const auto& [name, snr, seed] : {std::tuple{"airband receiver, SNR 8 dB", 8.0, 115},
                                          std::tuple{"airband receiver, SNR 5 dB", 5.0, 116}}) {
        synth::SynthOptions& airband = add(name, static_cast<std::uint64_t>(seed));
        airband.snr_db = snr;
        airband.airband = true;
        airband.agc_pump = 1.0;
        airband.drift_hz = 3.0;
    }
    synth::SynthOptions& airband_fading =
        add("airband receiver, SNR 18 dB, fading 15-100 % at 0.7 Hz", 117);
    airband_fading.snr_db = 18.0;
    airband_fading.airband = true;
    airband_fading.agc_pump = 1.0;
    airband_fading.drift_hz = 3.0;
    airband_fading.fade_low = 0.15;
    airband_fading.fade_hz = 0.7;
    // The two fading conditions again with their SNR given as fading channels'
    // usually is: that of the faded signal's mean power.
    const std::size_t faded[] = {fading_at, all_at};
    for (const std::size_t at : faded) {
        Condition c = list[at];
        c.name.replace(c.name.find(" dB") + 3, 0, " average");
        c.options.seed += 5;
        c.options.average_snr = true;
        list.push_back(c);
    }
    return list;
}

bool make_recording(const Condition& condition, int frames, std::uint64_t seed,
                    synth::Recording& out, std::string& error) {
    const std::vector<synth::Frame> list = synth::generate_frames(seed, frames);
    std::int64_t on_air = 0;
    for (const synth::Frame& f : list) on_air += synth::frame_span_samples(f, condition.options);
    const std::int64_t min_gap = condition.options.sample_rate / 10;
    const std::int64_t total = 2 * on_air + min_gap * (frames + 1);
    std::vector<synth::Placement> placements;
    if (!synth::layout_random(list, condition.options, total, min_gap, seed, placements, error)) {
        return false;
    }
    return synth::synthesize(list, placements, total, condition.options, out, error);
}

Result run_recording(const synth::Recording& rec, int sample_rate) {
    Result result;
    result.frames = static_cast<int>(rec.frames.size());
    Run run;
    run.sample_rate = sample_rate;
    feed(rec, sample_rate, run, result);
    tally(rec, run.shown.pass_loop, result.pass_loop);
    tally(rec, run.shown.msk, result.msk);
    tally(rec, run.shown.both, result.both);
    std::map<std::string, int> times;
    for (const std::string& s : run.shown.both) ++times[s];
    for (const auto& [chars, n] : times) result.shown_twice += n > 1 ? 1 : 0;
    return result;
}

}  // namespace korvad::measure
