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
//
// With soft decisions the receiver goes further (repair_frame_soft), in the
// manner of a Chase decoder. Parity and validation point at the damaged
// characters (up to kMaxRepairChars of them), the reliabilities rank the bits
// inside each: a candidate flips one bit in every character that fails parity
// (the weakest first, then up to kBitAlternatives in all, each below
// kMaxRepairReliability) and at most one of the kBcsAlternatives weakest bits
// of the BCS, which no parity guards. Candidates are taken cheapest first, the cost being the sum
// of the reliabilities of the bits they flip. Before any reaches the block
// check, the cheap checks run: every character must hold odd parity once
// flipped, and the frame must pass validation -
//
//   mode         a letter, a digit or '@'
//   address      ".-0-9A-Z" (registration set)      ack   NAK, a letter or a digit
//   label        " ^;:_0-9A-Za-z" (label set, and   block "_0-9A-Z" (block id set)
//                lower case for uplinks' "_d")
//   STX          at 16 (or the ETX of a frame without text)
//   downlink     message number and flight id from "0-9A-Z "
//   text         printable ASCII, CR and LF; no ETX/ETB before end
//
// - and a flipped character that fails it drops every candidate that holds it.
// A character that holds parity but fails validation has two wrong bits: it
// takes part with the pairs of its weakest bits. One that holds parity and is
// valid may still hide two: when its two weakest bits are both below
// kSuspectReliability, the likeliest kMaxSuspects such characters take part
// with that pair flipped or not.
//
// A candidate that reaches the block check passes it by accident with a
// chance of 1 in 65536, so the number that do is what keeps wrong frames out:
// one frame spends at most kMaxCrcTrials block checks over all the ends it is
// tried at (RepairBudget), so a frame damaged beyond repair is taken for a
// wrong one with a chance of at most kMaxCrcTrials / 65536 (0.92 in 10^4).
// An end whose ETX/ETB is itself damaged is much more often a damaged text
// character than the real end, so it spends at most kDamagedEndCrcTrials of
// them, leaving the rest to the real end further on.

#include <cstdint>

namespace korvad {

enum class RepairOutcome {
    intact,        // checks as received
    one_bit,       // one bit flipped
    two_bits,      // two bits flipped (in two characters, unless repair_frame_soft)
    several_bits,  // three or more flipped (repair_frame_soft only)
    rejected,      // left as it was
};

// A bit's reliability is the magnitude of its soft decision over the signal
// amplitude: 1 for a clean bit, near 0 for one the noise nearly turned over.
inline constexpr float kMaxRepairReliability = 0.75f;

// Shortest frame with a header: '*' SYN SYN SOH, mode, 7 address characters,
// acknowledgement, 2 label characters, block id; then ETX at index 16.
inline constexpr int kMinFrameEnd = 16;

// bytes[0 .. end+2]; end is where the ETX/ETB is expected. reliability, when
// not null, holds 8 entries per byte (bit b of byte i at 8*i + b). On a repair
// the bytes are corrected in place; on rejection they are left unchanged.
[[nodiscard]] RepairOutcome repair_frame(std::uint8_t* bytes, int end, const float* reliability);

// Every character holds parity, the block check is 0 and the first ETX/ETB is
// at end: the frame as received, without any repair.
[[nodiscard]] bool checks_as_received(const std::uint8_t* bytes, int end);

// The search's bounds (see above).
inline constexpr int kMaxCrcTrials = 6;     // block checks one frame may spend on candidates
inline constexpr int kMaxRepairChars = 16;  // characters failing parity that the search takes on
inline constexpr int kBitAlternatives = 4;  // bits tried in each of them, weakest first
inline constexpr int kBcsAlternatives = 2;  // weakest BCS bits tried, one at most flipped
inline constexpr int kDamagedEndCrcTrials = 2;  // of them at an end that is not ETX/ETB as sent
// Characters that hold parity and are valid but whose two weakest bits are
// both below kSuspectReliability: the likeliest kMaxSuspects of them may have
// both bits flipped.
inline constexpr int kMaxSuspects = 4;
inline constexpr float kSuspectReliability = 0.3f;

// What one frame may still spend: made once per frame, handed to every
// repair_frame_soft of it.
struct RepairBudget {
    int crc_trials_left = kMaxCrcTrials;
};

struct RepairResult {
    RepairOutcome outcome = RepairOutcome::rejected;
    int bits = 0;        // bits flipped
    int crc_trials = 0;  // candidates (the frame as received among them) that met the block check
};

// As repair_frame, with the search above. reliability holds 8 entries per
// byte for bytes[0 .. end+2]. On a repair the bytes are corrected in place; on
// rejection they are left unchanged. Every block check spent is taken from
// budget; with none left the frame is rejected unchecked.
[[nodiscard]] RepairResult repair_frame_soft(std::uint8_t* bytes, int end, const float* reliability,
                                             RepairBudget& budget);

// The character at end may close a frame: its 7 bits are ETX or ETB, or one
// wrong bit away from ETX or ETB with its parity bit.
[[nodiscard]] bool may_end_frame(std::uint8_t byte);

// Odd parity over all eight bits, as every character is sent.
[[nodiscard]] inline bool parity_ok(std::uint8_t byte) {
    return __builtin_parity(byte) != 0;
}

}  // namespace korvad
