#pragma once
// Sound capture: where the audio comes from.
//
// The decoder reads 8-bit unsigned mono samples (128 = zero level) at the
// configured rate. The source named by -d may be
//   - an OSS sound device (a character device): opened read-only and set to
//     8 bits, mono and the sample rate with SNDCTL_DSP_SETFMT, _STEREO, _SPEED;
//   - a recording (any regular file libsndfile reads, any rate and format, the
//     first channel), converted to the configured rate with libsoxr; a regular
//     file libsndfile does not recognise is taken as raw 8-bit unsigned samples
//     at the configured rate;
//   - a pipe or FIFO, or "-" for standard input: raw 8-bit unsigned samples at
//     the configured rate;
//   - a radio: "rtlsdr:INDEX_OR_SERIAL" or "iq:PATH" (signal/radio.h), whose
//     front end delivers the same 8-bit audio at the configured rate.
// Only a device (or a FIFO) can hang in open or fail to be set up; only a
// recording or a pipe can end.

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "signal/radio.h"

namespace korvad {

struct RecordingReader;  // libsndfile + libsoxr state of a recording
struct RadioReader;      // front end and IQ input of a radio source

struct SoundSource {
    enum class Kind { kNone, kDevice, kRecording, kPipe, kRadio };
    Kind kind = Kind::kNone;
    int fd = -1;          // device or pipe; -1 when closed
    int handle = 0;       // the number shown as "handle #%d" (0 = closed)
    int sample_rate = 0;  // samples per second delivered
    bool ended = false;   // a recording or pipe has delivered its last sample
    // Called about every half second while a read of a pipe waits for audio,
    // and whenever a signal interrupts a read: the decoder keeps its keyboard
    // and signals alive there. Returning false gives the read up (a stop).
    std::function<bool()> waiting;
    bool given_up = false;  // the last read stopped because `waiting` said so
    std::shared_ptr<RecordingReader> recording;
    std::shared_ptr<RadioReader> radio;
    RadioTuning tuning;  // what a radio source is opened with; kept across a close
    // A remark for the status window (a truncated IQ recording, a lost
    // dongle): whoever reads the source shows it once and clears it.
    std::string notice;
};

// Opens the source and sets a device up. A radio source that cannot be opened
// gets "error opening sounddevice '%s': " and the reason. Messages go to err: "error opening
// sounddevice '%s'\n" on failure (not when a signal interrupted the open: the
// caller's time-out says what happened); a device whose settings fail gets "Can't set
// ..." lines and is used as it is. Recordings and pipes skip the settings.
[[nodiscard]] bool open_sound_device(SoundSource& source, const char* path, int sample_rate,
                                     std::FILE* err);
void close_sound_device(SoundSource& source);

// Reads up to count samples. A device returns what one read() gives; a
// recording or pipe keeps reading until count samples or the end of the
// input. A read given up by `waiting` returns what it has. Returns the number
// read (0 at the end), or -1 on a read error.
[[nodiscard]] int read_samples(SoundSource& source, std::uint8_t* out, int count);

// Reads up to count bytes from source.fd (a pipe, FIFO or file), waiting in
// half-second steps with `waiting`, until count or the end (source.ended).
// Returns the count, or -1 on a read error before anything was read.
[[nodiscard]] int read_pipe(SoundSource& source, std::uint8_t* out, int count);

// A recording (also an IQ recording in a file) is read as fast as it is
// taken; devices, pipes and dongles pace themselves.
[[nodiscard]] bool is_recording(const SoundSource& source);

// Direct mode: moves the last 10240 samples of the 50240-sample work buffer
// to its start and reads 40000 new ones behind them. When a recording or pipe
// ends inside the block (or `waiting` gives it up), the rest is filled with
// silence (128), never with older samples. Returns false only when the read
// reported an error.
[[nodiscard]] bool read_block(SoundSource& source, std::uint8_t* work_buffer);

}  // namespace korvad
