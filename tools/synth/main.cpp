// korvad-synth: writes ACARS test audio from a file of frame lines or from
// random realistic traffic.

#include <getopt.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "common/atomic_file.h"
#include "common/format.h"
#include "tools/synth/iq_cli.h"
#include "tools/synth/synth.h"

namespace {

using namespace korvad;
using namespace korvad::synth;

constexpr std::size_t kMaxFramesFileBytes = 64u << 20;
constexpr int kMaxRandomFrames = 100000;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

constexpr const char* kUsage =
    "Usage: korvad-synth [options] FRAMES.txt OUTPUT.wav|OUTPUT.raw\n"
    "       korvad-synth [options] --random N OUTPUT.wav|OUTPUT.raw\n"
    "\n"
    "Writes ACARS blocks as VHF transmitters send them - pre-key, bit sync, the block\n"
    "with odd parity and its CRC-16, 2400 bit/s MSK on tones of 1200 and 2400 Hz - as\n"
    "8-bit unsigned mono audio (128 is the zero level), the way a sound card records\n"
    "a scanner's audio output.\n"
    "\n"
    "Blocks:\n"
    "  FRAMES.txt        one block per line ('-': standard input); see --help-format\n"
    "  --random N        N random realistic blocks (downlinks, uplinks, squitters)\n"
    "                    drawn from the seed, instead of FRAMES.txt\n"
    "  --list FILE       write what was sent ('-': standard output): for each block\n"
    "                    its sample positions and the bytes a receiver collects from\n"
    "                    the '*' on, as comments, then its frame line; the file can\n"
    "                    be read back as FRAMES.txt\n"
    "\n"
    "Signal:\n"
    "  --rate HZ         sample rate, 8000 to 192000 (default 19500)\n"
    "  --prekey BITS     all-one bits before the bit sync, 0 to 24000 (default 128,\n"
    "                    53 ms)\n"
    "  --level F         peak amplitude of the signal as a fraction of full scale,\n"
    "                    127 sample steps (default 0.5); above 1 it clips\n"
    "  --snr DB          add white Gaussian noise, -30 to 100 dB. The SNR is the\n"
    "                    signal power (that of the keyed carrier, amplitude^2 / 2)\n"
    "                    over the noise power inside the 3100 Hz band from 300 to\n"
    "                    3400 Hz. The noise is white up to half the sample rate, so\n"
    "                    its total power is (rate / 2) / 3100 times its power in that\n"
    "                    band. It covers the whole recording, as with the squelch\n"
    "                    open, and is set before the --bandpass filter.\n"
    "  --bandpass        pass signal and noise through a 300-3000 Hz band-pass like\n"
    "                    a scanner's audio stage (Butterworth: 2nd-order high-pass\n"
    "                    at 300 Hz, 4th-order low-pass at 3000 Hz)\n"
    "  --hum F           50 Hz hum with amplitude F, a fraction of full scale, 0 to 1\n"
    "                    (default 0); added at the sound card, after --bandpass\n"
    "  --dc F            DC offset, a fraction of full scale, -1 to 1 (default 0);\n"
    "                    added at the sound card\n"
    "  --ppm PPM         sample-clock error in parts per million, -50000 to 50000:\n"
    "                    the card takes rate * (1 + PPM / 1e6) samples per second,\n"
    "                    so the signal is stretched by that factor (default 0)\n"
    "  --fade LOW,HIGH,HZ  slow fading: the signal's amplitude (not the noise's)\n"
    "                    swings between LOW and HIGH times --level, 0 <= LOW <= HIGH\n"
    "                    <= 1, HZ times a second (up to 20); --snr is that of the\n"
    "                    signal before it fades\n"
    "  --average-snr     with --fade, --snr is that of the faded signal's mean\n"
    "                    power over the fade instead (its average SNR)\n"
    "  --airband         the audio of an AM airband receiver on signal and noise:\n"
    "                    2nd-order high-pass at 250 Hz, de-emphasis (75 us), 4th-order\n"
    "                    elliptic low-pass at 2700 Hz with its group delay; the noise\n"
    "                    comes out shaped by them\n"
    "  --agc-pump F      the receiver's AGC at key-up: its gain is 1 + F times what\n"
    "                    it settles to (0 to 4, default 0), settling with a time\n"
    "                    constant of 25 ms\n"
    "  --drift HZ        each block's tones move by HZ over the block, from -HZ to\n"
    "                    +HZ or back as the seed draws (0 to 50, default 0)\n"
    "\n"
    "Layout:\n"
    "  --gap MS          silence between blocks in milliseconds (default 500); it is\n"
    "                    exactly the zero level unless --snr, --hum or --dc is given\n"
    "  --lead MS         silence before the first block and after the last\n"
    "                    (default 250)\n"
    "  --within N        keep every block inside one read of N samples (reads\n"
    "                    starting at sample 0), moving a block that would cross\n"
    "                    the end of a read to just after it; korvad reads 40000\n"
    "  --scatter SECONDS place the blocks, in order, at random positions in a\n"
    "                    recording this long, at least --gap apart and from both ends\n"
    "  --seed N          seed for the noise, --random and --scatter (default 1): the\n"
    "                    same seed and options give the same output byte for byte\n"
    "\n"
    "Output:\n"
    "  --format raw|wav  output format (default: from OUTPUT's extension, .wav, .raw\n"
    "                    or .u8); WAV is 8-bit unsigned PCM, mono\n"
    "  -q, --quiet       no summary on standard error\n"
    "  -h, --help        this help\n"
    "  --help-format     the frame-line format\n"
    "\n"
    "Exit status: 0 written, 1 a block, file or write failed, 2 bad command line.\n";

constexpr const char* kFormatHelp =
    "Frame lines: one ACARS block per line; lines starting with '#' and blank lines\n"
    "are skipped.\n"
    "\n"
    "  downlink mode=2 reg=.N123AB ack=NAK label=H1 block=4 seq=M01A flight=BA0123 text=...\n"
    "  uplink reg=.G-EUPT label=_d block=A ack=4\n"
    "  squitter text=02XAORDKORD14159N08754WV131550/\n"
    "\n"
    "The kind comes first (downlink, uplink or squitter), then key=value fields\n"
    "separated by blanks. text= must be last: it takes the rest of the line as it\n"
    "stands, spaces included.\n"
    "\n"
    "  mode=C     mode character (default 2)\n"
    "  reg=R      registration, up to 7 characters, sent right-aligned after\n"
    "             leading '.' (required; a squitter's defaults to .......)\n"
    "  ack=C      technical acknowledgement (default NAK, the character 0x15)\n"
    "  label=LL   label, 2 characters (required; a squitter's is SQ)\n"
    "  block=C    block identifier (required; a squitter's defaults to 0)\n"
    "  seq=SSSS   message sequence number, 4 characters (downlinks only, required)\n"
    "  flight=FFFFFF flight id, 6 characters (downlinks only, required)\n"
    "  end=ETX    ETX, or ETB for a block that more blocks follow (default ETX)\n"
    "  bcs=bad    send the block check sequence with one bit wrong, as a block\n"
    "             damaged beyond repair arrives\n"
    "  text=...   the message text (default empty)\n"
    "\n"
    "Escapes in every value: \\r \\n \\t \\\\ and \\xHH (two hexadecimal digits, 00 to\n"
    "7F; characters are 7-bit). Outside the text a space is written \\x20. A text\n"
    "may not hold ETX (\\x03) or ETB (\\x17).\n";

struct CommandLine {
    SynthOptions synth;
    std::string frames_path;
    std::string output_path;
    std::string list_path;
    int random_count = 0;
    double gap_ms = 500.0;
    double lead_ms = 250.0;
    double scatter_seconds = 0.0;
    long long within = 0;
    std::optional<AudioFormat> format;
    IqCommandLine iq;
    bool quiet = false;
};

bool parse_double(const char* option, const char* text, double lo, double hi, double& out) {
    return parse_option_number(option, text, lo, hi, out);
}

bool parse_integer(const char* option, const char* text, long long lo, long long hi,
                   long long& out) {
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || v < lo || v > hi) {
        print_to(stderr, "korvad-synth: %s: '%s' is not a whole number from %lld to %lld\n", option,
                 text, lo, hi);
        return false;
    }
    out = v;
    return true;
}

bool parse_seed(const char* text, std::uint64_t& out) {
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text, &end, 0);
    if (end == text || *end != '\0' || errno != 0 || text[0] == '-') {
        print_to(stderr, "korvad-synth: --seed: '%s' is not a whole number from 0 to 2^64-1\n",
                 text);
        return false;
    }
    out = v;
    return true;
}

// LOW,HIGH,HZ: three numbers separated by commas.
bool parse_fade(const char* text, SynthOptions& o) {
    double v[3] = {0.0, 0.0, 0.0};
    const char* p = text;
    for (int i = 0; i < 3; ++i) {
        char* end = nullptr;
        errno = 0;
        v[i] = std::strtod(p, &end);
        const char want = i < 2 ? ',' : '\0';
        if (end == p || errno != 0 || *end != want || !std::isfinite(v[i])) {
            print_to(stderr, "korvad-synth: --fade: '%s' is not LOW,HIGH,HZ\n", text);
            return false;
        }
        p = end + 1;
    }
    if (!(v[0] >= 0.0 && v[0] <= v[1] && v[1] <= 1.0 && v[2] > 0.0 && v[2] <= kMaxFadeHz)) {
        print_to(stderr,
                 "korvad-synth: --fade: '%s' needs 0 <= LOW <= HIGH <= 1 and 0 < HZ <= 20\n", text);
        return false;
    }
    o.fade_low = v[0];
    o.fade_high = v[1];
    o.fade_hz = v[2];
    return true;
}

enum OptionId {
    kOptRate = 1000,
    kOptPrekey,
    kOptLevel,
    kOptSnr,
    kOptBandpass,
    kOptHum,
    kOptDc,
    kOptPpm,
    kOptFade,
    kOptAverageSnr,
    kOptAirband,
    kOptAgcPump,
    kOptDrift,
    kOptGap,
    kOptLead,
    kOptScatter,
    kOptWithin,
    kOptSeed,
    kOptRandom,
    kOptList,
    kOptFormat,
    kOptHelpFormat,
};

// Returns -1 to go on, else the exit status.
int parse_command_line(int argc, char** argv, CommandLine& cl) {
    static const option kOptions[] = {
        {"rate", required_argument, nullptr, kOptRate},
        {"prekey", required_argument, nullptr, kOptPrekey},
        {"level", required_argument, nullptr, kOptLevel},
        {"snr", required_argument, nullptr, kOptSnr},
        {"bandpass", no_argument, nullptr, kOptBandpass},
        {"hum", required_argument, nullptr, kOptHum},
        {"dc", required_argument, nullptr, kOptDc},
        {"ppm", required_argument, nullptr, kOptPpm},
        {"fade", required_argument, nullptr, kOptFade},
        {"average-snr", no_argument, nullptr, kOptAverageSnr},
        {"airband", no_argument, nullptr, kOptAirband},
        {"agc-pump", required_argument, nullptr, kOptAgcPump},
        {"drift", required_argument, nullptr, kOptDrift},
        {"gap", required_argument, nullptr, kOptGap},
        {"lead", required_argument, nullptr, kOptLead},
        {"scatter", required_argument, nullptr, kOptScatter},
        {"within", required_argument, nullptr, kOptWithin},
        {"seed", required_argument, nullptr, kOptSeed},
        {"random", required_argument, nullptr, kOptRandom},
        {"list", required_argument, nullptr, kOptList},
        {"format", required_argument, nullptr, kOptFormat},
        {"quiet", no_argument, nullptr, 'q'},
        {"help", no_argument, nullptr, 'h'},
        {"help-format", no_argument, nullptr, kOptHelpFormat},
    };
    static const std::vector<option> kAllOptions = [] {
        std::vector<option> all(std::begin(kOptions), std::end(kOptions));
        for (const option& o : iq_long_options()) all.push_back(o);
        all.push_back({nullptr, 0, nullptr, 0});
        return all;
    }();
    opterr = 0;
    int c;
    long long n = 0;
    double d = 0.0;
    while ((c = getopt_long(argc, argv, ":qh", kAllOptions.data(), nullptr)) != -1) {
        bool ok = true;
        switch (c) {
            case kOptRate:
                ok = parse_integer("--rate", optarg, kMinSampleRate, kMaxSampleRate, n);
                cl.synth.sample_rate = static_cast<int>(n);
                break;
            case kOptPrekey:
                ok = parse_integer("--prekey", optarg, 0, kMaxPrekeyBits, n);
                cl.synth.prekey_bits = static_cast<int>(n);
                break;
            case kOptLevel:
                ok = parse_double("--level", optarg, 0.0, 4.0, cl.synth.level);
                break;
            case kOptSnr:
                ok = parse_double("--snr", optarg, -30.0, 100.0, d);
                cl.synth.snr_db = d;
                break;
            case kOptBandpass:
                cl.synth.band_pass = true;
                break;
            case kOptHum:
                ok = parse_double("--hum", optarg, 0.0, 1.0, cl.synth.hum);
                break;
            case kOptDc:
                ok = parse_double("--dc", optarg, -1.0, 1.0, cl.synth.dc_offset);
                break;
            case kOptPpm:
                ok = parse_double("--ppm", optarg, -kMaxClockPpm, kMaxClockPpm, cl.synth.clock_ppm);
                break;
            case kOptFade:
                ok = parse_fade(optarg, cl.synth);
                break;
            case kOptAverageSnr:
                cl.synth.average_snr = true;
                break;
            case kOptAirband:
                cl.synth.airband = true;
                break;
            case kOptAgcPump:
                ok = parse_double("--agc-pump", optarg, 0.0, kMaxAgcPump, cl.synth.agc_pump);
                break;
            case kOptDrift:
                ok = parse_double("--drift", optarg, 0.0, kMaxDriftHz, cl.synth.drift_hz);
                break;
            case kOptGap:
                ok = parse_double("--gap", optarg, 0.0, 3600e3, cl.gap_ms);
                break;
            case kOptLead:
                ok = parse_double("--lead", optarg, 0.0, 3600e3, cl.lead_ms);
                break;
            case kOptScatter:
                ok = parse_double("--scatter", optarg, 0.001, 3600.0 * 4, cl.scatter_seconds);
                break;
            case kOptWithin:
                ok = parse_integer("--within", optarg, 1000, 100000000, cl.within);
                break;
            case kOptSeed:
                ok = parse_seed(optarg, cl.synth.seed);
                break;
            case kOptRandom:
                ok = parse_integer("--random", optarg, 1, kMaxRandomFrames, n);
                cl.random_count = static_cast<int>(n);
                break;
            case kOptList:
                cl.list_path = optarg;
                break;
            case kOptFormat:
                if (std::string(optarg) == "raw") {
                    cl.format = AudioFormat::raw;
                } else if (std::string(optarg) == "wav") {
                    cl.format = AudioFormat::wav;
                } else {
                    print_to(stderr, "korvad-synth: --format: '%s' is neither raw nor wav\n",
                             optarg);
                    ok = false;
                }
                break;
            case 'q':
                cl.quiet = true;
                break;
            case 'h':
                std::fputs(kUsage, stdout);
                print_to(stdout, "\n%s", kIqUsage);
                return 0;
            case kOptHelpFormat:
                std::fputs(kFormatHelp, stdout);
                return 0;
            case ':':
                print_to(stderr, "korvad-synth: %s needs a value (see --help)\n", argv[optind - 1]);
                return kExitUsage;
            default:
                if (const int taken = parse_iq_option(c, optarg, cl.iq); taken >= 0) {
                    ok = taken == 0;
                    break;
                }
                print_to(stderr, "korvad-synth: unknown option %s (see --help)\n",
                         argv[optind - 1]);
                return kExitUsage;
        }
        if (!ok) return kExitUsage;
    }
    const int wanted = cl.random_count > 0 ? 1 : 2;
    if (argc - optind != wanted) {
        print_to(stderr, "korvad-synth: %s (see --help)\n",
                 cl.random_count > 0 ? "give the output file (no FRAMES.txt with --random)"
                                     : "give a frames file and an output file");
        return kExitUsage;
    }
    if (wanted == 2) cl.frames_path = argv[optind++];
    cl.output_path = argv[optind];
    if (!cl.iq.format) cl.iq.format = iq_file_format_for(cl.output_path);
    if (cl.iq.format) {
        if (cl.output_path == "-" && cl.list_path == "-") {
            print_to(stderr, "%s\n",
                     "korvad-synth: the recording and the list cannot both go to standard output");
            return kExitUsage;
        }
        std::string error;
        if (!prepare_iq(cl.iq, cl.synth, cl.within, error)) {
            print_to(stderr, "korvad-synth: %s\n", error.c_str());
            return kExitUsage;
        }
        return -1;
    }
    if (!cl.format) cl.format = audio_format_for(cl.output_path);
    if (!cl.format) {
        print_to(stderr,
                 "korvad-synth: cannot tell the format of '%s': name it .wav, .raw or .u8, or "
                 "give --format\n",
                 cl.output_path.c_str());
        return kExitUsage;
    }
    return -1;
}

bool read_frames_file(const std::string& path, std::string& text) {
    const bool from_stdin = path == "-";
    std::FILE* f = from_stdin ? stdin : std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        print_to(stderr, "korvad-synth: cannot open %s: %s\n", path.c_str(), std::strerror(errno));
        return false;
    }
    char buffer[65536];
    std::size_t got;
    bool ok = true;
    while ((got = std::fread(buffer, 1, sizeof buffer, f)) > 0) {
        if (text.size() + got > kMaxFramesFileBytes) {
            print_to(stderr, "korvad-synth: %s is larger than %zu bytes\n", path.c_str(),
                     kMaxFramesFileBytes);
            ok = false;
            break;
        }
        text.append(buffer, got);
    }
    if (ok && std::ferror(f)) {
        print_to(stderr, "korvad-synth: cannot read %s\n", path.c_str());
        ok = false;
    }
    if (!from_stdin) std::fclose(f);
    return ok;
}

// total: samples of the recording (of the blocks' audio, for an IQ recording).
bool write_list(std::FILE* out, const CommandLine& cl, const std::vector<Frame>& frames,
                const Recording& recording, std::int64_t total) {
    const double rate = cl.synth.sample_rate;
    bool ok = print_to(out, "# korvad-synth: %zu blocks, %lld samples at %d Hz, seed %llu\n",
                       frames.size(), static_cast<long long>(total), cl.synth.sample_rate,
                       static_cast<unsigned long long>(cl.synth.seed));
    for (std::size_t i = 0; i < frames.size() && ok; ++i) {
        const SentFrame& s = recording.frames[i];
        std::string hex;
        for (std::uint8_t b : s.bytes) hex += format_text(" %02X", static_cast<unsigned>(b));
        ok = print_to(out,
                      "# block %zu: samples %lld to %lld, '*' at %lld (%.3f s to %.3f s)\n"
                      "# sent:%s\n%s\n",
                      i + 1, static_cast<long long>(s.start_sample),
                      static_cast<long long>(s.end_sample), static_cast<long long>(s.sync_sample),
                      s.start_sample / rate, s.end_sample / rate, hex.c_str(),
                      format_frame_line(frames[i]).c_str());
    }
    return ok;
}

int run(const CommandLine& cl) {
    std::vector<Frame> frames;
    if (cl.random_count > 0) {
        frames = generate_frames(cl.synth.seed, cl.random_count);
    } else {
        std::string text;
        if (!read_frames_file(cl.frames_path, text)) return kExitFailure;
        const ParsedFrames parsed = parse_frame_lines(text);
        if (!parsed.ok()) {
            print_to(stderr, "korvad-synth: %s:%d: %s\n", cl.frames_path.c_str(), parsed.error_line,
                     parsed.error.c_str());
            return kExitFailure;
        }
        frames = parsed.frames;
        if (frames.empty()) {
            print_to(stderr, "korvad-synth: %s holds no blocks\n", cl.frames_path.c_str());
            return kExitFailure;
        }
    }

    const double rate = cl.synth.sample_rate;
    const auto gap = static_cast<std::int64_t>(std::llround(cl.gap_ms * rate / 1000.0));
    const auto lead = static_cast<std::int64_t>(std::llround(cl.lead_ms * rate / 1000.0));
    std::vector<Placement> placements;
    std::int64_t total = 0;
    std::string error;
    bool placed;
    if (cl.scatter_seconds > 0.0) {
        total = static_cast<std::int64_t>(std::llround(cl.scatter_seconds * rate));
        placed = layout_random(frames, cl.synth, total, gap, cl.synth.seed, placements, error);
    } else {
        SequentialLayout layout;
        layout.first_sample = lead;
        layout.gap_samples = gap;
        layout.block_samples = cl.within;
        layout.margin = cl.within > 0 ? lead : 0;
        placed = layout_sequential(frames, cl.synth, layout, placements, error);
        if (placed) {
            total = placements.back().start + frame_span_samples(frames.back(), cl.synth) + lead;
        }
    }
    if (!placed) {
        print_to(stderr, "korvad-synth: %s\n", error.c_str());
        return kExitFailure;
    }

    Recording recording;
    if (cl.iq.format) {
        if (!write_iq_recording(cl.iq, frames, placements, total, cl.synth.prekey_bits,
                                cl.output_path, recording.frames, error)) {
            print_to(stderr, "korvad-synth: %s\n", error.c_str());
            return kExitFailure;
        }
    } else if (!synthesize(frames, placements, total, cl.synth, recording, error)) {
        print_to(stderr, "korvad-synth: %s\n", error.c_str());
        return kExitFailure;
    }
    if (!cl.iq.format &&
        !write_audio(cl.output_path, *cl.format, recording.samples, cl.synth.sample_rate, error)) {
        print_to(stderr, "korvad-synth: %s\n", error.c_str());
        return kExitFailure;
    }
    if (!cl.list_path.empty()) {
        const bool listed = cl.list_path == "-"
                                ? write_list(stdout, cl, frames, recording, total)
                                : save_atomically(cl.list_path, [&](std::FILE* f) {
                                      return write_list(f, cl, frames, recording, total);
                                  });
        if (!listed) {
            print_to(stderr, "korvad-synth: cannot write the list %s\n", cl.list_path.c_str());
            return kExitFailure;
        }
    }
    if (!cl.quiet && cl.iq.format) {
        print_to(stderr,
                 "korvad-synth: %zu block%s, %.2f s of IQ at %.0f samples/s written to %s\n",
                 frames.size(), frames.size() == 1 ? "" : "s", static_cast<double>(total) / rate,
                 cl.iq.options.iq_rate, cl.output_path.c_str());
    } else if (!cl.quiet) {
        print_to(stderr, "korvad-synth: %zu block%s, %.2f s (%zu samples at %d Hz) written to %s\n",
                 frames.size(), frames.size() == 1 ? "" : "s",
                 static_cast<double>(recording.samples.size()) / rate, recording.samples.size(),
                 cl.synth.sample_rate, cl.output_path.c_str());
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    CommandLine cl;
    const int status = parse_command_line(argc, argv, cl);
    if (status >= 0) return status;
    return run(cl);
}
