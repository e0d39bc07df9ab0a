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

bool admit_pass(FrameDeduplicator& d, const FrameTable& table, std::int64_t position) {
    for (int i = 0; i < table.count && i < kFrameTableSize; ++i) {
        const FrameRecord& r = table.records[i];
        if (r.error_count == 0 && r.terminated != 0 && r.crc == 0)
            return admit_frame(d, r, position);
    }
    return true;
}

}  // namespace korvad
