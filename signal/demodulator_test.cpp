#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "signal/demodulator.h"

namespace korvad {
namespace {

std::unique_ptr<Demodulator> fresh(int set = 0) {
    auto d = std::make_unique<Demodulator>();
    d->active = kThresholdSets[set];
    d->table.clear();
    return d;
}

// Feeds a cycle of length c as two half-cycles; the first call after start-up
// only fills pending_interval.
void prime(Demodulator& d) {
    ASSERT_EQ(classify(d, 4), 0);
}

void lock(Demodulator& d) {
    prime(d);
    for (int i = 0; i < 20; ++i) ASSERT_EQ(classify(d, 4), 0);  // cycles of 8
    ASSERT_EQ(d.preamble_count, 20);
}

TEST(Classifier, FirstTurningPointOnlyFillsThePendingInterval) {
    auto d = fresh();
    EXPECT_EQ(classify(*d, 7), 0);
    EXPECT_EQ(d->pending_interval, 7);
    EXPECT_EQ(d->preamble_count, 0);
    EXPECT_TRUE(d->searching);
}

TEST(Classifier, PreambleBoundsAreInclusive) {
    auto d = fresh();               // set 1: preamble 5..15
    prime(*d);                      // pending 4
    EXPECT_EQ(classify(*d, 1), 0);  // cycle 5
    EXPECT_EQ(d->preamble_count, 1);
    EXPECT_EQ(classify(*d, 14), 0);  // cycle 15
    EXPECT_EQ(d->preamble_count, 2);
    EXPECT_EQ(classify(*d, 2), 0);  // cycle 16
    EXPECT_EQ(d->preamble_count, 0);
    EXPECT_EQ(classify(*d, 2), 0);  // cycle 4
    EXPECT_EQ(d->preamble_count, 0);
}

TEST(Classifier, LockKeepsCountingAtLockMinAndSynchronisesAtSyncMin) {
    auto d = fresh();  // set 1: lock_min 5, sync_min 17
    lock(*d);
    // Exactly lock_min keeps counting; a bit 1 is emitted when the count before
    // the increment was odd (20 is even: no bit, 21 is odd: a bit).
    EXPECT_EQ(classify(*d, 1), 0);  // cycle 4 + 1 = 5
    EXPECT_EQ(d->preamble_count, 21);
    EXPECT_EQ(d->bit_count, 0);
    EXPECT_EQ(classify(*d, 4), 0);  // cycle 5
    EXPECT_EQ(d->preamble_count, 22);
    EXPECT_EQ(d->bit_count, 1);
    EXPECT_EQ(d->shift_register, 0x80);
    // Exactly sync_min: bit synchronisation, bits 0 then 1.
    EXPECT_EQ(classify(*d, 13), 0);  // cycle 17
    EXPECT_FALSE(d->searching);
    EXPECT_EQ(d->current_bit, 1);
    EXPECT_EQ(d->phase, 0);
    EXPECT_EQ(d->pending_interval, kNoInterval);
    EXPECT_EQ(d->bit_count, 3);
    EXPECT_EQ(d->shift_register, 0xA0);  // ..., 1, 0, 1 shifted in from the top
}

TEST(Classifier, BelowLockMinLosesThePreamble) {
    auto d = fresh();
    lock(*d);
    EXPECT_EQ(classify(*d, 0), 0);  // cycle 4 < lock_min 5
    EXPECT_EQ(d->preamble_count, 0);
    EXPECT_TRUE(d->searching);
}

std::unique_ptr<Demodulator> in_data(int set = 0) {
    auto d = fresh(set);
    lock(*d);
    classify(*d, 20);  // sync; pending none
    EXPECT_FALSE(d->searching);
    d->bit_count = 0;
    d->shift_register = 0;
    return d;
}

TEST(Classifier, DataRangeIsInclusiveAndAFrameEndsOutsideIt) {
    auto d = in_data();  // set 1: data 5..22, short p0 <= 13, p1 <= 9
    classify(*d, 2);
    EXPECT_EQ(classify(*d, 3), 0);  // cycle 5 = data_min: short in phase 0
    EXPECT_EQ(d->phase, 1);
    classify(*d, 11);
    EXPECT_EQ(classify(*d, 11), 0);  // cycle 22 = data_max: long in phase 1
    EXPECT_EQ(d->phase, 0);
    EXPECT_EQ(d->pending_interval, 11);
    EXPECT_EQ(classify(*d, 12), 1);  // cycle 23: frame end
    EXPECT_TRUE(d->searching);
    EXPECT_EQ(d->pending_interval, 11);  // kept as it was
    EXPECT_EQ(d->bit_count, 0);
}

TEST(Classifier, ShortAndLongAtThePhaseThresholds) {
    auto d = in_data();
    // Phase 0: 13 is short (repeat bit 1, phase 1, both halves consumed).
    classify(*d, 6);
    classify(*d, 7);
    EXPECT_EQ(d->phase, 1);
    EXPECT_EQ(d->current_bit, 1);
    EXPECT_EQ(d->pending_interval, kNoInterval);
    // Phase 1: 9 is short.
    classify(*d, 4);
    classify(*d, 5);
    EXPECT_EQ(d->phase, 1);
    EXPECT_EQ(d->current_bit, 1);
    // Phase 1: 10 is long: invert, back to phase 0, keep the second half.
    classify(*d, 4);
    classify(*d, 6);
    EXPECT_EQ(d->phase, 0);
    EXPECT_EQ(d->current_bit, 0);
    EXPECT_EQ(d->pending_interval, 6);
    // Phase 0: 6 + 8 = 14 is long.
    classify(*d, 8);
    EXPECT_EQ(d->current_bit, 1);
    EXPECT_EQ(d->phase, 0);
    // Bits so far: 1, 1, 0, 1 (least-significant first).
    EXPECT_EQ(d->bit_count, 4);
    EXPECT_EQ(d->shift_register, 0xB0);
}

void emit_char(Demodulator& d, std::uint8_t c) {
    for (int i = 0; i < 8; ++i) emit_bit(d, (c >> i) & 1);
}

TEST(Assembler, StarIsFoundOnTheNinthBitNotTheEighth) {
    auto d = fresh();
    emit_char(*d, '*');  // exactly 8 bits after start-up
    EXPECT_FALSE(d->char_sync);
    EXPECT_EQ(d->bit_count, 8);

    auto e = fresh();
    emit_bit(*e, 1);  // one bit in front: '*' completes on the ninth bit
    emit_char(*e, '*');
    EXPECT_TRUE(e->char_sync);
    EXPECT_EQ(e->frame_length, 1);
    EXPECT_EQ(e->frame_buffer[0], '*');
    EXPECT_EQ(e->bit_count, 0);

    // Later characters are taken 8 bits at a time.
    emit_char(*e, 0x16);
    emit_char(*e, 0x96);
    EXPECT_EQ(e->frame_length, 3);
    EXPECT_EQ(e->frame_buffer[1], 0x16);
    EXPECT_EQ(e->frame_buffer[2], 0x96);
}

TEST(Assembler, FrameIsCutAt4096BytesAndEndClearsIt) {
    auto d = fresh();
    d->char_sync = true;
    for (int i = 0; i < 5000; ++i) emit_char(*d, 'A');
    EXPECT_EQ(d->frame_length, kFrameBufferSize);
    frame_end(*d);  // too short an opening for a record: nothing decoded
    EXPECT_EQ(d->frame_length, 0);
    EXPECT_FALSE(d->char_sync);
    for (int i = 0; i < kFrameBufferSize; ++i) ASSERT_EQ(d->frame_buffer[i], 0);
    EXPECT_EQ(d->table.count, 0);
}

TEST(Detector, ConstantSamplesYieldNoTurningPoint) {
    auto d = fresh();
    std::vector<std::uint8_t> buf(kWorkBufferSize, 0);
    // Rising towards 128, then a zeroed stretch: one turn on its first sample.
    d->rising = true;
    d->previous_sample = 128;
    scan(*d, buf.data(), 0);
    EXPECT_EQ(d->scan_position, kWorkBufferSize);
    EXPECT_EQ(d->pending_interval, 0);  // the only turning point, after a run of 0
    EXPECT_EQ(d->run_length, static_cast<std::uint32_t>(kWorkBufferSize));
}

TEST(Detector, HysteresisIgnoresSmallMovesAgainstTheDirection) {
    // Rising ramp with a dip of 3: a turn with hysteresis 2, none with 3.
    std::vector<std::uint8_t> buf(kWorkBufferSize, 0);
    const std::uint8_t ramp[] = {130, 140, 150, 147, 160, 170};
    for (int n : {2, 3}) {
        auto e = fresh();
        e->rising = true;
        e->previous_sample = 128;
        std::fill(buf.begin(), buf.end(), 170);
        std::memcpy(buf.data(), ramp, sizeof ramp);
        scan(*e, buf.data(), n);
        // With n = 2 the dip and the climb after it are two turning points.
        if (n == 2) {
            EXPECT_NE(e->pending_interval, kNoInterval);
        } else {
            EXPECT_EQ(e->pending_interval, kNoInterval);
        }
    }
}

TEST(Detector, StopsOnAnOutOfRangeTurnAndDoesNotReportItTwice) {
    auto d = fresh();
    lock(*d);
    classify(*d, 20);  // data state, pending none
    // A square wave whose half-cycles are 30 samples: the second turn makes a
    // cycle of 60 > data_max, ending the frame on that sample.
    std::vector<std::uint8_t> buf(kWorkBufferSize);
    for (int i = 0; i < kWorkBufferSize; ++i) buf[i] = ((i / 30) % 2) ? 50 : 200;
    d->previous_sample = 200;
    d->rising = true;
    scan(*d, buf.data(), 0);
    int stop = d->scan_position;
    EXPECT_LT(stop, kWorkBufferSize);
    EXPECT_TRUE(d->searching);
    std::uint16_t pending = d->pending_interval;
    // Resuming on the same sample: it is now an ordinary sample.
    std::uint32_t run = d->run_length;
    std::vector<std::uint8_t> one(buf);
    for (int i = stop + 1; i < kWorkBufferSize; ++i) one[i] = one[stop];  // no later turns
    scan(*d, one.data(), 0);
    EXPECT_EQ(d->pending_interval, pending);
    EXPECT_EQ(d->run_length, run + static_cast<std::uint32_t>(kWorkBufferSize - stop));
}

TEST(PassLoop, SilenceRunsEveryScanAndHandsNothingOn) {
    auto d = fresh();
    std::vector<std::uint8_t> buf(kWorkBufferSize, 128);
    int calls = 0;
    PassSink sink{[](void* c, FrameTable&) { ++*static_cast<int*>(c); }, &calls};
    run_passes(*d, buf.data(), sink);
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(d->scan_position, kWorkBufferSize);
    for (std::uint8_t s : buf) ASSERT_EQ(s, 128);
}

TEST(SignalLevel, VisitsSeventeenOfEvery256Samples) {
    std::vector<std::uint8_t> buf(kWorkBufferSize, 228);  // |s - 128| = 100
    // 197 blocks of 256 start below 50239, 17 samples each: 3349 samples.
    // 100 * 3349 / ((50239 + 1) >> 4 = 3140) = 106.
    EXPECT_EQ(signal_level(buf.data(), 0, 50239), 106);
    // Only the visited samples count: a loud sample at 17 is skipped.
    buf.assign(kWorkBufferSize, 128);
    buf[17] = 255;
    buf[16] = 28;
    EXPECT_EQ(signal_level(buf.data(), 0, 50239), 0);  // 100 / 3140
    buf[16] = 0;
    for (int i = 256; i < 256 + 17; ++i) buf[i] = 0;  // 17 * 128 + 128 = 2304
    EXPECT_EQ(signal_level(buf.data(), 0, 50239), 0);
    EXPECT_EQ(signal_level(buf.data(), 0, 4095), 2304 / 256);
}

}  // namespace
}  // namespace korvad
