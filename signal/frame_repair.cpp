// Parity and block check of a received frame, and the repair of one or two
// wrong bits where both agree on where they are.

#include "signal/frame_repair.h"

#include "signal/frame.h"

namespace korvad {
namespace {

constexpr std::uint8_t kEtxOnAir = 0x83;  // ETX with its parity bit
constexpr std::uint8_t kEtbOnAir = 0x97;  // ETB with its parity bit
constexpr int kCoveredFrom = 4;           // the block check starts at the mode character

bool is_end_char(std::uint8_t byte) {
    const std::uint8_t c = byte & 0x7F;
    return c == kEtx || c == kEtb;
}

// One step of the block-check register with a 0 data bit.
std::uint16_t step_zero(std::uint16_t s) {
    return static_cast<std::uint16_t>((s << 1) ^ ((s & 0x8000) != 0 ? 0x1021 : 0));
}

// The block check is linear and starts at 0, so a wrong bit adds the same
// value whatever the rest of the frame holds: a 1 fed at that bit, followed
// by as many 0 bits as the frame has after it. syndromes[b] is that value for
// bit b of byte `index`; total_bits counts the covered bits (bytes 4 .. end+2).
void byte_syndromes(int index, int total_bits, std::uint16_t syndromes[8]) {
    const int last_bit = 8 * (index - kCoveredFrom) + 7;  // bit 7 is fed last
    std::uint16_t s = 1;
    for (int n = total_bits - 1 - last_bit; n > 0; --n) s = step_zero(s);
    syndromes[7] = s;
    for (int b = 6; b >= 0; --b) syndromes[b] = step_zero(syndromes[b + 1]);
}

std::uint16_t block_check(const std::uint8_t* bytes, int end) {
    std::uint16_t crc = 0;
    for (int i = kCoveredFrom; i <= end + 2; ++i) crc = crc_feed(crc, bytes[i]);
    return crc;
}

// The frame opens right and its first ETX/ETB is at end.
bool shape_ok(const std::uint8_t* bytes, int end) {
    if (bytes[0] != '*' || bytes[1] != kSyn || bytes[2] != kSyn || bytes[3] != kSoh) return false;
    for (int i = kCoveredFrom; i < end; ++i) {
        if (is_end_char(bytes[i])) return false;
    }
    return is_end_char(bytes[end]);
}

// With soft decisions: the bit must be the weakest of its character, and weak.
bool plausible_flip(const float* reliability, int index, int bit) {
    if (reliability == nullptr) return true;
    const float* r = reliability + 8 * index;
    if (!(r[bit] < kMaxRepairReliability)) return false;
    for (int b = 0; b < 8; ++b) {
        if (b != bit && r[b] < r[bit]) return false;
    }
    return true;
}

void flip(std::uint8_t* bytes, int index, int bit) {
    bytes[index] = static_cast<std::uint8_t>(bytes[index] ^ (1u << bit));
}

}  // namespace

bool may_end_frame(std::uint8_t byte) {
    return is_end_char(byte) || __builtin_popcount(byte ^ kEtxOnAir) == 1 ||
           __builtin_popcount(byte ^ kEtbOnAir) == 1;
}

RepairOutcome repair_frame(std::uint8_t* bytes, int end, const float* reliability) {
    if (end < kMinFrameEnd || end + 2 >= kFrameBufferSize) return RepairOutcome::rejected;
    if (bytes[0] != '*' || bytes[1] != kSyn || bytes[2] != kSyn || bytes[3] != kSoh) {
        return RepairOutcome::rejected;
    }

    int faults[2] = {0, 0};
    int fault_count = 0;
    for (int i = kCoveredFrom; i <= end; ++i) {
        if (parity_ok(bytes[i])) continue;
        if (fault_count == 2) return RepairOutcome::rejected;  // three or more
        faults[fault_count++] = i;
    }
    const std::uint16_t crc = block_check(bytes, end);

    if (fault_count == 0) {
        // A failed check with every character right has no character to
        // point at: the wrong bits are in the BCS or paired in one character.
        if (crc != 0 || !shape_ok(bytes, end)) return RepairOutcome::rejected;
        return RepairOutcome::intact;
    }
    // A character is wrong although the check passes: more than one bit is
    // wrong and the check missed them.
    if (crc == 0) return RepairOutcome::rejected;

    const int total_bits = 8 * (end + 3 - kCoveredFrom);
    std::uint16_t first[8];
    byte_syndromes(faults[0], total_bits, first);

    if (fault_count == 1) {
        // Syndromes of distinct bits differ (frames are shorter than the
        // check's period of 32767 bits), so at most one bit matches.
        for (int b = 0; b < 8; ++b) {
            if (first[b] != crc) continue;
            if (!plausible_flip(reliability, faults[0], b)) return RepairOutcome::rejected;
            flip(bytes, faults[0], b);
            if (block_check(bytes, end) != 0 || !shape_ok(bytes, end)) {
                flip(bytes, faults[0], b);
                return RepairOutcome::rejected;
            }
            return RepairOutcome::one_bit;
        }
        return RepairOutcome::rejected;
    }

    std::uint16_t second[8];
    byte_syndromes(faults[1], total_bits, second);
    int matches = 0, bit_a = 0, bit_b = 0;
    for (int a = 0; a < 8; ++a) {
        for (int b = 0; b < 8; ++b) {
            if ((first[a] ^ second[b]) != crc) continue;
            ++matches;
            bit_a = a;
            bit_b = b;
        }
    }
    if (matches != 1) return RepairOutcome::rejected;
    if (!plausible_flip(reliability, faults[0], bit_a) ||
        !plausible_flip(reliability, faults[1], bit_b)) {
        return RepairOutcome::rejected;
    }
    flip(bytes, faults[0], bit_a);
    flip(bytes, faults[1], bit_b);
    if (block_check(bytes, end) != 0 || !shape_ok(bytes, end)) {
        flip(bytes, faults[0], bit_a);
        flip(bytes, faults[1], bit_b);
        return RepairOutcome::rejected;
    }
    return RepairOutcome::two_bits;
}

}  // namespace korvad
