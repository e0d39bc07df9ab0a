// korvad-synth's IQ options and the run that writes an IQ recording.

#include "tools/synth/iq_cli.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "common/format.h"

namespace korvad::synth {
namespace {

enum IqOptionId {
    kOptIq = 2000,
    kOptIqRate,
    kOptIqFreq,
    kOptIqOffset,
    kOptCn,
    kOptNeighbour,
    kOptNeighbourOffset,
    kOptDcSpike,
    kOptLevelSpread,
    kOptCarrierOffset,
    kOptModulation,
    kOptCarrier,
};

}  // namespace

bool parse_option_number(const char* option, const char* text, double lo, double hi, double& out) {
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(text, &end);
    if (end == text || *end != '\0' || errno != 0 || !std::isfinite(v) || v < lo || v > hi) {
        print_to(stderr, "korvad-synth: %s: '%s' is not a number from %g to %g\n", option, text, lo,
                 hi);
        return false;
    }
    out = v;
    return true;
}

const char* const kIqUsage =
    "IQ recordings (what an RTL-SDR dongle records of the channel):\n"
    "  --iq FORMAT       write IQ pairs instead of audio: cu8 (as rtl_sdr writes),\n"
    "                    cs16, cf32 (little-endian) or wav (two channels, 16 bits,\n"
    "                    I left, Q right); also from OUTPUT's extension .cu8, .cs16,\n"
    "                    .cf32. OUTPUT '-' writes raw pairs to standard output.\n"
    "                    Each block keys its own AM carrier; --ppm is the dongle's\n"
    "                    crystal error (its oscillator and sample clock)\n"
    "  --iq-rate HZ      IQ samples per second, 48000 to 10000000 (default 2400000)\n"
    "  --iq-freq MHZ     the channel (default 131.550)\n"
    "  --iq-offset HZ    the channel minus the tuned centre (default a quarter of the\n"
    "                    rate, where korvad tunes a dongle)\n"
    "  --carrier F       carrier amplitude of the strongest burst, full scale 1\n"
    "                    (default 0.1)\n"
    "  --modulation F    modulation depth, 0 to 1 (default 0.8)\n"
    "  --level-spread DB each burst's carrier from --carrier down to this much below\n"
    "                    (default 0)\n"
    "  --carrier-offset HZ each burst's carrier within +- this of its channel\n"
    "                    (default 300)\n"
    "  --cn DB           carrier to receiver noise in 25 kHz at --carrier, or none\n"
    "                    (default 30); the audio an AM receiver makes has an SNR of\n"
    "                    C/N + 4.1 dB at 80 % modulation\n"
    "  --neighbour DB    a neighbour channel busy with traffic of its own, its\n"
    "                    carriers this much above --carrier\n"
    "  --neighbour-offset HZ where it lies from the channel (default 25000)\n"
    "  --dc-spike F      the dongle's DC spike at the centre, amplitude (default 0)\n";

std::vector<option> iq_long_options() {
    return {
        {"iq", required_argument, nullptr, kOptIq},
        {"iq-rate", required_argument, nullptr, kOptIqRate},
        {"iq-freq", required_argument, nullptr, kOptIqFreq},
        {"iq-offset", required_argument, nullptr, kOptIqOffset},
        {"cn", required_argument, nullptr, kOptCn},
        {"neighbour", required_argument, nullptr, kOptNeighbour},
        {"neighbour-offset", required_argument, nullptr, kOptNeighbourOffset},
        {"dc-spike", required_argument, nullptr, kOptDcSpike},
        {"level-spread", required_argument, nullptr, kOptLevelSpread},
        {"carrier-offset", required_argument, nullptr, kOptCarrierOffset},
        {"modulation", required_argument, nullptr, kOptModulation},
        {"carrier", required_argument, nullptr, kOptCarrier},
    };
}

int parse_iq_option(int id, const char* value, IqCommandLine& iq) {
    IqOptions& o = iq.options;
    double v = 0.0;
    bool ok = true;
    switch (id) {
        case kOptIq:
            iq.format = iq_file_format_named(value);
            if (!iq.format) {
                print_to(stderr, "korvad-synth: --iq: '%s' is none of cu8, cs16, cf32, wav\n",
                         value);
                ok = false;
            }
            break;
        case kOptIqRate:
            ok = parse_option_number("--iq-rate", value, kMinIqRate, kMaxIqRate, v);
            o.iq_rate = std::round(v);
            break;
        case kOptIqFreq:
            ok = parse_option_number("--iq-freq", value, 1.0, 3000.0, v);
            o.channel_hz = std::round(v * 1e6);
            break;
        case kOptIqOffset:
            ok = parse_option_number("--iq-offset", value, -kMaxIqRate / 2.0, kMaxIqRate / 2.0, v);
            iq.offset_hz = v;
            break;
        case kOptCn:
            if (std::strcmp(value, "none") == 0) {
                o.cn_db.reset();
            } else {
                ok = parse_option_number("--cn", value, -20.0, 100.0, v);
                o.cn_db = v;
            }
            break;
        case kOptNeighbour:
            ok = parse_option_number("--neighbour", value, -40.0, 40.0, v);
            o.neighbour_db = v;
            break;
        case kOptNeighbourOffset:
            ok = parse_option_number("--neighbour-offset", value, -kMaxIqRate / 2.0,
                                     kMaxIqRate / 2.0, o.neighbour_offset_hz);
            break;
        case kOptDcSpike:
            ok = parse_option_number("--dc-spike", value, 0.0, 1.0, o.dc_spike);
            break;
        case kOptLevelSpread:
            ok = parse_option_number("--level-spread", value, 0.0, 40.0, o.level_spread_db);
            break;
        case kOptCarrierOffset:
            ok = parse_option_number("--carrier-offset", value, 0.0, 2000.0, o.carrier_offset_hz);
            break;
        case kOptModulation:
            ok = parse_option_number("--modulation", value, 0.0, 1.0, o.modulation);
            break;
        case kOptCarrier:
            ok = parse_option_number("--carrier", value, 1e-6, 1.0, o.carrier);
            break;
        default:
            return -1;
    }
    return ok ? 0 : 2;
}

bool prepare_iq(IqCommandLine& iq, SynthOptions& audio, long long within, std::string& error) {
    const SynthOptions plain;
    if (audio.sample_rate != plain.sample_rate || audio.level != plain.level || audio.snr_db ||
        audio.band_pass || audio.hum != 0.0 || audio.dc_offset != 0.0 || within != 0 ||
        audio.airband || audio.agc_pump != 0.0 || audio.fade_hz != 0.0 || audio.drift_hz != 0.0) {
        error =
            "--rate, --level, --snr, --bandpass, --hum, --dc, --within, --fade, --airband, "
            "--agc-pump and --drift describe a receiver's audio and a sound card; an IQ "
            "recording takes --carrier, --cn and the other IQ options";
        return false;
    }
    iq.options.ppm = audio.clock_ppm;
    audio.clock_ppm = 0.0;
    audio.sample_rate = kIqAudioRate;
    iq.options.channel_offset_hz = iq.offset_hz.value_or(iq.options.iq_rate / 4.0);
    error = check_iq_options(iq.options);
    return error.empty();
}

bool write_iq_recording(const IqCommandLine& iq, const std::vector<Frame>& frames,
                        const std::vector<Placement>& placements, std::int64_t total,
                        int prekey_bits, const std::string& path, std::vector<SentFrame>& sent,
                        std::string& error) {
    std::vector<double> starts;
    for (const Placement& p : placements) {
        starts.push_back((static_cast<double>(p.start) - p.sub_sample) / kIqAudioRate);
    }
    const double seconds = static_cast<double>(total) / kIqAudioRate;
    std::string render_error;
    const bool written = write_iq(
        path, *iq.format, static_cast<int>(iq.options.iq_rate),
        [&](const IqSink& sink) {
            return render_iq(frames, starts, seconds, prekey_bits, iq.options, sink, sent,
                             render_error);
        },
        error);
    if (!render_error.empty()) error = render_error;
    if (!written) return false;
    // The list gives positions in the blocks' audio, as for an audio recording.
    const double per_iq = kIqAudioRate / (iq.options.iq_rate * (1.0 + iq.options.ppm * 1e-6));
    for (SentFrame& s : sent) {
        for (std::int64_t* at : {&s.start_sample, &s.sync_sample, &s.end_sample}) {
            *at = std::llround(static_cast<double>(*at) * per_iq);
        }
    }
    return true;
}

}  // namespace korvad::synth
