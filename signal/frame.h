#pragma once
// Frame decoding: the bytes the demodulator collected from the '*' of the
// bit-sync sequence to the end of the signal become one FrameRecord.
//
// A downlink as collected (bit 7 of every byte is its parity bit):
//
//   index  0    1   2   3    4     5..11        12   13,14  15     16
//          '*'  SYN SYN SOH  mode  registration  TAK  label  block  STX
//   index  17..20    21..26        27 ..   end_index   +1,+2
//          msg no.   flight id     text    ETX/ETB     BCS (CRC-16)
//
// Uplinks and squitters carry no message number and flight id: their text
// starts at index 17. A frame with four SYN is first shifted to this layout.

#include <cstddef>
#include <cstdint>

namespace korvad {

// Positions of the fields in the layout above (frame and record indexes).
inline constexpr int kModeIndex = 4;
inline constexpr int kAddressFirst = 5, kAddressLast = 11;  // registration, '.' filled
inline constexpr int kAckIndex = 12;                        // technical acknowledgement
inline constexpr int kLabelFirst = 13, kLabelLast = 14;
inline constexpr int kBlockIdIndex = 15;
inline constexpr int kStxIndex = 16;
inline constexpr int kMessageNumberFirst = 17, kMessageNumberLast = 20;  // downlinks only
inline constexpr int kFlightIdFirst = 21, kFlightIdLast = 26;            // downlinks only
inline constexpr int kDownlinkTextStart = 27;
inline constexpr int kUplinkTextStart = 17;        // uplinks and squitters: no number, no flight id
inline constexpr int kHeaderLast = kFlightIdLast;  // a parity error up to here is a fault

inline constexpr int kFrameBufferSize = 4096;  // bytes one frame may collect
inline constexpr int kFrameRecordChars = 513;  // frame bytes 0..512 kept per record
inline constexpr int kFrameTableSize = 48;     // records per pass (42 filled at most)

inline constexpr std::uint8_t kSyn = 0x16, kSoh = 0x01, kStx = 0x02, kEtx = 0x03, kEtb = 0x17,
                              kDel = 0x7F;

enum FrameErrorFlag : std::int32_t {
    MSG_ERR_ALL = 0x01,  // parity error among bytes 0 to 26
    MSG_ERR_REG = 0x02,  // registration character outside its set
    MSG_ERR_LAB = 0x04,  // label character outside its set
    MSG_ERR_BLK = 0x08,  // block identifier outside its set
    MSG_ERR_MSG = 0x10,  // sequence-number character outside its set
    MSG_ERR_FLI = 0x20,  // flight-identifier character outside its set, or too few valid
    MSG_ERR_EXT = 0x40,  // parity error at byte 27 or later
    MSG_ERR_UNK = 0x80,  // never set
};

struct FrameChar {
    std::uint8_t parity_error;  // 0 or 1
    std::uint8_t ch;            // the character, bit 7 cleared
};

struct FrameRecord {
    std::int32_t end_index;    // index of ETX/ETB, else the bytes collected (may exceed 512)
    std::int32_t error_count;  // faults found by the field validation (0 when the CRC is good)
    std::int32_t terminated;   // an ETX or ETB was found
    std::int32_t error_flags;  // FrameErrorFlag bits
    std::int32_t squitter;     // label "SQ"
    std::int32_t uplink;
    std::uint16_t crc;  // 0: the block check sequence matched
    FrameChar chars[kFrameRecordChars];
};

// The records of one demodulator pass, with the two signals that steer the
// pass loop.
struct FrameTable {
    FrameRecord records[kFrameTableSize];
    int count = 0;
    bool frame_good = false;       // a record passed every check: stop trying sets
    bool message_pending = false;  // at least one record was filled this pass

    void clear();  // count 0, every record zeroed, message_pending cleared
};

// The record message processing takes from a pass, in fill order: the first
// good one (error_count 0, terminated, crc 0); else the first with error_count
// 0 that is terminated; else the first with error_count 0 (not good). Null
// when no record qualifies: the pass holds only faulty frames.
struct RecordChoice {
    const FrameRecord* record = nullptr;
    bool good = false;
};
[[nodiscard]] RecordChoice choose_record(const FrameTable& table);
// The record with the fewest faults, the earliest on ties; null without records.
[[nodiscard]] const FrameRecord* least_faulty(const FrameTable& table);

// Decodes frame[0 .. length-1] (length <= 4096) into the next record of table.
// The buffer is modified when a four-SYN frame is shifted.
void decode_frame(FrameTable& table, std::uint8_t* frame, int length);

// The block check: CRC-16 with polynomial 0x1021, fed bit 0 first, register
// starting at 0. Over mode .. ETX/ETB and the two BCS bytes a good frame leaves 0.
std::uint16_t crc_feed(std::uint16_t crc, std::uint8_t byte);

// The validation character sets (the NUL counts as a member of each).
bool in_registration_set(std::uint8_t c);
bool in_label_set(std::uint8_t c);
bool in_block_id_set(std::uint8_t c);
bool in_flight_set(std::uint8_t c);  // sequence number and flight identifier

}  // namespace korvad
