// Check and repair of received frames: what is repaired, what is refused, and
// that no corruption ever turns into a different frame.

#include "signal/frame_repair.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "signal/frame.h"
#include "tools/synth/random.h"
#include "tools/synth/synth.h"

namespace korvad {
namespace {

// A downlink written out by hand: '*' SYN SYN SOH, mode 2, .N123AB, NAK,
// label H1, block 4, STX, M01A, BA0123, "HELLO", ETX, then its BCS. Every
// character carries odd parity in bit 7.
const std::vector<std::uint8_t> kHandFrame = {0x2A, 0x16, 0x16, 0x01, 0x32, 0xAE, 0xCE, 0x31, 0x32,
                                              0xB3, 0xC1, 0xC2, 0x15, 0xC8, 0x31, 0x34, 0x02, 0xCD,
                                              0xB0, 0x31, 0xC1, 0xC2, 0xC1, 0xB0, 0x31, 0x32, 0xB3,
                                              0xC8, 0x45, 0x4C, 0x4C, 0x4F, 0x83, 0xDE, 0xE9};
constexpr int kHandEnd = 32;  // the ETX

struct TestFrame {
    std::vector<std::uint8_t> bytes;  // '*' .. BCS
    int end = 0;                      // index of ETX/ETB
};

// Frames from the synthesizer, whose block check is its own (reflected)
// implementation; the DEL after the BCS is left off.
std::vector<TestFrame> generated_frames(std::uint64_t seed, int count) {
    std::vector<TestFrame> out;
    for (const synth::Frame& f : synth::generate_frames(seed, count)) {
        TestFrame t;
        t.bytes = synth::frame_air_bytes(f);
        t.bytes.pop_back();
        t.end = static_cast<int>(t.bytes.size()) - 3;
        out.push_back(t);
    }
    return out;
}

void flip(std::vector<std::uint8_t>& bytes, int bit) {
    bytes[bit / 8] = static_cast<std::uint8_t>(bytes[bit / 8] ^ (1u << (bit % 8)));
}

// Reliabilities of a noisy reception: sure bits, and the given weak ones.
std::vector<float> sure_bits(std::size_t bytes, std::initializer_list<int> weak = {},
                             float weak_value = 0.1f) {
    std::vector<float> r(8 * bytes, 1.0f);
    for (int bit : weak) r[static_cast<std::size_t>(bit)] = weak_value;
    return r;
}

TEST(FrameRepair, AFrameAsSentIsIntactAndOnlyItsCharactersAreRepaired) {
    std::vector<std::uint8_t> b = kHandFrame;
    EXPECT_EQ(repair_frame(b.data(), kHandEnd, nullptr), RepairOutcome::intact);
    EXPECT_EQ(b, kHandFrame);
    // Not where its first ETX is, or too short to hold a header.
    EXPECT_EQ(repair_frame(b.data(), kHandEnd - 1, nullptr), RepairOutcome::rejected);
    EXPECT_EQ(repair_frame(b.data(), kMinFrameEnd - 1, nullptr), RepairOutcome::rejected);
    // A wrong bit in the opening (not covered by the block check) or in the
    // BCS (no parity fault points at it: it cannot be told from a character
    // with two wrong bits) is not repaired, and the bytes stay as received.
    for (int bit = 0; bit < 8 * (kHandEnd + 3); ++bit) {
        if (bit == 32) bit = 8 * (kHandEnd + 1);
        std::vector<std::uint8_t> c = kHandFrame;
        flip(c, bit);
        const std::vector<std::uint8_t> received = c;
        EXPECT_EQ(repair_frame(c.data(), kHandEnd, nullptr), RepairOutcome::rejected) << bit;
        EXPECT_EQ(c, received);
    }
}

TEST(FrameRepair, EveryOneBitErrorInACharacterIsRepaired) {
    std::vector<TestFrame> frames = generated_frames(2, 6);
    frames.push_back({kHandFrame, kHandEnd});
    for (const TestFrame& t : frames) {
        for (int bit = 8 * 4; bit < 8 * (t.end + 1); ++bit) {
            std::vector<std::uint8_t> b = t.bytes;
            flip(b, bit);
            ASSERT_EQ(repair_frame(b.data(), t.end, nullptr), RepairOutcome::one_bit) << bit;
            ASSERT_EQ(b, t.bytes) << bit;
        }
    }
}

TEST(FrameRepair, AWrongBitInTheEtxOrAFalseEtxIsRepaired) {
    // The ETX itself hit: the character at the end is one bit from ETX.
    for (int b = 0; b < 8; ++b) {
        std::vector<std::uint8_t> c = kHandFrame;
        flip(c, 8 * kHandEnd + b);
        EXPECT_TRUE(may_end_frame(c[kHandEnd]));
        EXPECT_EQ(repair_frame(c.data(), kHandEnd, nullptr), RepairOutcome::one_bit);
        EXPECT_EQ(c, kHandFrame);
    }
    // 'C' (0x43, odd parity as it is) with bit 6 wrong reads as ETX (0x03, a
    // parity fault) in the middle of the text. Taken as the end it does not
    // check; at the real end the false ETX is the one fault and is repaired.
    synth::Frame f = synth::generate_frames(7, 1).front();
    f.text = "ABC DEF";
    std::vector<std::uint8_t> sent = synth::frame_air_bytes(f);
    sent.pop_back();  // the DEL
    const int end = static_cast<int>(sent.size()) - 3;
    const int false_end = end - 5;  // the 'C'
    ASSERT_EQ(sent[false_end], 'C');
    std::vector<std::uint8_t> c = sent;
    flip(c, 8 * false_end + 6);
    EXPECT_TRUE(may_end_frame(c[false_end]));
    const std::vector<std::uint8_t> received = c;
    EXPECT_EQ(repair_frame(c.data(), false_end, nullptr), RepairOutcome::rejected);
    EXPECT_EQ(c, received);
    EXPECT_EQ(repair_frame(c.data(), end, nullptr), RepairOutcome::one_bit);
    EXPECT_EQ(c, sent);

    EXPECT_TRUE(may_end_frame(0x83));
    EXPECT_TRUE(may_end_frame(0x97));
    EXPECT_TRUE(may_end_frame(0x03));  // ETX with its parity bit wrong
    EXPECT_TRUE(may_end_frame(0x93));  // ETB 0x97 with bit 2 wrong
    EXPECT_FALSE(may_end_frame(0x41));
    EXPECT_FALSE(may_end_frame(0x80));
}

TEST(FrameRepair, TwoBitErrorsInTwoCharactersAreRepairedWhenOnePairFits) {
    synth::Random random(3);
    int repaired = 0, trials = 0;
    for (const TestFrame& t : generated_frames(3, 40)) {
        for (int n = 0; n < 50; ++n) {
            const int chars = t.end - 3;  // characters 4 .. end
            const int a = 4 + random.between(0, chars - 1);
            int b = 4 + random.between(0, chars - 1);
            if (a == b) continue;
            std::vector<std::uint8_t> c = t.bytes;
            flip(c, 8 * a + random.between(0, 7));
            flip(c, 8 * b + random.between(0, 7));
            const RepairOutcome o = repair_frame(c.data(), t.end, nullptr);
            ++trials;
            if (o == RepairOutcome::two_bits) {
                ++repaired;
                ASSERT_EQ(c, t.bytes);
            } else {
                ASSERT_EQ(o, RepairOutcome::rejected);
            }
        }
    }
    // A pair is refused only when another pair of the two characters gives
    // the same block check.
    EXPECT_GT(repaired, trials * 95 / 100) << repaired << " of " << trials;
}

TEST(FrameRepair, TwoBitErrorsInOneCharacterAreNotRepaired) {
    for (int index = 4; index <= kHandEnd; ++index) {
        for (int a = 0; a < 8; ++a) {
            for (int b = a + 1; b < 8; ++b) {
                std::vector<std::uint8_t> c = kHandFrame;
                flip(c, 8 * index + a);
                flip(c, 8 * index + b);
                EXPECT_EQ(repair_frame(c.data(), kHandEnd, nullptr), RepairOutcome::rejected);
            }
        }
    }
}

TEST(FrameRepair, ThreeBitErrorsAreNeverRepaired) {
    // Flipping one or two bits cannot undo three, so any repair would be a
    // wrong frame. Random triples over the characters and the BCS.
    synth::Random random(4);
    for (const TestFrame& t : generated_frames(4, 40)) {
        const int bits = 8 * (t.end + 3 - 4);
        for (int n = 0; n < 300; ++n) {
            std::vector<std::uint8_t> c = t.bytes;
            int chosen[3];
            for (int k = 0; k < 3; ++k) {
                bool fresh;
                do {
                    chosen[k] = 32 + random.between(0, bits - 1);
                    fresh = true;
                    for (int j = 0; j < k; ++j) fresh = fresh && chosen[j] != chosen[k];
                } while (!fresh);
                flip(c, chosen[k]);
            }
            ASSERT_EQ(repair_frame(c.data(), t.end, nullptr), RepairOutcome::rejected);
        }
    }
}

// Bit positions (from the frame start) of four bits, in two characters, that
// the block check cannot see together: flipping all four leaves it unchanged.
// Such quadruples exist at particular distances; the first is searched for.
bool find_blind_quadruple(const TestFrame& t, int out[4]) {
    // A bit's effect on the check: a 1 fed there, then zeros to the end.
    const int total = 8 * (t.end + 3 - 4);
    auto effect = [total](int bit_from_four) {
        std::uint16_t s = 1;
        for (int n = total - 1 - bit_from_four; n > 0; --n) {
            s = static_cast<std::uint16_t>((s << 1) ^ ((s & 0x8000) ? 0x1021 : 0));
        }
        return s;
    };
    std::vector<std::uint16_t> e(static_cast<std::size_t>(total));
    for (int p = 0; p < total; ++p) e[static_cast<std::size_t>(p)] = effect(p);
    for (int a = 0; a < t.end - 3; ++a) {
        for (int b = a + 1; b < t.end - 3; ++b) {
            for (int a1 = 0; a1 < 8; ++a1)
                for (int a2 = a1 + 1; a2 < 8; ++a2)
                    for (int b1 = 0; b1 < 8; ++b1)
                        for (int b2 = b1 + 1; b2 < 8; ++b2) {
                            const auto v =
                                e[8 * a + a1] ^ e[8 * a + a2] ^ e[8 * b + b1] ^ e[8 * b + b2];
                            if (v != 0) continue;
                            out[0] = 32 + 8 * a + a1;
                            out[1] = 32 + 8 * a + a2;
                            out[2] = 32 + 8 * b + b1;
                            out[3] = 32 + 8 * b + b2;
                            return true;
                        }
        }
    }
    return false;
}

TEST(FrameRepair, SoftDecisionsGuardAgainstThreeErrorsThatLookLikeOne) {
    // A long frame holds four bits in two characters that the block check
    // cannot see together. Three of them wrong look to parity and block check
    // exactly like one wrong bit at the fourth: without soft decisions the
    // repair would flip a right bit and make a wrong frame. The three bits the
    // noise turned are weak, the fourth is sure: the repair is refused.
    synth::Frame f = synth::generate_frames(5, 1).front();
    f.kind = synth::FrameKind::uplink;
    f.sequence.clear();
    f.flight.clear();
    f.text.assign(200, 'A');
    for (std::size_t i = 0; i < f.text.size(); ++i) f.text[i] = static_cast<char>('A' + i % 26);
    TestFrame t;
    t.bytes = synth::frame_air_bytes(f);
    ASSERT_FALSE(t.bytes.empty());
    t.bytes.pop_back();
    t.end = static_cast<int>(t.bytes.size()) - 3;
    int q[4];
    ASSERT_TRUE(find_blind_quadruple(t, q));

    std::vector<std::uint8_t> c = t.bytes;
    flip(c, q[0]);
    flip(c, q[1]);
    flip(c, q[2]);
    std::vector<std::uint8_t> unguarded = c;
    EXPECT_EQ(repair_frame(unguarded.data(), t.end, nullptr), RepairOutcome::one_bit);
    EXPECT_NE(unguarded, t.bytes);  // the danger is real

    const std::vector<float> soft = sure_bits(c.size(), {q[0], q[1], q[2]});
    std::vector<std::uint8_t> guarded = c;
    EXPECT_EQ(repair_frame(guarded.data(), t.end, soft.data()), RepairOutcome::rejected);
    EXPECT_EQ(guarded, c);
}

TEST(FrameRepair, WithSoftDecisionsTheFlippedBitMustBeTheWeakestOfItsCharacter) {
    const int bit = 8 * 20 + 3;
    std::vector<std::uint8_t> c = kHandFrame;
    flip(c, bit);
    {
        std::vector<std::uint8_t> b = c;
        const std::vector<float> soft = sure_bits(b.size(), {bit});
        EXPECT_EQ(repair_frame(b.data(), kHandEnd, soft.data()), RepairOutcome::one_bit);
        EXPECT_EQ(b, kHandFrame);
    }
    {
        // Another bit of the character is weaker.
        std::vector<std::uint8_t> b = c;
        std::vector<float> soft = sure_bits(b.size(), {bit});
        soft[8 * 20 + 5] = 0.05f;
        EXPECT_EQ(repair_frame(b.data(), kHandEnd, soft.data()), RepairOutcome::rejected);
        EXPECT_EQ(b, c);
    }
    {
        // The bit was received sure: the transmitter sent it so.
        std::vector<std::uint8_t> b = c;
        const std::vector<float> soft = sure_bits(b.size(), {bit}, kMaxRepairReliability);
        EXPECT_EQ(repair_frame(b.data(), kHandEnd, soft.data()), RepairOutcome::rejected);
    }
}

TEST(FrameRepair, APassingCheckWithAParityFaultIsRefused) {
    // One wrong bit in a character, and a BCS that matches the wrong text:
    // parity says the character is wrong, the check says all is well.
    std::vector<std::uint8_t> c = kHandFrame;
    flip(c, 8 * 20 + 1);
    const std::uint16_t bcs = synth::block_check_sequence(c.data() + 4, kHandEnd - 3);
    c[kHandEnd + 1] = static_cast<std::uint8_t>(bcs & 0xFF);
    c[kHandEnd + 2] = static_cast<std::uint8_t>(bcs >> 8);
    EXPECT_EQ(repair_frame(c.data(), kHandEnd, nullptr), RepairOutcome::rejected);
}

TEST(FrameRepair, RandomDamageNeverGivesAWrongFrame) {
    // Scattered wrong bits (weak, as noise leaves them) and bursts (a lost
    // bit clock), with soft decisions: the frame comes back exactly or not at all.
    synth::Random random(6);
    int repaired = 0;
    for (const TestFrame& t : generated_frames(6, 60)) {
        const int bits = 8 * (t.end + 3);
        for (int n = 0; n < 200; ++n) {
            std::vector<std::uint8_t> c = t.bytes;
            std::vector<float> soft(8 * c.size());
            for (float& s : soft) s = static_cast<float>(0.2 + random.uniform());
            const int wrong = random.between(1, 8);
            for (int k = 0; k < wrong; ++k) {
                const int bit = 32 + random.between(0, bits - 33);
                flip(c, bit);
                soft[static_cast<std::size_t>(bit)] = static_cast<float>(0.3 * random.uniform());
            }
            if (random.chance(0.2)) {
                const int from = 32 + random.between(0, bits - 33);
                const int length = random.between(2, 40);
                for (int bit = from; bit < std::min(bits, from + length); ++bit) {
                    if (random.chance(0.5)) flip(c, bit);
                }
            }
            const RepairOutcome o = repair_frame(c.data(), t.end, soft.data());
            if (o != RepairOutcome::rejected) {
                ASSERT_EQ(c, t.bytes);
                ++repaired;
            }
        }
    }
    EXPECT_GT(repaired, 0);
}

}  // namespace
}  // namespace korvad
