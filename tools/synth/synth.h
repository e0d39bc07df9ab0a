#pragma once
// korvad_synth: ACARS test audio as VHF transmitters send it, heard through a
// scanner's audio output and recorded by an 8-bit sound card.
//
// One block on the air (every character 7 bits plus odd parity in bit 7, sent
// least-significant bit first; the two BCS bytes are 8 plain bits):
//
//   pre-key     bit sync   char sync  header
//   1 1 1 .. 1  '+' '*'    SYN SYN    SOH mode address(7) TAK label(2) block-id
//
//   STX [sequence(4) flight(6)] text  ETX|ETB  BCS-low BCS-high  DEL
//        downlinks only
//
// BCS: CRC-16, polynomial 0x1021 in its reflected form 0x8408, register
// starting at 0, no final inversion, over the bytes as sent (parity bits
// included) from the mode character through ETX/ETB; low byte first.
//
// Modulation: phase-continuous MSK at 2400 bit/s. A bit equal to the one before
// it is one full cycle of 2400 Hz; a changed bit is half a cycle of 1200 Hz.
// Each bit so advances the phase by 2*pi or pi: every bit boundary falls on a
// zero crossing, and the block starts and ends at zero level.
//
//   same bit: one 2400 Hz cycle       changed bit: half a 1200 Hz cycle
//
//       __                                  ______
//      /  \    up                          /      \    up or down, as
//   --+----\----+--                     --+--------+--    the phase
//     |     \__/ |   then down              |        |      before it
//     |<- bit -->|                         |<-bit-->|      left it
//
// Samples: unsigned 8 bits, 128 the zero level, full scale 127 steps either way.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <numbers>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvad::synth {

inline constexpr double kBitRate = 2400.0;        // bit/s
inline constexpr double kFullScale = 127.0;       // sample steps from 128 to full scale
inline constexpr int kDefaultSampleRate = 19500;  // samples per second
inline constexpr int kMinSampleRate = 8000;
inline constexpr int kMaxSampleRate = 192000;
inline constexpr int kDefaultPrekeyBits = 128;       // 53 ms of all-one bits
inline constexpr int kMaxPrekeyBits = 24000;         // 10 s
inline constexpr std::size_t kMaxTextChars = 3800;   // keeps a block under 4096 bytes on the air
inline constexpr std::size_t kAcarsTextChars = 220;  // what one ACARS block carries at most
inline constexpr std::int64_t kMaxSamples = 500'000'000;
inline constexpr double kMaxClockPpm = 50000.0;   // 5 %
inline constexpr double kNoiseBandLowHz = 300.0;  // the band in which the SNR is measured
inline constexpr double kNoiseBandHighHz = 3400.0;
inline constexpr double kHumHz = 50.0;

inline constexpr std::uint8_t kNak = 0x15;

enum class FrameKind { downlink, uplink, squitter };
enum class BlockEnd { etx, etb };

// One ACARS block as its sender composed it. Characters are 7-bit (0..127).
struct Frame {
    FrameKind kind = FrameKind::downlink;
    char mode = '2';
    std::string registration;            // up to 7 characters, sent right-aligned after leading '.'
    char ack = static_cast<char>(kNak);  // technical acknowledgement
    std::string label;                   // 2 characters
    char block_id = '0';
    std::string sequence;  // 4 characters; downlinks only (empty otherwise)
    std::string flight;    // 6 characters; downlinks only (empty otherwise)
    std::string text;      // no ETX or ETB inside
    BlockEnd end = BlockEnd::etx;
    bool bad_bcs = false;  // sent with its block check sequence wrong (one bit turned)

    bool operator==(const Frame&) const = default;
};

// Empty when the frame can be sent, else what is wrong with it.
[[nodiscard]] std::string check_frame(const Frame& frame);

// The 7-bit character c with its odd-parity bit in bit 7.
[[nodiscard]] std::uint8_t with_odd_parity(std::uint8_t c);

// CRC-16 0x8408 (reflected 0x1021), initial 0, no final inversion.
[[nodiscard]] std::uint16_t block_check_sequence(const std::uint8_t* data, std::size_t length);

// The bytes a receiver collects from the '*' of the bit-sync sequence on:
// '*' SYN SYN SOH .. ETX/ETB BCS(2) DEL, parity bits included. Empty when
// check_frame finds a fault.
[[nodiscard]] std::vector<std::uint8_t> frame_air_bytes(const Frame& frame);

// Every bit on the air in the order sent (0 or 1 each): prekey_bits ones, '+',
// then frame_air_bytes least-significant bit first. Empty on a faulty frame.
[[nodiscard]] std::vector<std::uint8_t> frame_bits(const Frame& frame, int prekey_bits);

struct SynthOptions {
    int sample_rate = kDefaultSampleRate;  // nominal samples per second
    int prekey_bits = kDefaultPrekeyBits;  // all-one bits before '+'
    double level = 0.5;            // peak amplitude of the MSK signal, fraction of full scale
    double dc_offset = 0.0;        // fraction of full scale, added at the sound card
    std::optional<double> snr_db;  // white Gaussian noise relative to level; none: no noise
    bool band_pass = false;        // 300-3000 Hz like a scanner's audio, on signal + noise
    double clock_ppm = 0.0;        // the sound card samples this much too fast (+) or slow (-)
    double hum = 0.0;              // 50 Hz hum amplitude, fraction of full scale
    std::uint64_t seed = 1;        // noise (and random placement) come from it alone

    // Slow fading of the signal (not of the noise): its amplitude swings
    // between fade_low and fade_high times `level`, fade_hz times a second,
    // starting at fade_high at sample 0. The SNR is that of the signal before
    // it fades (`level`): the troughs lie 20 log10(fade_low) dB below it;
    // with average_snr it is that of the faded signal's mean power instead
    // (mean_fade_power times the unfaded power), as a fading channel's SNR is
    // usually given.
    double fade_low = 1.0;
    double fade_high = 1.0;
    double fade_hz = 0.0;  // 0: no fading
    bool average_snr = false;
    // The audio path of an AM airband receiver (see AirbandAudio in channel.h)
    // on signal and noise alike: high-pass at 250 Hz, de-emphasis, an elliptic
    // low-pass at 2700 Hz with the group delay such a filter has at its edge.
    bool airband = false;
    // The receiver's AGC at key-up: its gain is still that of the empty channel,
    // agc_pump times too high (0.5: +50 %), and settles within kAgcSettleSeconds.
    double agc_pump = 0.0;
    // The transmitter's tones are not quite steady: each block's tones move by
    // drift_hz over the block, from -drift_hz to +drift_hz or back (by the seed).
    double drift_hz = 0.0;
};

// The fade's factor on the signal's amplitude, seconds into the recording:
// m + s cos(wt), m and s the middle and half the swing of fade_low ..
// fade_high; fade_high throughout without fading.
[[nodiscard]] inline double fade_factor(const SynthOptions& o, double seconds) {
    if (o.fade_hz <= 0.0) return o.fade_high;
    const double m = (o.fade_high + o.fade_low) / 2.0, s = (o.fade_high - o.fade_low) / 2.0;
    return m + s * std::cos(2.0 * std::numbers::pi * o.fade_hz * seconds);
}

// The mean over a fade's cycle of the signal's power, as a share of its
// power unfaded: m + s cos(wt) squared averages to m^2 + s^2 / 2.
[[nodiscard]] inline double mean_fade_power(double fade_low, double fade_high) {
    const double m = (fade_high + fade_low) / 2.0, s = (fade_high - fade_low) / 2.0;
    return m * m + s * s / 2.0;
}

inline constexpr double kAgcSettleSeconds = 0.025;  // time constant of the AGC's settling
inline constexpr double kMaxFadeHz = 20.0;
inline constexpr double kMaxDriftHz = 50.0;
inline constexpr double kMaxAgcPump = 4.0;

// Empty when the options are usable, else what is wrong.
[[nodiscard]] std::string check_options(const SynthOptions& options);

// Where one block goes in the recording.
struct Placement {
    std::int64_t start = 0;   // first sample of the pre-key
    double sub_sample = 0.0;  // key-up came this fraction of a sample before `start`, [0, 1)
};

// What was sent, for comparing with what a receiver decoded.
struct SentFrame {
    std::int64_t start_sample = 0;    // first sample of the pre-key
    std::int64_t sync_sample = 0;     // first sample of the '*' character
    std::int64_t end_sample = 0;      // one past the last sample of the DEL
    std::vector<std::uint8_t> bytes;  // frame_air_bytes: '*' .. DEL as collected
};

struct Recording {
    std::vector<std::uint8_t> samples;
    std::vector<SentFrame> frames;  // in the order of the frames given
};

// Samples a block spans (key-up to the end of the DEL) at the options' rate and
// clock error, for sub_sample 0: the room a layout must give it. 0 for a faulty
// frame.
[[nodiscard]] std::int64_t frame_span_samples(const Frame& frame, const SynthOptions& options);

// Renders frames[i] at placements[i] into a recording of total_samples samples
// (0: just long enough for the last block). Blocks that overlap add up, as two
// transmitters on one channel do. Noise and hum cover the whole recording.
// Returns false with a reason in error for a faulty frame, bad options, a
// block outside the recording or a recording over kMaxSamples.
[[nodiscard]] bool synthesize(const std::vector<Frame>& frames,
                              const std::vector<Placement>& placements, std::int64_t total_samples,
                              const SynthOptions& options, Recording& out, std::string& error);

// Blocks one after the other.
struct SequentialLayout {
    std::int64_t first_sample = 0;  // earliest start of the first block
    std::int64_t gap_samples = 0;   // at least this much between a block's end and the next start
    // When > 0, no block straddles origin + k * block_samples: a block that
    // would is moved to start margin samples after that boundary. margin also
    // keeps that distance before the next boundary after the block's end.
    std::int64_t block_samples = 0;
    std::int64_t block_origin = 0;
    std::int64_t margin = 0;
};

// Placements for the frames in order. Returns false (with error) for a faulty
// frame or a block that cannot fit between two boundaries.
[[nodiscard]] bool layout_sequential(const std::vector<Frame>& frames, const SynthOptions& options,
                                     const SequentialLayout& layout, std::vector<Placement>& out,
                                     std::string& error);

// Random positions (and sub-sample offsets) within total_samples, in the order
// of the frames, at least min_gap samples apart and from both ends. Drawn from
// seed alone. Returns false (with error) when they do not fit.
[[nodiscard]] bool layout_random(const std::vector<Frame>& frames, const SynthOptions& options,
                                 std::int64_t total_samples, std::int64_t min_gap,
                                 std::uint64_t seed, std::vector<Placement>& out,
                                 std::string& error);

// count realistic, varied blocks drawn from seed alone: downlinks, uplinks and
// squitters, common labels, registrations and flight ids, texts from empty to
// 220 characters with CR LF line breaks. Every one passes check_frame.
[[nodiscard]] std::vector<Frame> generate_frames(std::uint64_t seed, int count);

// ---- Frame lines --------------------------------------------------------
//
// One block per line, '#' lines and blank lines ignored:
//
//   downlink mode=2 reg=.N123AB ack=NAK label=H1 block=4 seq=M01A flight=BA0123 text=...
//   uplink reg=.G-EUPT label=_d block=A ack=4 end=ETB
//   squitter text=02XAORDKORD14159N08754WV136975/
//
// The kind comes first, then key=value fields separated by blanks; text= must
// come last and takes the rest of the line as it stands (spaces included).
// Defaults: mode=2, ack=NAK, end=ETX, empty text; a squitter's reg defaults to
// "......." and its label to SQ, its block to 0. reg may be shorter than 7: it
// is padded with leading '.'. Escapes in every value: \r \n \t \\ and \xHH
// (HH hexadecimal, 00 to 7F); a space outside the text is written \x20. The
// ack value NAK stands for \x15; end is ETX or ETB.

struct ParsedFrames {
    std::vector<Frame> frames;
    int error_line = 0;  // 1-based line of the first fault
    std::string error;   // empty on success

    [[nodiscard]] bool ok() const { return error.empty(); }
};

inline constexpr std::size_t kMaxFrameLines = 1'000'000;

[[nodiscard]] ParsedFrames parse_frame_lines(std::string_view text);

// The frame as one line (no line end) that parse_frame_lines reads back to the
// same frame.
[[nodiscard]] std::string format_frame_line(const Frame& frame);

// ---- Audio files --------------------------------------------------------

enum class AudioFormat { raw, wav };

// By the file name's extension: ".raw" or ".u8" raw, ".wav" WAV; none otherwise.
[[nodiscard]] std::optional<AudioFormat> audio_format_for(std::string_view path);

// Raw: the samples as they are. WAV: 8-bit unsigned PCM, mono, at sample_rate.
// Saved atomically (a temporary file renamed over the target).
[[nodiscard]] bool write_audio(const std::string& path, AudioFormat format,
                               const std::vector<std::uint8_t>& samples, int sample_rate,
                               std::string& error);

}  // namespace korvad::synth
