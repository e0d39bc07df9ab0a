// Recent good frames from both demodulators, keyed by their characters.

#include "signal/frame_dedup.h"

#include <algorithm>

namespace korvad {
namespace {

std::string frame_key(const FrameRecord& record) {
    const int last = std::clamp(record.end_index, 0, kFrameRecordChars - 1);
    std::string key;
    key.reserve(static_cast<std::size_t>(last) + 5);
    const auto end = static_cast<std::uint32_t>(record.end_index);
    for (int shift = 0; shift < 32; shift += 8)
        key.push_back(static_cast<char>((end >> shift) & 0xFF));
    for (int i = 0; i <= last; ++i) key.push_back(static_cast<char>(record.chars[i].ch));
    return key;
}

}  // namespace

FrameDeduplicator make_frame_deduplicator(int sample_rate, int seconds) {
    FrameDeduplicator d;
    d.window = static_cast<std::int64_t>(std::max(sample_rate, 0)) * std::max(seconds, 0);
    return d;
}

bool admit_frame(FrameDeduplicator& d, const FrameRecord& record, std::int64_t position) {
    // Forget what lies far behind: positions from the two paths arrive up to
    // a buffer out of order, never a whole window.
    while (!d.entries.empty() && d.entries.front().position < position - 2 * d.window) {
        d.entries.pop_front();
    }
    std::string key = frame_key(record);
    for (const FrameDeduplicator::Entry& e : d.entries) {
        const std::int64_t distance =
            e.position > position ? e.position - position : position - e.position;
        if (distance <= d.window && e.key == key) return false;
    }
    if (d.entries.size() >= kMaxRememberedFrames) d.entries.pop_front();
    d.entries.push_back({position, std::move(key)});
    return true;
}

namespace {

// The header of a block: mode, address, acknowledgement, label, block id and
// STX (characters 4 to 16), and for a downlink its message number and flight
// id (17 to 26).
constexpr int kHeaderFirst = kModeIndex;
constexpr int kAircraftAndLabelLast = kLabelLast;  // mode, address, acknowledgement, label
constexpr int kUplinkHeaderLast = kStxIndex;
constexpr int kDownlinkHeaderLast = kFlightIdLast;
constexpr std::size_t kKeyPrefix = 4;  // the key starts with end_index

// True when the record's header equals that of a frame admitted within the
// window: a damaged copy of a frame already shown. A faulty record, whose
// header is itself in doubt, needs only the aircraft and the label to agree.
bool damaged_copy(const FrameDeduplicator& d, const FrameRecord& r, std::int64_t position,
                  bool faulty) {
    for (const FrameDeduplicator::Entry& e : d.entries) {
        const std::int64_t distance =
            e.position > position ? e.position - position : position - e.position;
        if (distance > d.window) continue;
        const int known = static_cast<int>(e.key.size() - kKeyPrefix) - 1;  // its end_index
        const int last =
            faulty ? kAircraftAndLabelLast
                   : (known > kDownlinkHeaderLast ? kDownlinkHeaderLast : kUplinkHeaderLast);
        if (known <= kUplinkHeaderLast || r.end_index <= last) continue;
        bool same = true;
        for (int i = kHeaderFirst; i <= last && same; ++i) {
            same =
                static_cast<char>(r.chars[i].ch) == e.key[kKeyPrefix + static_cast<std::size_t>(i)];
        }
        if (same) return true;
    }
    return false;
}

}  // namespace

bool is_damaged_copy(const FrameDeduplicator& d, const FrameTable& table, std::int64_t position) {
    const RecordChoice choice = choose_record(table);
    if (choice.record != nullptr) return damaged_copy(d, *choice.record, position, false);
    const FrameRecord* r = least_faulty(table);
    return r != nullptr && damaged_copy(d, *r, position, true);
}

bool admit_pass(FrameDeduplicator& d, const FrameTable& table, std::int64_t position) {
    const RecordChoice choice = choose_record(table);
    if (choice.good) return admit_frame(d, *choice.record, position);
    // A pass without a good record is processed (shown as failed, or counted
    // and analysed as faulty) unless it is a damaged copy of a frame the
    // other demodulator already recovered from the same audio.
    return !is_damaged_copy(d, table, position);
}

}  // namespace korvad
