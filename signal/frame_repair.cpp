// Parity and block check of a received frame, and the repair of one or two
// wrong bits where both agree on where they are; with soft decisions, the
// search over the likely bits of every character that fails parity.

#include "signal/frame_repair.h"

#include <algorithm>
#include <array>

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

bool checks_as_received(const std::uint8_t* bytes, int end) {
    if (end < kMinFrameEnd || end + 2 >= kFrameBufferSize) return false;
    for (int i = kCoveredFrom; i <= end; ++i) {
        if (!parity_ok(bytes[i])) return false;
    }
    return block_check(bytes, end) == 0 && shape_ok(bytes, end);
}

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

// ---- The search with soft decisions --------------------------------------

namespace {

constexpr std::uint8_t kNak = 0x15;
// The failing characters, the suspects, then the BCS.
constexpr int kMaxPositions = kMaxRepairChars + kMaxSuspects + 1;
// A character holding parity but invalid offers the pairs of its weakest bits.
constexpr int kMaxAlternatives =
    std::max({kBitAlternatives, kBitAlternatives*(kBitAlternatives - 1) / 2, kBcsAlternatives + 1});
constexpr int kMaxStates = 1 + kMaxCrcTrials * kMaxPositions;

bool is_alnum(std::uint8_t c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

enum class Field { mode, address, ack, label, block_id, stx, number, text, end };

// downlink_fields: the message number and flight id stand at 17 .. 26.
Field field_of(int i, int end, bool downlink_fields) {
    if (i == end) return Field::end;
    if (i == kModeIndex) return Field::mode;
    if (i >= kAddressFirst && i <= kAddressLast) return Field::address;
    if (i == kAckIndex) return Field::ack;
    if (i == kLabelFirst || i == kLabelLast) return Field::label;
    if (i == kBlockIdIndex) return Field::block_id;
    if (i == kStxIndex) return Field::stx;
    if (downlink_fields && i >= kMessageNumberFirst && i <= kFlightIdLast) return Field::number;
    return Field::text;
}

// A 7-bit character where the frame's validation would take it.
bool valid_in(Field field, std::uint8_t c) {
    switch (field) {
        case Field::mode:
            return is_alnum(c) || c == '@';
        case Field::address:
            return c != 0 && in_registration_set(c);
        case Field::ack:
            return c == kNak || is_alnum(c);
        case Field::label:  // uplink labels take lower-case letters too ("_d")
            return c != 0 && (in_label_set(c) || (c >= 'a' && c <= 'z'));
        case Field::block_id:
            return c != 0 && in_block_id_set(c);
        case Field::stx:
            return c == kStx;
        case Field::number:
            return c != 0 && in_flight_set(c);
        case Field::text:
            return (c >= 0x20 && c <= 0x7E) || c == '\r' || c == '\n';
        case Field::end:
            return c == kEtx || c == kEtb;
    }
    return false;
}

// The kind of frame, from the characters that decide it, when none of them
// fails parity: only then are message number and flight id held to their set.
bool downlink_fields(const std::uint8_t* bytes) {
    for (int i : {kModeIndex, kLabelFirst, kLabelLast, kBlockIdIndex}) {
        if (!parity_ok(bytes[i])) return false;
    }
    const std::uint8_t mode = bytes[kModeIndex] & 0x7F, block = bytes[kBlockIdIndex] & 0x7F;
    const bool squitter = (bytes[kLabelFirst] & 0x7F) == 'S' && (bytes[kLabelLast] & 0x7F) == 'Q';
    const bool uplink = ((mode >= 'a' && mode <= 'z') || (mode >= '0' && mode <= '9')) &&
                        ((block >= 'A' && block <= 'Z') || block == '_');
    return !squitter && !uplink;
}

// One place the search may change: a damaged character (one of its bits
// flips, or two where it holds parity but is not valid where it stands) or
// the BCS (nothing, or one of its weakest bits).
struct Position {
    int count = 0;
    int byte[kMaxAlternatives];           // frame index of the byte changed
    std::uint8_t mask[kMaxAlternatives];  // its bits flipped; 0: none
    float cost[kMaxAlternatives];
    std::uint16_t syndrome[kMaxAlternatives];
};

// The weakest bits of bytes [first, first + n) (n <= 2) below `below`, at
// most limit of them, weakest first.
int weakest_bits(const float* reliability, int first, int n, int limit, int* out,
                 float below = kMaxRepairReliability) {
    int weak[16];
    int count = 0;
    for (int k = 8 * first; k < 8 * (first + n) && count < 16; ++k) {
        if (reliability[k] < below) weak[count++] = k;
    }
    std::sort(weak, weak + count, [reliability](int a, int b) {
        return reliability[a] < reliability[b] || (reliability[a] == reliability[b] && a < b);
    });
    count = std::min(count, limit);
    std::copy(weak, weak + count, out);
    return count;
}

std::uint16_t bit_syndrome(int frame_bit, int total_bits) {
    std::uint16_t s[8];
    byte_syndromes(frame_bit / 8, total_bits, s);
    return s[frame_bit % 8];
}

// Fills a position with the alternatives offered for byte i, cheapest first;
// an alternative that would leave the character invalid where it stands is
// not taken.
class Alternatives {
  public:
    Alternatives(Position& p, const std::uint8_t* bytes, int i, Field field, int total_bits)
        : p_(p), byte_(i), value_(bytes[i]), field_(field) {
        p_.count = 0;
        byte_syndromes(i, total_bits, syndromes_);
    }
    void offer(std::uint8_t mask, float cost) {
        if (!valid_in(field_, static_cast<std::uint8_t>(value_ ^ mask) & 0x7F)) return;
        std::uint16_t syndrome = 0;
        for (int b = 0; b < 8; ++b) syndrome ^= ((mask >> b) & 1) != 0 ? syndromes_[b] : 0;
        int at = p_.count++;
        while (at > 0 && p_.cost[at - 1] > cost) {
            p_.byte[at] = p_.byte[at - 1];
            p_.mask[at] = p_.mask[at - 1];
            p_.cost[at] = p_.cost[at - 1];
            p_.syndrome[at] = p_.syndrome[at - 1];
            --at;
        }
        p_.byte[at] = byte_;
        p_.mask[at] = mask;
        p_.cost[at] = cost;
        p_.syndrome[at] = syndrome;
    }

  private:
    Position& p_;
    int byte_;
    std::uint8_t value_;
    Field field_;
    std::uint16_t syndromes_[8];
};

struct Suspect {
    int byte = 0;
    std::uint8_t mask = 0;  // its two weak bits
    float cost = 0.0f;      // their reliabilities
};

// Keeps the kMaxSuspects cheapest suspects, cheapest first.
void note_suspect(Suspect* list, int& count, Suspect s) {
    if (count == kMaxSuspects && list[count - 1].cost <= s.cost) return;
    int at = count < kMaxSuspects ? count++ : count - 1;
    while (at > 0 && list[at - 1].cost > s.cost) {
        list[at] = list[at - 1];
        --at;
    }
    list[at] = s;
}

struct State {
    std::array<std::uint8_t, kMaxPositions> pick{};  // alternative taken at each position
    int last = 0;                                    // position the step into it raised
    float cost = 0.0f;
};

}  // namespace

RepairResult repair_frame_soft(std::uint8_t* bytes, int end, const float* reliability,
                               RepairBudget& budget) {
    RepairResult result;
    if (reliability == nullptr || end < kMinFrameEnd || end + 2 >= kFrameBufferSize) return result;
    if (bytes[0] != '*' || bytes[1] != kSyn || bytes[2] != kSyn || bytes[3] != kSoh) return result;

    int failing_count = 0;
    for (int i = kCoveredFrom; i <= end; ++i) failing_count += parity_ok(bytes[i]) ? 0 : 1;
    if (failing_count > kMaxRepairChars) return result;
    const std::uint16_t crc = block_check(bytes, end);
    if (failing_count == 0) {
        // The frame as received is the first candidate: as sent, it needs no
        // validation.
        if (budget.crc_trials_left <= 0) return result;
        --budget.crc_trials_left;
        result.crc_trials = 1;
        if (crc == 0) {
            if (shape_ok(bytes, end)) result.outcome = RepairOutcome::intact;
            return result;
        }
    } else if (crc == 0) {
        return result;  // a character is wrong and the check missed it
    }

    // An end that is itself damaged is far more often a text character one
    // bit from ETX/ETB than the real end: it may not spend the checks that
    // the real end further on will need.
    const bool end_intact = bytes[end] == kEtxOnAir || bytes[end] == kEtbOnAir;
    const int end_limit = end_intact ? kMaxCrcTrials : kDamagedEndCrcTrials;

    // The damaged characters: those that fail parity, and those that hold it
    // but are not valid where they stand (two wrong bits).
    const bool downlink = downlink_fields(bytes);
    const int total_bits = 8 * (end + 3 - kCoveredFrom);
    Position positions[kMaxPositions];
    int position_count = 0;
    // Characters that hold parity and are valid, but whose two weakest bits
    // are both nearly turned over: two wrong bits that nothing else shows.
    // The likeliest few may stay or have both bits flipped.
    Suspect suspects[kMaxSuspects];
    int suspect_count = 0;
    for (int i = kCoveredFrom; i <= end; ++i) {
        const Field field = field_of(i, end, downlink);
        const bool odd = !parity_ok(bytes[i]);
        if (!odd && valid_in(field, bytes[i] & 0x7F)) {
            int pair[2];
            if (i < end && weakest_bits(reliability, i, 1, 2, pair, kSuspectReliability) == 2) {
                const auto mask =
                    static_cast<std::uint8_t>((1u << (pair[0] % 8)) | (1u << (pair[1] % 8)));
                note_suspect(suspects, suspect_count,
                             {i, mask, reliability[pair[0]] + reliability[pair[1]]});
            }
            continue;
        }
        if (position_count == kMaxRepairChars) return result;
        int bits[kBitAlternatives];
        const int n = weakest_bits(reliability, i, 1, kBitAlternatives, bits);
        Alternatives p(positions[position_count], bytes, i, field, total_bits);
        for (int a = 0; a < n; ++a) {
            const auto bit_a = static_cast<std::uint8_t>(1u << (bits[a] % 8));
            if (odd) {
                p.offer(bit_a, reliability[bits[a]]);
                continue;
            }
            for (int b = a + 1; b < n; ++b) {
                p.offer(static_cast<std::uint8_t>(bit_a | (1u << (bits[b] % 8))),
                        reliability[bits[a]] + reliability[bits[b]]);
            }
        }
        if (positions[position_count].count == 0) return result;  // no likely bit makes it valid
        ++position_count;
    }
    for (int k = 0; k < suspect_count; ++k) {
        const int i = suspects[k].byte;
        Alternatives p(positions[position_count], bytes, i, field_of(i, end, downlink), total_bits);
        p.offer(0, 0.0f);
        p.offer(suspects[k].mask, suspects[k].cost);
        if (positions[position_count].count == 2) ++position_count;
    }
    {
        Position& p = positions[position_count++];
        p.byte[0] = end + 1;
        p.mask[0] = 0;
        p.cost[0] = 0.0f;
        p.syndrome[0] = 0;
        int bits[kBcsAlternatives];
        const int n = weakest_bits(reliability, end + 1, 2, kBcsAlternatives, bits);
        for (int k = 0; k < n; ++k) {
            p.byte[k + 1] = bits[k] / 8;
            p.mask[k + 1] = static_cast<std::uint8_t>(1u << (bits[k] % 8));
            p.cost[k + 1] = reliability[bits[k]];
            p.syndrome[k + 1] = bit_syndrome(bits[k], total_bits);
        }
        p.count = n + 1;
    }

    // Cheapest first: each state's successors raise one position at or after
    // the one its own step raised, so every combination comes up once.
    std::array<State, kMaxStates> open;
    int open_count = 1;
    open[0] = State{};
    for (int p = 0; p < position_count; ++p) open[0].cost += positions[p].cost[0];
    while (open_count > 0) {
        int best = 0;
        for (int k = 1; k < open_count; ++k) {
            if (open[k].cost < open[best].cost) best = k;
        }
        const State state = open[best];
        open[best] = open[--open_count];
        for (int p = state.last; p < position_count; ++p) {
            if (state.pick[p] + 1 >= positions[p].count || open_count == kMaxStates) continue;
            State next = state;
            next.cost += positions[p].cost[state.pick[p] + 1] - positions[p].cost[state.pick[p]];
            ++next.pick[p];
            next.last = p;
            open[open_count++] = next;
        }
        std::uint16_t residual = crc;
        int flips = 0;
        for (int p = 0; p < position_count; ++p) {
            residual ^= positions[p].syndrome[state.pick[p]];
            flips += __builtin_popcount(positions[p].mask[state.pick[p]]);
        }
        if (flips == 0) continue;  // the frame as received: checked above
        if (budget.crc_trials_left <= 0 || result.crc_trials >= end_limit) return result;
        --budget.crc_trials_left;
        ++result.crc_trials;
        if (residual != 0) continue;
        auto apply = [&] {
            for (int p = 0; p < position_count; ++p) {
                const int k = state.pick[p];
                bytes[positions[p].byte[k]] ^= positions[p].mask[k];
            }
        };
        apply();
        if (block_check(bytes, end) != 0 || !shape_ok(bytes, end)) {  // cannot happen
            apply();
            return result;
        }
        result.bits = flips;
        result.outcome = flips == 1   ? RepairOutcome::one_bit
                         : flips == 2 ? RepairOutcome::two_bits
                                      : RepairOutcome::several_bits;
        return result;
    }
    return result;
}

}  // namespace korvad
