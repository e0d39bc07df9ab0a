#pragma once
// Checking, and where the evidence is strong enough repairing, one frame that
// the MSK receiver collected, before it goes to decode_frame.
//
// The bytes are as received, from the '*' of the bit sync on (parity in bit 7):
//
//   index  0    1   2   3    4 .. end-1                  end      end+1  end+2
//          '*'  SYN SYN SOH  mode .. text (odd parity)   ETX/ETB  BCS-lo BCS-hi
//
// The block check (crc_feed of signal/frame.h) covers bytes 4 .. end+2 and a
// good frame leaves it at 0. Every character 0 .. end carries odd parity over
// all eight bits. A character with one wrong bit fails its parity; the block
// check then tells which of its bits it was. So a frame is repaired only when
// parity and block check agree:
//
//   - no character fails parity and the block check is 0: intact;
//   - exactly one character fails parity, and flipping exactly one of its bits
//     makes the block check 0: one bit repaired;
//   - exactly two characters fail parity, and flipping one bit in each makes
//     the block check 0, and exactly one such pair exists: two bits repaired.
//
// Anything else is rejected: a block check that fails while every character
// is right (a wrong bit in the BCS, or two in one character), a block check
// that passes while a character fails parity, three or more characters with
// parity faults. With bit reliabilities (the receiver's soft decisions) a
// flipped bit must also be the least reliable of its character and below
// kMaxRepairReliability: noise that turned a bit over leaves it weak.
//
// After a repair the frame must still open with '*' SYN SYN SOH, and its first
// ETX or ETB must be at end.

#include <cstdint>

namespace korvad {

enum class RepairOutcome {
    intact,    // checks as received
    one_bit,   // one bit flipped
    two_bits,  // two bits flipped, in two characters
    rejected,  // left as it was
};

// A bit's reliability is the magnitude of its soft decision over the signal
// amplitude: 1 for a clean bit, near 0 for one the noise nearly turned over.
inline constexpr float kMaxRepairReliability = 0.5f;

// Shortest frame with a header: '*' SYN SYN SOH, mode, 7 address characters,
// acknowledgement, 2 label characters, block id; then ETX at index 16.
inline constexpr int kMinFrameEnd = 16;

// bytes[0 .. end+2]; end is where the ETX/ETB is expected. reliability, when
// not null, holds 8 entries per byte (bit b of byte i at 8*i + b). On a repair
// the bytes are corrected in place; on rejection they are left unchanged.
[[nodiscard]] RepairOutcome repair_frame(std::uint8_t* bytes, int end, const float* reliability);

// The character at end may close a frame: its 7 bits are ETX or ETB, or one
// wrong bit away from ETX or ETB with its parity bit.
[[nodiscard]] bool may_end_frame(std::uint8_t byte);

// Odd parity over all eight bits, as every character is sent.
[[nodiscard]] inline bool parity_ok(std::uint8_t byte) {
    return __builtin_parity(byte) != 0;
}

}  // namespace korvad
