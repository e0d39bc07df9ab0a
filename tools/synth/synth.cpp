// The block as bytes and bits, the MSK waveform, and the recording around it:
// fading, noise and the receiver (tools/synth/channel.h), hum, DC offset and
// the 8-bit sound card.

#include "tools/synth/synth.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "common/format.h"
#include "tools/synth/channel.h"
#include "tools/synth/random.h"

namespace korvad::synth {
namespace {

constexpr std::uint8_t kSyn = 0x16, kSoh = 0x01, kStx = 0x02, kEtx = 0x03, kEtb = 0x17, kDel = 0x7F;
constexpr int kRegistrationChars = 7;

// Independent random sequences drawn from one seed.
constexpr std::uint64_t kNoiseStream = 1;
constexpr std::uint64_t kPlacementStream = 2;
constexpr std::uint64_t kDriftStream = 3;

constexpr std::int64_t kChunkSamples = 65536;

bool is_7bit(char c) {
    return static_cast<unsigned char>(c) <= 0x7F;
}

std::string check_chars(const std::string& value, const char* field) {
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (!is_7bit(value[i])) {
            return format_text("%s: character %zu (0x%02X) is not a 7-bit character", field, i + 1,
                               static_cast<unsigned>(static_cast<unsigned char>(value[i])));
        }
    }
    return {};
}

std::string check_char(char c, const char* field) {
    if (!is_7bit(c)) {
        return format_text("%s: 0x%02X is not a 7-bit character", field,
                           static_cast<unsigned>(static_cast<unsigned char>(c)));
    }
    return {};
}

std::string check_length(const std::string& value, std::size_t length, const char* field) {
    if (value.size() != length) {
        return format_text("%s must be %zu characters, not %zu", field, length, value.size());
    }
    return check_chars(value, field);
}

std::uint8_t parity_byte(char c) {
    return with_odd_parity(static_cast<std::uint8_t>(c));
}

// Samples per second of real time as the sound card actually takes them.
double actual_rate(const SynthOptions& options) {
    return options.sample_rate * (1.0 + options.clock_ppm * 1e-6);
}

// First sample n >= start whose time (n - start + sub) / rate is at least t.
std::int64_t first_sample_at(std::int64_t start, double sub, double t, double rate) {
    return start + static_cast<std::int64_t>(std::ceil(t * rate - sub));
}

// One block ready to be rendered: per bit the tone and the sign of its first half.
struct Keyed {
    std::int64_t start = 0;
    double sub = 0.0;
    std::int64_t end = 0;
    std::vector<std::uint8_t> full_cycle;  // 1: 2400 Hz cycle, 0: 1200 Hz half cycle
    std::vector<std::int8_t> sign;         // +1 or -1: the waveform's sign at the bit's start
    double drift_hz = 0.0;                 // tone offset at the block's end; minus that at key-up
};

Keyed key_block(const std::vector<std::uint8_t>& bits, const Placement& placement, double rate) {
    Keyed k;
    k.start = placement.start;
    k.sub = placement.sub_sample;
    k.full_cycle.resize(bits.size());
    k.sign.resize(bits.size());
    std::uint8_t previous = 1;  // the carrier before key-up counts as a one
    int half_turns = 0;         // phase in units of pi, modulo 2
    for (std::size_t i = 0; i < bits.size(); ++i) {
        const bool same = bits[i] == previous;
        k.full_cycle[i] = same ? 1 : 0;
        k.sign[i] = half_turns == 0 ? 1 : -1;
        if (!same) half_turns ^= 1;  // a full cycle adds 2 pi, a half cycle pi
        previous = bits[i];
    }
    k.end = first_sample_at(k.start, k.sub, static_cast<double>(bits.size()) / kBitRate, rate);
    return k;
}

// Adds block k's waveform (peak amplitude) to buffer[0 .. n-1], which holds
// samples first .. first+n-1 of the recording.
void add_block(const Keyed& k, double amplitude, double rate, std::int64_t first, double* buffer,
               std::int64_t n) {
    const std::int64_t from = std::max(first, k.start);
    const std::int64_t to = std::min(first + n, k.end);
    const double bit_time = 1.0 / kBitRate;
    const std::size_t bit_count = k.full_cycle.size();
    const double duration = static_cast<double>(bit_count) * bit_time;
    const double two_pi = 2.0 * std::numbers::pi;
    for (std::int64_t s = from; s < to; ++s) {
        const double t = (static_cast<double>(s - k.start) + k.sub) / rate;
        auto bit = static_cast<std::size_t>(std::floor(t * kBitRate));
        if (bit >= bit_count) break;
        const double tau = t - static_cast<double>(bit) * bit_time;
        const double tone_hz = k.full_cycle[bit] ? kBitRate : kBitRate / 2.0;  // 2400 or 1200
        // The offset moves linearly from -drift to +drift: its phase is the integral.
        const double drift_phase = two_pi * k.drift_hz * (t * t / duration - t);
        buffer[s - first] +=
            amplitude * k.sign[bit] * std::sin(two_pi * tone_hz * tau + drift_phase);
    }
}

}  // namespace

std::uint8_t with_odd_parity(std::uint8_t c) {
    c &= 0x7F;
    int ones = 0;
    for (int b = 0; b < 7; ++b) ones += (c >> b) & 1;
    return (ones % 2 == 0) ? static_cast<std::uint8_t>(c | 0x80) : c;
}

std::uint16_t block_check_sequence(const std::uint8_t* data, std::size_t length) {
    std::uint16_t crc = 0;
    for (std::size_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int b = 0; b < 8; ++b) {
            crc = (crc & 1) ? static_cast<std::uint16_t>((crc >> 1) ^ 0x8408)
                            : static_cast<std::uint16_t>(crc >> 1);
        }
    }
    return crc;
}

std::string check_frame(const Frame& frame) {
    std::string e;
    if (!(e = check_char(frame.mode, "mode")).empty()) return e;
    if (frame.registration.size() > kRegistrationChars) {
        return format_text("registration has %zu characters, at most 7 go on the air",
                           frame.registration.size());
    }
    if (!(e = check_chars(frame.registration, "registration")).empty()) return e;
    if (!(e = check_char(frame.ack, "ack")).empty()) return e;
    if (!(e = check_length(frame.label, 2, "label")).empty()) return e;
    if (!(e = check_char(frame.block_id, "block id")).empty()) return e;
    if (frame.kind == FrameKind::downlink) {
        if (!(e = check_length(frame.sequence, 4, "sequence number")).empty()) return e;
        if (!(e = check_length(frame.flight, 6, "flight id")).empty()) return e;
    } else {
        if (!frame.sequence.empty() || !frame.flight.empty()) {
            return "only downlinks carry a sequence number and flight id";
        }
        if (frame.kind == FrameKind::squitter && frame.label != "SQ") {
            return "a squitter's label is SQ";
        }
    }
    if (frame.text.size() > kMaxTextChars) {
        return format_text("text has %zu characters, at most %zu", frame.text.size(),
                           kMaxTextChars);
    }
    if (!(e = check_chars(frame.text, "text")).empty()) return e;
    for (std::size_t i = 0; i < frame.text.size(); ++i) {
        const auto c = static_cast<std::uint8_t>(frame.text[i]);
        if (c == kEtx || c == kEtb) {
            return format_text("text: character %zu is %s, which would end the block", i + 1,
                               c == kEtx ? "ETX" : "ETB");
        }
    }
    return {};
}

std::vector<std::uint8_t> frame_air_bytes(const Frame& frame) {
    std::vector<std::uint8_t> out;
    if (!check_frame(frame).empty()) return out;
    out.reserve(32 + frame.text.size());
    out.push_back(parity_byte('*'));
    out.push_back(with_odd_parity(kSyn));
    out.push_back(with_odd_parity(kSyn));
    out.push_back(with_odd_parity(kSoh));
    const std::size_t covered_from = out.size();  // the BCS starts at the mode character
    out.push_back(parity_byte(frame.mode));
    for (std::size_t i = frame.registration.size(); i < kRegistrationChars; ++i) {
        out.push_back(parity_byte('.'));
    }
    for (char c : frame.registration) out.push_back(parity_byte(c));
    out.push_back(parity_byte(frame.ack));
    for (char c : frame.label) out.push_back(parity_byte(c));
    out.push_back(parity_byte(frame.block_id));
    out.push_back(with_odd_parity(kStx));
    if (frame.kind == FrameKind::downlink) {
        for (char c : frame.sequence) out.push_back(parity_byte(c));
        for (char c : frame.flight) out.push_back(parity_byte(c));
    }
    for (char c : frame.text) out.push_back(parity_byte(c));
    out.push_back(with_odd_parity(frame.end == BlockEnd::etx ? kEtx : kEtb));
    const std::uint16_t bcs =
        block_check_sequence(out.data() + covered_from, out.size() - covered_from) ^
        (frame.bad_bcs ? 0x0100 : 0);
    out.push_back(static_cast<std::uint8_t>(bcs & 0xFF));
    out.push_back(static_cast<std::uint8_t>(bcs >> 8));
    out.push_back(with_odd_parity(kDel));
    return out;
}

std::vector<std::uint8_t> frame_bits(const Frame& frame, int prekey_bits) {
    std::vector<std::uint8_t> bits;
    const std::vector<std::uint8_t> bytes = frame_air_bytes(frame);
    if (bytes.empty() || prekey_bits < 0) return bits;
    bits.reserve(static_cast<std::size_t>(prekey_bits) + 8 * (bytes.size() + 1));
    bits.assign(static_cast<std::size_t>(prekey_bits), 1);
    auto put = [&bits](std::uint8_t byte) {
        for (int b = 0; b < 8; ++b) bits.push_back((byte >> b) & 1);
    };
    put(parity_byte('+'));
    for (std::uint8_t byte : bytes) put(byte);
    return bits;
}

std::string check_options(const SynthOptions& o) {
    if (o.sample_rate < kMinSampleRate || o.sample_rate > kMaxSampleRate) {
        return format_text("sample rate %d Hz is outside %d to %d", o.sample_rate, kMinSampleRate,
                           kMaxSampleRate);
    }
    if (o.prekey_bits < 0 || o.prekey_bits > kMaxPrekeyBits) {
        return format_text("pre-key of %d bits is outside 0 to %d", o.prekey_bits, kMaxPrekeyBits);
    }
    if (!(o.level >= 0.0 && o.level <= 4.0)) return "level must be between 0 and 4";
    if (!(o.dc_offset >= -1.0 && o.dc_offset <= 1.0)) return "DC offset must be between -1 and 1";
    if (o.snr_db && !(*o.snr_db >= -30.0 && *o.snr_db <= 100.0)) {
        return "SNR must be between -30 and 100 dB";
    }
    if (!(o.clock_ppm >= -kMaxClockPpm && o.clock_ppm <= kMaxClockPpm)) {
        return "clock error must be between -50000 and 50000 ppm";
    }
    if (!(o.hum >= 0.0 && o.hum <= 1.0)) return "hum must be between 0 and 1";
    if (!(o.fade_low >= 0.0 && o.fade_low <= o.fade_high && o.fade_high <= 1.0)) {
        return "fading must go between two levels with 0 <= low <= high <= 1";
    }
    if (!(o.fade_hz >= 0.0 && o.fade_hz <= kMaxFadeHz)) {
        return "the fading rate must be between 0 and 20 Hz";
    }
    if (!(o.agc_pump >= 0.0 && o.agc_pump <= kMaxAgcPump)) {
        return "the AGC's overshoot must be between 0 and 4";
    }
    if (!(o.drift_hz >= 0.0 && o.drift_hz <= kMaxDriftHz)) {
        return "the tones' drift must be between 0 and 50 Hz";
    }
    return {};
}

std::int64_t frame_span_samples(const Frame& frame, const SynthOptions& options) {
    const std::vector<std::uint8_t> bytes = frame_air_bytes(frame);
    if (bytes.empty() || !check_options(options).empty()) return 0;
    const double bits = static_cast<double>(options.prekey_bits) + 8.0 * (bytes.size() + 1);
    return first_sample_at(0, 0.0, bits / kBitRate, actual_rate(options));
}

bool synthesize(const std::vector<Frame>& frames, const std::vector<Placement>& placements,
                std::int64_t total_samples, const SynthOptions& options, Recording& out,
                std::string& error) {
    out = Recording{};
    error = check_options(options);
    if (!error.empty()) return false;
    if (frames.size() != placements.size()) {
        error = format_text("%zu frames but %zu placements", frames.size(), placements.size());
        return false;
    }
    if (total_samples < 0 || total_samples > kMaxSamples) {
        error =
            format_text("a recording holds 0 to %lld samples", static_cast<long long>(kMaxSamples));
        return false;
    }
    const double rate = actual_rate(options);

    std::vector<Keyed> blocks;
    blocks.reserve(frames.size());
    Random drift(options.seed, kDriftStream);
    out.frames.reserve(frames.size());
    std::int64_t last_end = 0;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const std::string fault = check_frame(frames[i]);
        if (!fault.empty()) {
            error = format_text("frame %zu: %s", i + 1, fault.c_str());
            return false;
        }
        const Placement& p = placements[i];
        if (p.start < 0 || p.start > kMaxSamples || !(p.sub_sample >= 0.0 && p.sub_sample < 1.0)) {
            error = format_text("frame %zu: start %lld or sub-sample offset %g out of range", i + 1,
                                static_cast<long long>(p.start), p.sub_sample);
            return false;
        }
        blocks.push_back(key_block(frame_bits(frames[i], options.prekey_bits), p, rate));
        blocks.back().drift_hz = drift.chance(0.5) ? options.drift_hz : -options.drift_hz;
        SentFrame sent;
        sent.start_sample = p.start;
        sent.sync_sample =
            first_sample_at(p.start, p.sub_sample, (options.prekey_bits + 8.0) / kBitRate, rate);
        sent.end_sample = blocks.back().end;
        sent.bytes = frame_air_bytes(frames[i]);
        last_end = std::max(last_end, sent.end_sample);
        out.frames.push_back(std::move(sent));
    }
    if (total_samples == 0) total_samples = last_end;
    if (last_end > total_samples) {
        error =
            format_text("the blocks need %lld samples, the recording has %lld",
                        static_cast<long long>(last_end), static_cast<long long>(total_samples));
        return false;
    }
    if (total_samples > kMaxSamples) {
        error = format_text("a recording holds at most %lld samples",
                            static_cast<long long>(kMaxSamples));
        return false;
    }

    ReceiverChannel channel;
    if (!channel.start(options, error)) return false;
    std::vector<std::int64_t> key_ups;
    for (const Keyed& k : blocks) key_ups.push_back(k.start);
    channel.set_key_ups(std::move(key_ups));

    const double amplitude = options.level * kFullScale;
    // Noise white up to half the sample rate with the power the SNR asks for
    // inside the 3100 Hz band: the total variance is that band's share times
    // (fs/2) / 3100. The signal power is that of the keyed carrier, A^2 / 2,
    // before any fading (or its mean over the fade, with average_snr).
    double noise_sigma = 0.0;
    if (options.snr_db) {
        double signal_power = amplitude * amplitude / 2.0;
        if (options.average_snr && options.fade_hz > 0.0) {
            signal_power *= mean_fade_power(options.fade_low, options.fade_high);
        }
        const double in_band = signal_power / std::pow(10.0, *options.snr_db / 10.0);
        const double whole =
            in_band * (options.sample_rate / 2.0) / (kNoiseBandHighHz - kNoiseBandLowHz);
        noise_sigma = std::sqrt(whole);
    }
    Random noise(options.seed, kNoiseStream);

    // Blocks by start, so each chunk renders only those that reach into it.
    std::vector<std::size_t> order(blocks.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&blocks](std::size_t a, std::size_t b) {
        return blocks[a].start < blocks[b].start;
    });
    std::size_t next_block = 0;
    std::vector<std::size_t> active;

    out.samples.resize(static_cast<std::size_t>(total_samples));
    std::vector<double> buffer(kChunkSamples);
    for (std::int64_t first = 0; first < total_samples; first += kChunkSamples) {
        const std::int64_t n = std::min(kChunkSamples, total_samples - first);
        std::fill(buffer.begin(), buffer.end(), 0.0);
        while (next_block < order.size() && blocks[order[next_block]].start < first + n) {
            active.push_back(order[next_block++]);
        }
        for (std::size_t b : active) add_block(blocks[b], amplitude, rate, first, buffer.data(), n);
        std::erase_if(active, [&](std::size_t b) { return blocks[b].end <= first + n; });

        for (std::int64_t i = 0; i < n; ++i) {
            double x = buffer[i] * channel.fade(first + i);
            if (noise_sigma > 0.0) x += noise_sigma * noise.gaussian();
            x = channel.audio(x * channel.agc_gain(first + i));
            // Hum and DC offset come in at the sound card, after the scanner's filter.
            if (options.hum > 0.0) {
                x += options.hum * kFullScale *
                     std::sin(2.0 * std::numbers::pi * kHumHz * static_cast<double>(first + i) /
                              rate);
            }
            x += options.dc_offset * kFullScale;
            const double v = std::floor(128.0 + x + 0.5);
            out.samples[static_cast<std::size_t>(first + i)] =
                static_cast<std::uint8_t>(std::clamp(v, 0.0, 255.0));
        }
    }
    return true;
}

bool layout_sequential(const std::vector<Frame>& frames, const SynthOptions& options,
                       const SequentialLayout& layout, std::vector<Placement>& out,
                       std::string& error) {
    out.clear();
    error = check_options(options);
    if (!error.empty()) return false;
    if (layout.first_sample < 0 || layout.gap_samples < 0 || layout.block_samples < 0 ||
        layout.margin < 0) {
        error = "layout positions, gap, block and margin must not be negative";
        return false;
    }
    std::int64_t position = layout.first_sample;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const std::int64_t span = frame_span_samples(frames[i], options);
        if (span == 0) {
            error = format_text("frame %zu: %s", i + 1, check_frame(frames[i]).c_str());
            return false;
        }
        if (layout.block_samples > 0) {
            const std::int64_t b = layout.block_samples;
            if (span + 2 * layout.margin > b) {
                error =
                    format_text("frame %zu: %lld samples with margins do not fit a block of %lld",
                                i + 1, static_cast<long long>(span), static_cast<long long>(b));
                return false;
            }
            const std::int64_t offset = position - layout.block_origin;
            const std::int64_t index = offset >= 0 ? offset / b : -((-offset + b - 1) / b);
            const std::int64_t block_start = layout.block_origin + index * b;
            if (position - layout.margin < block_start) position = block_start + layout.margin;
            if (position + span + layout.margin > block_start + b) {
                position = block_start + b + layout.margin;
            }
        }
        if (position > kMaxSamples) {
            error = "the layout runs past the longest recording";
            return false;
        }
        out.push_back(Placement{position, 0.0});
        position += span + layout.gap_samples;
    }
    return true;
}

bool layout_random(const std::vector<Frame>& frames, const SynthOptions& options,
                   std::int64_t total_samples, std::int64_t min_gap, std::uint64_t seed,
                   std::vector<Placement>& out, std::string& error) {
    out.clear();
    error = check_options(options);
    if (!error.empty()) return false;
    if (total_samples <= 0 || total_samples > kMaxSamples || min_gap < 0) {
        error = "the recording length must be 1 to kMaxSamples and the gap not negative";
        return false;
    }
    std::vector<std::int64_t> spans;
    std::int64_t needed = min_gap * static_cast<std::int64_t>(frames.size() + 1);
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const std::int64_t span = frame_span_samples(frames[i], options);
        if (span == 0) {
            error = format_text("frame %zu: %s", i + 1, check_frame(frames[i]).c_str());
            return false;
        }
        spans.push_back(span);
        needed += span;
        if (needed > total_samples) break;
    }
    if (needed > total_samples) {
        error =
            format_text("%zu frames do not fit into %lld samples with gaps of %lld", frames.size(),
                        static_cast<long long>(total_samples), static_cast<long long>(min_gap));
        return false;
    }
    // The free room, cut at random points: the pieces between the points are
    // the extra space before each block.
    Random random(seed, kPlacementStream);
    const std::int64_t slack = total_samples - needed;
    std::vector<std::int64_t> cuts(frames.size());
    for (auto& c : cuts)
        c = static_cast<std::int64_t>(random.below(static_cast<std::uint64_t>(slack) + 1));
    std::sort(cuts.begin(), cuts.end());
    std::int64_t position = 0;
    std::int64_t used = 0;  // slack given out so far
    for (std::size_t i = 0; i < frames.size(); ++i) {
        position += min_gap + (cuts[i] - used);
        used = cuts[i];
        out.push_back(Placement{position, random.uniform()});
        position += spans[i];
    }
    return true;
}

}  // namespace korvad::synth
