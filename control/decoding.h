#pragma once
// Decoding one buffer: the MSK receiver over its new samples, the pass loop
// over the whole work buffer, both into message processing with one message
// per transmission (signal/frame_dedup.h), and the passes held for the
// receiver's next buffer.

namespace korvad {

struct Decoder;

// Decodes the buffer in the work buffer: the receiver first (it takes the new
// samples before the pass loop zeroes any), then the passes held from the
// previous buffer, then the pass loop. Message options and time are set.
void decode_buffer(Decoder& d);

// Processes the held passes that are not damaged copies of frames the
// receiver has recovered since.
void release_held_passes(Decoder& d);

// Every way out (end of input, Q, SIGINT) and every new receiver: lets the
// receiver finish the frames still in it with a moment of silence, then
// releases the held passes, so nothing decoded is lost.
void finish_decoding(Decoder& d);

// (Re)starts the second demodulator for the rate the audio now has, after
// finishing what the old one holds.
void start_msk_receiver(Decoder& d, int sample_rate);

}  // namespace korvad
