// IQ recordings of the ACARS channel: keyed AM bursts, a busy neighbour,
// receiver noise, the DC spike and the dongle's crystal error.

#include "tools/synth/iq.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "common/format.h"
#include "tools/synth/random.h"

namespace korvad::synth {
namespace {

constexpr double kTwoPi = 2.0 * std::numbers::pi;
constexpr std::size_t kChunkSamples = 65536;
constexpr double kAudioBandHz = 6200.0;  // 300-3400 Hz either side of the carrier
constexpr double kBandUse = 0.45;        // of the IQ rate: where a channel may lie

// Independent random sequences of one seed (synth.cpp uses 1 and 2, the frame
// generator 3).
constexpr std::uint64_t kBurstStream = 20;
constexpr std::uint64_t kNeighbourStream = 21;
constexpr std::uint64_t kReceiverNoiseStream = 22;
constexpr std::uint64_t kNeighbourFramesSeed = 0x6E65696768626F72ULL;

// One keyed carrier.
struct Burst {
    std::vector<float> audio;  // the block's audio at kIqAudioRate, peak 1
    double start = 0.0;        // seconds
    double amplitude = 0.0;
    double baseband_hz = 0.0;  // where its carrier appears in the samples
    double phase = 0.0;
    std::int64_t first = 0;  // first IQ sample it reaches
    std::int64_t end = 0;    // one past its last
};

double crystal(const IqOptions& o) {
    return 1.0 + o.ppm * 1e-6;
}

// IQ samples per second of real time.
double actual_rate(const IqOptions& o) {
    return o.iq_rate * crystal(o);
}

double center_hz(const IqOptions& o) {
    return o.channel_hz - o.channel_offset_hz;
}

// The block's audio as the transmitter modulates it: full scale, floats.
bool block_audio(const Frame& frame, int prekey_bits, Burst& burst, SentFrame& sent,
                 std::string& error) {
    SynthOptions audio;
    audio.sample_rate = kIqAudioRate;
    audio.prekey_bits = prekey_bits;
    audio.level = 1.0;
    Recording rec;
    if (!synthesize({frame}, {Placement{}}, 0, audio, rec, error)) return false;
    burst.audio.resize(rec.samples.size());
    for (std::size_t i = 0; i < rec.samples.size(); ++i) {
        burst.audio[i] = static_cast<float>((rec.samples[i] - 128.0) / kFullScale);
    }
    sent = rec.frames.front();
    return true;
}

void place(Burst& b, const IqOptions& o) {
    const double rate = actual_rate(o);
    b.first = static_cast<std::int64_t>(std::ceil(b.start * rate));
    const double seconds = static_cast<double>(b.audio.size()) / kIqAudioRate;
    b.end = static_cast<std::int64_t>(std::floor((b.start + seconds) * rate)) + 1;
}

// Level, carrier offset and phase of the next burst on a channel at rf_hz.
void key(Burst& b, Random& r, const IqOptions& o, double rf_hz, double level) {
    b.amplitude = level * std::pow(10.0, -r.uniform() * o.level_spread_db / 20.0);
    const double carrier_hz = rf_hz + (2.0 * r.uniform() - 1.0) * o.carrier_offset_hz;
    b.baseband_hz = carrier_hz - center_hz(o) * crystal(o);
    b.phase = kTwoPi * r.uniform();
}

// The neighbour's traffic: blocks one after the other with short gaps, over
// the whole recording.
bool neighbour_bursts(const IqOptions& o, double total_seconds, int prekey_bits,
                      std::vector<Burst>& out, std::string& error) {
    Random r(o.seed, kNeighbourStream);
    const double level = o.carrier * std::pow(10.0, *o.neighbour_db / 20.0);
    const double rf = o.channel_hz + o.neighbour_offset_hz;
    double at = 0.3 * r.uniform();
    std::uint64_t batch = 0;
    while (at < total_seconds) {
        for (const Frame& f : generate_frames(o.seed ^ (kNeighbourFramesSeed + batch++), 32)) {
            if (at >= total_seconds) break;
            Burst b;
            SentFrame unused;
            if (!block_audio(f, prekey_bits, b, unused, error)) return false;
            b.start = at;
            key(b, r, o, rf, level);
            place(b, o);
            at += static_cast<double>(b.audio.size()) / kIqAudioRate + 0.02 + 0.3 * r.uniform();
            out.push_back(std::move(b));
        }
    }
    return true;
}

// Adds burst b to out[0 .. n-1], which holds samples first .. first+n-1.
void add_burst(const Burst& b, const IqOptions& o, std::int64_t first, std::size_t n,
               std::vector<std::complex<float>>& out) {
    const std::int64_t from = std::max(first, b.first);
    const std::int64_t to = std::min(first + static_cast<std::int64_t>(n), b.end);
    if (from >= to) return;
    const double rate = actual_rate(o);
    const double t0 = static_cast<double>(from) / rate;
    // The phase at the first sample, reduced to whole turns for precision.
    const double turns = std::fmod(b.baseband_hz * t0, 1.0);
    std::complex<double> phasor = std::polar(1.0, kTwoPi * turns + b.phase);
    const std::complex<double> step = std::polar(1.0, kTwoPi * b.baseband_hz / rate);
    double position = (t0 - b.start) * kIqAudioRate;  // in the burst's audio
    const double advance = kIqAudioRate / rate;
    const auto last = static_cast<double>(b.audio.size() - 1);
    for (std::int64_t s = from; s < to; ++s) {
        double x = 0.0;
        if (position >= 0.0 && position < last) {
            const auto k = static_cast<std::size_t>(position);
            const double frac = position - static_cast<double>(k);
            x = b.audio[k] + frac * (b.audio[k + 1] - b.audio[k]);
        }
        const double envelope = b.amplitude * (1.0 + o.modulation * x);
        out[static_cast<std::size_t>(s - first)] += std::complex<float>(phasor * envelope);
        phasor *= step;
        position += advance;
    }
}

}  // namespace

std::string check_iq_options(const IqOptions& o) {
    if (!(o.iq_rate >= kMinIqRate && o.iq_rate <= kMaxIqRate)) {
        return format_text("IQ rate %.0f is outside %d to %d", o.iq_rate, kMinIqRate, kMaxIqRate);
    }
    if (!(std::fabs(o.channel_offset_hz) + 6000.0 <= kBandUse * o.iq_rate)) {
        return format_text("a channel %.0f Hz from the centre lies outside %.0f samples/s",
                           o.channel_offset_hz, o.iq_rate);
    }
    if (!(o.channel_hz >= 1e6 && o.channel_hz <= 3e9)) return "the channel must be 1 to 3000 MHz";
    if (!(std::fabs(o.ppm) <= 1000.0)) return "the crystal error must be -1000 to 1000 ppm";
    if (!(o.carrier > 0.0 && o.carrier <= 1.0)) return "the carrier must be above 0, at most 1";
    if (!(o.modulation >= 0.0 && o.modulation <= 1.0)) return "the modulation must be 0 to 1";
    if (!(o.level_spread_db >= 0.0 && o.level_spread_db <= 40.0)) {
        return "the level spread must be 0 to 40 dB";
    }
    if (!(o.carrier_offset_hz >= 0.0 && o.carrier_offset_hz <= 2000.0)) {
        return "the carrier offset must be 0 to 2000 Hz";
    }
    if (o.cn_db && !(*o.cn_db >= -20.0 && *o.cn_db <= 100.0)) return "C/N must be -20 to 100 dB";
    if (o.neighbour_db) {
        if (!(*o.neighbour_db >= -40.0 && *o.neighbour_db <= 40.0)) {
            return "the neighbour must be -40 to 40 dB";
        }
        if (!(std::fabs(o.channel_offset_hz + o.neighbour_offset_hz) + 6000.0 <=
              kBandUse * o.iq_rate)) {
            return "the neighbour lies outside the recording's band";
        }
    }
    if (!(o.dc_spike >= 0.0 && o.dc_spike <= 1.0)) return "the DC spike must be 0 to 1";
    return {};
}

double cn_for_audio_snr(double snr_db, double modulation) {
    return snr_db - 10.0 * std::log10(kChannelBandwidthHz / kAudioBandHz) -
           20.0 * std::log10(modulation);
}

bool render_iq(const std::vector<Frame>& frames, const std::vector<double>& start_seconds,
               double total_seconds, int prekey_bits, const IqOptions& o, const IqSink& sink,
               std::vector<SentFrame>& sent, std::string& error) {
    sent.clear();
    error = check_iq_options(o);
    if (!error.empty()) return false;
    if (frames.size() != start_seconds.size() || !(total_seconds > 0.0)) {
        error = "one start per frame and a recording longer than 0 s";
        return false;
    }
    const auto total = static_cast<std::int64_t>(std::ceil(total_seconds * actual_rate(o)));
    if (total > kMaxSamples * 20) {
        error = "the recording would be too long";
        return false;
    }

    std::vector<Burst> bursts;
    Random r(o.seed, kBurstStream);
    for (std::size_t i = 0; i < frames.size(); ++i) {
        Burst b;
        SentFrame s;
        if (!block_audio(frames[i], prekey_bits, b, s, error)) {
            error = format_text("frame %zu: %s", i + 1, error.c_str());
            return false;
        }
        b.start = start_seconds[i];
        key(b, r, o, o.channel_hz, o.carrier);
        place(b, o);
        if (b.start < 0.0 || b.end > total) {
            error = format_text("frame %zu does not fit into %.3f s", i + 1, total_seconds);
            return false;
        }
        const double per_audio = actual_rate(o) / kIqAudioRate;
        s.start_sample = b.first;
        s.sync_sample = b.first + static_cast<std::int64_t>(
                                      std::llround(static_cast<double>(s.sync_sample) * per_audio));
        s.end_sample = b.end;
        sent.push_back(std::move(s));
        bursts.push_back(std::move(b));
    }
    if (o.neighbour_db && !neighbour_bursts(o, total_seconds, prekey_bits, bursts, error)) {
        return false;
    }
    std::sort(bursts.begin(), bursts.end(),
              [](const Burst& a, const Burst& b) { return a.first < b.first; });

    // Noise of the given C/N in 25 kHz is white over the whole rate.
    double sigma = 0.0;
    if (o.cn_db) {
        const double in_channel = o.carrier * o.carrier / std::pow(10.0, *o.cn_db / 10.0);
        sigma = std::sqrt(in_channel * o.iq_rate / kChannelBandwidthHz / 2.0);  // per component
    }
    Random noise(o.seed, kReceiverNoiseStream);
    const std::complex<float> dc(static_cast<float>(o.dc_spike / std::numbers::sqrt2),
                                 static_cast<float>(o.dc_spike / std::numbers::sqrt2));

    std::vector<std::complex<float>> chunk(kChunkSamples);
    std::size_t next = 0;
    std::vector<std::size_t> active;
    for (std::int64_t first = 0; first < total; first += kChunkSamples) {
        const auto n =
            static_cast<std::size_t>(std::min<std::int64_t>(kChunkSamples, total - first));
        for (std::size_t i = 0; i < n; ++i) {
            chunk[i] = dc;
            if (sigma > 0.0) {
                const double re = noise.gaussian();
                const double im = noise.gaussian();
                chunk[i] += std::complex<float>(static_cast<float>(sigma * re),
                                                static_cast<float>(sigma * im));
            }
        }
        const std::int64_t stop = first + static_cast<std::int64_t>(n);
        while (next < bursts.size() && bursts[next].first < stop) active.push_back(next++);
        for (std::size_t b : active) add_burst(bursts[b], o, first, n, chunk);
        std::erase_if(active, [&](std::size_t b) { return bursts[b].end <= stop; });
        if (!sink(chunk.data(), n)) {
            error = "cannot write the recording";
            return false;
        }
    }
    return true;
}

}  // namespace korvad::synth
