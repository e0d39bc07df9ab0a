// The turning-point demodulator: detector, interval classifier, byte
// assembler and the per-buffer pass loop. No allocation, no floating point.

#include "signal/demodulator.h"

#include <cstdlib>
#include <cstring>

namespace korvad {

namespace {

inline __attribute__((always_inline)) void emit_bit_inline(Demodulator& d, int bit) {
    // Least-significant bit first: the first bit received ends up in bit 0.
    d.shift_register = static_cast<std::uint8_t>((d.shift_register >> 1) | (bit ? 0x80 : 0));
    if (d.char_sync) {
        if (++d.bit_count == 8) {
            if (d.frame_length < kFrameBufferSize)
                d.frame_buffer[d.frame_length++] = d.shift_register;
            d.shift_register = 0;
            d.bit_count = 0;
        }
        return;
    }
    // Hunting for '*': a sliding comparison after every bit, first made on the
    // ninth bit after a reset.
    if (++d.bit_count > 8) {
        d.bit_count = 8;
        if (d.shift_register == '*') {
            if (d.frame_length < kFrameBufferSize) d.frame_buffer[d.frame_length++] = '*';
            d.shift_register = 0;
            d.bit_count = 0;
            d.char_sync = true;
        }
    }
}

}  // namespace

void emit_bit(Demodulator& d, int bit) {
    emit_bit_inline(d, bit);
}

void frame_end(Demodulator& d) {
    d.searching = true;
    d.preamble_count = 0;
    d.shift_register = 0;
    d.bit_count = 0;
    d.ended_record = -1;
    if (d.char_sync) {
        const int before = d.table.count;
        decode_frame(d.table, d.frame_buffer, d.frame_length);
        if (d.table.count > before) {
            d.record_ends[before] = kRecordEndUnknown;
            d.record_collected[before] = d.frame_length;
            d.ended_record = before;
        }
    }
    d.char_sync = false;
    // Bytes past frame_length are always zero, so clearing the collected ones
    // empties the whole buffer.
    std::memset(d.frame_buffer, 0, static_cast<std::size_t>(d.frame_length));
    d.frame_length = 0;
}

namespace {

inline __attribute__((always_inline)) int classify_inline(Demodulator& d, std::uint16_t a) {
    if (d.pending_interval == kNoInterval) {
        d.pending_interval = a;
        return 0;
    }
    // One full cycle: the two latest half-cycles.
    const std::uint16_t c = static_cast<std::uint16_t>(d.pending_interval + a);
    const ThresholdSet& t = d.active;

    if (d.searching) {
        if (d.preamble_count < 20) {
            if (t.preamble_min <= c && c <= t.preamble_max) {
                ++d.preamble_count;
            } else {
                d.preamble_count = 0;
            }
            d.pending_interval = a;
        } else if (c < t.lock_min) {
            d.preamble_count = 0;
            d.pending_interval = a;
        } else if (c < t.sync_min) {
            if (d.preamble_count++ & 1) emit_bit_inline(d, 1);
            d.pending_interval = a;
        } else {
            // Bit synchronisation: the first long cycle after the preamble.
            d.searching = false;
            d.current_bit = 1;
            d.phase = 0;
            emit_bit_inline(d, 0);
            emit_bit_inline(d, 1);
            d.pending_interval = kNoInterval;
        }
        return 0;
    }

    if (c < t.data_min || c > t.data_max) {
        frame_end(d);
        return 1;  // pending_interval keeps its value
    }
    // A long cycle inverts the bit and keeps its second half-cycle for the next
    // pairing; a short one repeats the bit and consumes both halves.
    if (d.phase == 0) {
        if (c > t.short_max_p0) {
            d.current_bit = 1 - d.current_bit;
            emit_bit_inline(d, d.current_bit);
            d.pending_interval = a;
        } else {
            emit_bit_inline(d, d.current_bit);
            d.pending_interval = kNoInterval;
            d.phase = 1;
        }
    } else {
        if (c > t.short_max_p1) {
            d.current_bit = 1 - d.current_bit;
            emit_bit_inline(d, d.current_bit);
            d.phase = 0;
            d.pending_interval = a;
        } else {
            emit_bit_inline(d, d.current_bit);
            d.pending_interval = kNoInterval;
        }
    }
    return 0;
}

// After a scan from first (carried: inside a frame an earlier scan began)
// that ended a frame and added its record: notes where that frame ended, at
// the turn before the one the scan stopped on, however long the silence after
// it. A carried frame (this scan resumed where an earlier one stopped, or
// scans samples again) is placed only when that turn was the scan's first:
// then its run counted up to where the earlier scan stopped (stop_before).
void note_record_end(Demodulator& d, int first, bool carried, std::int64_t stop_before) {
    const std::int64_t p = d.scan_position, run = d.run_length, here = p - first;
    std::int64_t at = kRecordEndUnknown;
    if (!carried && run <= here) at = p - run;
    if (carried && run > here) at = stop_before - (run - here);
    d.record_ends[d.ended_record] = at > kRecordEndUnknown && at < kWorkBufferSize
                                        ? static_cast<std::int32_t>(at)
                                        : kRecordEndUnknown;
    d.ended_record = -1;
}

}  // namespace

int classify(Demodulator& d, std::uint16_t a) {
    return classify_inline(d, a);
}

void scan(Demodulator& d, const std::uint8_t* buffer, int n) {
    int p = d.scan_position;
    int previous = d.previous_sample;
    std::uint32_t run = d.run_length;
    bool rising = d.rising;
    while (p < kWorkBufferSize) {
        const int s = buffer[p];
        // A turn is a move against the current direction by more than n.
        // Rising: s < previous - n; falling: s > previous + n. The move
        // against the direction, made positive, must exceed n.
        const int against = rising ? previous - s : s - previous;
        const bool turn = against > n;
        if (!turn) {
            ++run;
        } else {
            rising = !rising;
            if (classify_inline(d, static_cast<std::uint16_t>(run & 0xFFFF))) {
                // Stop on this sample without taking it: with the direction
                // flipped, resuming here sees an ordinary sample.
                d.rising = rising;
                d.previous_sample = static_cast<std::uint8_t>(previous);
                d.run_length = run;
                d.scan_position = p;
                return;
            }
            run = 1;
        }
        previous = s;
        ++p;
    }
    d.rising = rising;
    d.previous_sample = static_cast<std::uint8_t>(previous);
    d.run_length = run;
    d.scan_position = p;
}

void run_passes(Demodulator& d, std::uint8_t* buffer, const PassSink& sink) {
    // Where the latest scan stopped, in this buffer's indices: the buffer
    // moved on by the new samples.
    std::int64_t stopped = d.scan_position - kNewSamples;
    d.scan_position = 0;  // once per buffer: the repeated history is scanned again
    int pass = 0;
    do {
        d.table.clear();
        int max_position = 0;
        ++pass;
        const int start = d.scan_position;
        bool good = false;
        for (int set = 0; set < kThresholdSetCount && !good; ++set) {
            for (int n = 5; n >= 0 && !good; --n) {
                d.active = kThresholdSets[set];
                d.scan_position = start;
                d.table.frame_good = false;
                const bool carried = d.char_sync;
                scan(d, buffer, n);
                if (d.ended_record >= 0) note_record_end(d, start, carried, stopped);
                stopped = d.scan_position;
                if (d.scan_position > max_position) max_position = d.scan_position;
                good = d.table.frame_good;
            }
        }
        if (d.table.message_pending) {
            if (sink.handle != nullptr) sink.handle(sink.context, d.table);
            // A zeroed stretch yields no turning point, so the repeated samples
            // at the start of the next buffer cannot give the same frame again.
            std::memset(buffer, 0, static_cast<std::size_t>(max_position));
        }
    } while (d.scan_position < kWorkBufferSize && pass <= 3);
}

int signal_level(const std::uint8_t* buffer, int first, int last) {
    long sum = 0;
    int i = first;
    while (i < last) {
        sum += std::abs(buffer[i] - 128);
        i += (i & 16) ? 240 : 1;  // 17 samples of every 256
    }
    const int divisor = (last - first + 1) >> 4;
    return divisor > 0 ? static_cast<int>(sum / divisor) : 0;
}

}  // namespace korvad
