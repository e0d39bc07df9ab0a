// Recent good frames of both demodulators, by where they lie in the stream.

#include "signal/frame_dedup.h"

#include <algorithm>

namespace korvad {
namespace {

constexpr int kBitsPerSecond = 2400;

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

// Samples that bytes characters take on the air.
std::int64_t byte_samples(std::int64_t bytes, int sample_rate) {
    return bytes * 8 * std::max(sample_rate, 0) / kBitsPerSecond;
}

// Forgets what lies far behind span: spans of the two paths arrive up to a
// buffer and a hold out of order, never a horizon.
void forget_old(FrameMerge& m, StreamSpan span) {
    while (!m.entries.empty() && m.entries.front().span.last < span.first - kMergeHorizonSamples) {
        m.entries.pop_front();
    }
}

// The header of a block: mode, address, acknowledgement, label, block id and
// STX (characters 4 to 16), and for a downlink its message number and flight
// id (17 to 26).
constexpr int kHeaderFirst = kModeIndex;
constexpr int kAircraftAndLabelLast = kLabelLast;  // mode, address, acknowledgement, label
constexpr int kUplinkHeaderLast = kStxIndex;
constexpr int kDownlinkHeaderLast = kFlightIdLast;
constexpr std::size_t kKeyPrefix = 4;  // the key starts with end_index

// True when the record's header equals that of an overlapping MSK frame. A
// faulty record, whose header is itself in doubt, needs only the aircraft and
// the label to agree.
bool copies_msk_frame(const FrameMerge& m, const FrameRecord& r, StreamSpan span, bool faulty) {
    for (const FrameMerge::Entry& e : m.entries) {
        if (e.path != FramePath::msk || !spans_overlap(e.span, span)) continue;
        if (span.exact) return true;  // one transmission at a time on the channel
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

StreamSpan msk_frame_span(const FrameRecord& record, std::int64_t bcs_end, int sample_rate) {
    // '*' .. ETX/ETB and the two BCS bytes.
    const std::int64_t bytes = std::clamp(record.end_index, 0, kFrameBufferSize) + 3;
    return {bcs_end - byte_samples(bytes, sample_rate), bcs_end};
}

StreamSpan pass_frame_span(const FrameRecord* record, PassPlace place, std::int64_t buffer_end,
                           int sample_rate) {
    // '*' .. DEL, as far as the record tells; without an ETX/ETB, what was
    // collected.
    const bool terminated = record != nullptr && record->terminated != 0;
    const std::int64_t bytes =
        record != nullptr
            ? std::clamp(record->end_index, 0, kFrameBufferSize) + (terminated ? 4 : 0)
            : 0;
    const std::int64_t length = byte_samples(bytes, sample_rate);
    const std::int64_t buffer_first = buffer_end - kWorkBufferSize;
    // The DEL that closes the block may be cut short by the carrier's end.
    if (record == nullptr || place.end == kRecordEndUnknown || place.collected < bytes - 1 ||
        place.collected >= kFrameBufferSize) {
        return {buffer_first - length, buffer_end - 1, false};
    }
    const std::int64_t junk = terminated ? std::max<std::int64_t>(place.collected - bytes, 0) : 0;
    const std::int64_t end = buffer_first + place.end - byte_samples(junk, sample_rate);
    return {end - length, end, true};
}

PassPlace pass_record_place(const Demodulator& d, const FrameRecord* record) {
    if (record == nullptr || record < d.table.records ||
        record >= d.table.records + std::min(d.table.count, kFrameTableSize)) {
        return {};
    }
    const auto i = record - d.table.records;
    return {d.record_ends[i], d.record_collected[i]};
}

bool admit_frame(FrameMerge& m, const FrameRecord& record, StreamSpan span, FramePath path) {
    forget_old(m, span);
    std::string key = frame_key(record);
    for (const FrameMerge::Entry& e : m.entries) {
        if (e.path != path && spans_overlap(e.span, span) && e.key == key) return false;
    }
    if (m.entries.size() >= kMaxRememberedFrames) m.entries.pop_front();
    m.entries.push_back({span, path, std::move(key)});
    return true;
}

bool is_damaged_copy(const FrameMerge& m, const FrameTable& table, StreamSpan span) {
    const RecordChoice choice = choose_record(table);
    if (choice.record != nullptr) return copies_msk_frame(m, *choice.record, span, false);
    const FrameRecord* r = least_faulty(table);
    return r != nullptr && copies_msk_frame(m, *r, span, true);
}

PassVerdict judge_pass(FrameMerge& m, const FrameTable& table, StreamSpan span,
                       bool receiver_running) {
    const RecordChoice choice = choose_record(table);
    if (choice.good) {
        return admit_frame(m, *choice.record, span, FramePath::pass_loop) ? PassVerdict::process
                                                                          : PassVerdict::drop;
    }
    if (is_damaged_copy(m, table, span)) return PassVerdict::drop;
    return receiver_running ? PassVerdict::hold : PassVerdict::process;
}

}  // namespace korvad
