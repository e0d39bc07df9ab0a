#pragma once
// RecordList: the one table type of korvad (aircraft collection, new-contact
// register, reference databases, statistics, repeat register, subscribers,
// chat history). It owns its records, keeps them in the order of a replaceable
// comparison, grows by a fixed step and reads and writes one file form.
//
// File form, the same for every database file (integers little-endian):
//
//   offset  size  field
//        0     4  count       entries in the file, signed
//        4     4  limit       slot budget of the list, signed
//        8     4  delta       slots added when an insert finds the list full
//       12     1  duplicates  non-zero: equal keys may coexist
//       13   ...  count items in list order, each in the codec of the kind
//
// String item:    signed 32-bit length L, then L bytes without terminator.
//                 L = 0 is "no string"; an empty string is written as 0 too.
// Reference item: key (string item), value (string item), tally (signed 32).
// Contact item:   store/record_list_contact.h. Subscriber item: server/subscriber.h.
//
// Nothing read from a file is trusted: a negative count or limit, a count
// above kListLimitMax, a negative or oversized string length, or a file that
// ends inside an item makes load() fail and leaves the list as it was.
// Memory follows the items actually read, never a number from the file.
//
// Entries may be empty slots (a string item with length 0 in a string list
// reads back as one; pack() removes them). Comparisons put empty slots first.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/atomic_file.h"
#include "common/bytes.h"
#include "common/regular_file.h"

namespace korvad {

// Highest `limit` a list can have: 2^29 - 1 slots.
inline constexpr std::int32_t kListLimitMax = 536870911;
// Longest string a file may hold, in bytes. Longer strings are cut when
// written, so every file the system writes reads back.
inline constexpr std::int32_t kMaxStoredString = 1 << 20;

// Reads the pieces of an item from a binary stream. Every call returns false
// when the stream ended or failed before the piece was complete, or when the
// piece is impossible (a negative or oversized string length).
class ItemReader {
  public:
    explicit ItemReader(std::FILE* stream) : stream_(stream) {}

    [[nodiscard]] bool read_bytes(unsigned char* out, std::size_t size);
    [[nodiscard]] bool read_int32(std::int32_t& value);
    [[nodiscard]] bool read_byte(std::uint8_t& value);
    // A string item: none for length 0.
    [[nodiscard]] bool read_string(std::optional<std::string>& value);

  private:
    std::FILE* stream_;
};

// Writes a string item; an empty text is written as "no string" (length 0).
// Texts longer than kMaxStoredString are cut to it. False on a write error.
[[nodiscard]] bool write_string_item(std::FILE* out, std::string_view text);
[[nodiscard]] bool write_string_item(std::FILE* out, const std::string& text);
[[nodiscard]] bool write_string_item(std::FILE* out, const std::optional<std::string>& text);

// The item codec of a list kind. A kind without one cannot be loaded or stored.
template <typename T>
struct ItemCodec {
    // Reads one item; record may be left empty (an empty slot). False when
    // the item is damaged or the stream ends inside it.
    bool (*read)(ItemReader& in, std::unique_ptr<T>& record) = nullptr;
    // Writes one item; false on a write error.
    bool (*write)(std::FILE* out, const T& record) = nullptr;
};

enum class LoadResult {
    loaded,      // the list now holds the file's entries
    not_opened,  // no such file, not a regular file or not readable: list untouched
    damaged,     // header or items damaged or cut short, or a kind without
                 // a file form: list untouched (recover_file: see LoadReport)
};

// What recover_file found.
struct LoadReport {
    LoadResult result = LoadResult::not_opened;
    FileProblem problem = FileProblem::none;  // why a file was not opened
    std::string reason;                       // the same for the operator ("" when missing)
    // damaged: the complete items read before the damage, now in the list,
    // and the items the header promised that were lost with it.
    std::int32_t kept = 0;
    std::int32_t dropped = 0;
};

// Result of a binary search: found and the position of the first equal entry,
// or not found and the position at which the key would be inserted.
struct SearchResult {
    bool found = false;
    std::int32_t index = 0;
};

// Order of records by their address: the order of a sorted list until its
// owner sets its own.
template <typename T>
int address_order(const T& a, const T& b) {
    std::less<const T*> before;
    if (before(&a, &b)) return -1;
    if (before(&b, &a)) return 1;
    return 0;
}

template <typename T>
class RecordList {
  public:
    // Negative, zero or positive as a sorts before, with or after b. Must be
    // a consistent order (transitive, antisymmetric).
    using Compare = int (*)(const T& a, const T& b);

    // An empty list, duplicates 0, limit set as by set_limit(limit).
    RecordList(std::int32_t limit, std::int32_t delta, Compare compare, ItemCodec<T> codec = {})
        : delta_(delta), compare_(compare != nullptr ? compare : &address_order<T>), codec_(codec) {
        set_limit(limit);
    }

    RecordList(RecordList&&) noexcept = default;
    RecordList& operator=(RecordList&&) noexcept = default;

    std::int32_t count() const { return static_cast<std::int32_t>(items_.size()); }
    std::int32_t limit() const { return limit_; }
    std::int32_t delta() const { return delta_; }
    // The stored flag byte; non-zero means equal keys may coexist.
    std::uint8_t duplicates() const { return duplicates_; }
    bool has_codec() const { return codec_.read != nullptr && codec_.write != nullptr; }

    // The entry at index, or null for an empty slot or an index out of range.
    T* at(std::int32_t index) { return in_range(index) ? items_[index].get() : nullptr; }
    const T* at(std::int32_t index) const {
        return in_range(index) ? items_[index].get() : nullptr;
    }
    // Positions 0 .. count-1 in list order; entries may be null (empty slots).
    const std::vector<std::unique_ptr<T>>& entries() const { return items_; }

    Compare compare() const { return compare_; }
    // Replaces the order. The entries keep their positions until sort().
    void set_compare(Compare compare) {
        if (compare != nullptr) compare_ = compare;
    }

    // limit = count if n < count, else min(n, kListLimitMax).
    void set_limit(std::int32_t n) {
        std::int32_t count_now = count();
        limit_ = n < count_now ? count_now : std::min(n, kListLimitMax);
        if (static_cast<std::size_t>(limit_) < items_.capacity()) items_.shrink_to_fit();
    }

    // Inserts record at index (0 .. count). A full list first grows by delta
    // (by one slot when delta is not positive), up to kListLimitMax. Takes
    // the record (record becomes null) and returns true; refused: false,
    // record and list unchanged.
    [[nodiscard]] bool insert_at(std::int32_t index, std::unique_ptr<T>& record) {
        std::int32_t count_now = count();
        if (index < 0 || index > count_now) return false;
        if (count_now == limit_) {
            std::int64_t grown = std::int64_t{count_now} + std::max<std::int32_t>(delta_, 1);
            limit_ = static_cast<std::int32_t>(std::min<std::int64_t>(grown, kListLimitMax));
            if (count_now == limit_) return false;
        }
        try {
            if (items_.size() == items_.capacity()) {
                items_.reserve(std::min(items_.size() * 2 + 1, static_cast<std::size_t>(limit_)));
            }
        } catch (const std::bad_alloc&) {
            return false;
        }
        items_.insert(items_.begin() + index, std::move(record));
        return true;
    }

    // Frees the entry at index and closes the gap; an index outside
    // 0 .. count-1 does nothing.
    void remove_at(std::int32_t index) {
        if (in_range(index)) items_.erase(items_.begin() + index);
    }

    // Frees every entry; limit unchanged.
    void free_all() { items_.clear(); }

    // Removes empty slots, keeping the order of the others.
    void pack() { items_.erase(std::remove(items_.begin(), items_.end(), nullptr), items_.end()); }

    // Orders all entries by the current compare. In place, not stable,
    // deterministic; a list already in order is left exactly as it is.
    void sort() {
        if (is_ordered()) return;
        std::sort(items_.begin(), items_.end(), [this](const auto& a, const auto& b) {
            return compare_entries(a.get(), b.get()) < 0;
        });
    }

    // Binary search for key under the current compare (the list must be in
    // that order). Found: the first of a run of equal entries.
    [[nodiscard]] SearchResult search(const T& key) const {
        std::int32_t low = 0;
        std::int32_t high = count();
        while (low < high) {
            std::int32_t middle = low + (high - low) / 2;
            if (compare_entries(items_[middle].get(), &key) < 0) {
                low = middle + 1;
            } else {
                high = middle;
            }
        }
        bool found = low < count() && compare_entries(items_[low].get(), &key) == 0;
        return {found, low};
    }

    // Inserts in order. True: inserted (record taken). False: an equal entry
    // exists and duplicates are not allowed, or the list is full; record
    // stays with the caller.
    [[nodiscard]] bool add(std::unique_ptr<T>& record) {
        if (record == nullptr) return false;
        SearchResult at_key = search(*record);
        if (at_key.found && duplicates_ == 0) return false;
        return insert_at(at_key.index, record);
    }

    // Position of this very record (same address), or -1.
    [[nodiscard]] std::int32_t index_of(const T* record) const {
        if (record == nullptr) return -1;
        SearchResult at_key = search(*record);
        if (!at_key.found) return -1;
        for (std::int32_t i = at_key.index; i < count(); ++i) {
            if (items_[i].get() == record) return i;
            if (compare_entries(items_[i].get(), record) != 0) break;
        }
        return -1;
    }

    // kNoRecord (-2): record is null. A position >= 0: an equal entry is
    // there; nothing inserted, record stays with the caller. kInserted (-1):
    // record taken. kRefused (-3): the list is at kListLimitMax; record stays
    // with the caller.
    static constexpr std::int32_t kInserted = -1;
    static constexpr std::int32_t kNoRecord = -2;
    static constexpr std::int32_t kRefused = -3;

    [[nodiscard]] std::int32_t insert_unique(std::unique_ptr<T>& record) {
        if (record == nullptr) return kNoRecord;
        SearchResult at_key = search(*record);
        if (at_key.found) return at_key.index;
        return insert_at(at_key.index, record) ? kInserted : kRefused;
    }

    // Replaces the list's entries, limit, delta and duplicates with those of
    // the file form read from in. The compare and the codec stay. A file
    // whose items are not in the current order is sorted. False, with the
    // list exactly as it was: no codec, or a damaged or short file.
    [[nodiscard]] bool load(std::FILE* in) {
        LoadReport report;
        return read_file_form(in, false, report);
    }

    // As load, but like a log it keeps what it can: when the items are cut
    // short or damaged, every complete item before the damage replaces the
    // list's entries (report.kept of them; report.dropped were lost). A
    // damaged header keeps nothing and empties the list. True only for an
    // undamaged file.
    [[nodiscard]] bool load_recovering(std::FILE* in, LoadReport& report) {
        return read_file_form(in, true, report);
    }

  private:
    [[nodiscard]] bool read_file_form(std::FILE* in, bool keep_partial, LoadReport& report) {
        report.kept = 0;
        report.dropped = 0;
        if (codec_.read == nullptr || in == nullptr) return false;
        ItemReader reader(in);
        std::int32_t stored_count = 0;
        std::int32_t stored_limit = 0;
        std::int32_t stored_delta = 0;
        std::uint8_t stored_duplicates = 0;
        if (!reader.read_int32(stored_count) || !reader.read_int32(stored_limit) ||
            !reader.read_int32(stored_delta) || !reader.read_byte(stored_duplicates)) {
            if (keep_partial) free_all();
            return false;
        }
        if (stored_count < 0 || stored_count > kListLimitMax || stored_limit < 0) {
            if (keep_partial) free_all();
            return false;
        }
        std::vector<std::unique_ptr<T>> loaded;
        bool complete = true;
        try {
            for (std::int32_t i = 0; i < stored_count; ++i) {
                std::unique_ptr<T> record;
                if (!codec_.read(reader, record)) {
                    complete = false;
                    break;
                }
                loaded.push_back(std::move(record));
            }
        } catch (const std::bad_alloc&) {
            complete = false;
        }
        if (!complete && !keep_partial) return false;
        report.kept = static_cast<std::int32_t>(loaded.size());
        report.dropped = stored_count - report.kept;
        items_.swap(loaded);  // the old entries are freed with `loaded`
        limit_ = stored_limit < count() ? count() : std::min(stored_limit, kListLimitMax);
        delta_ = stored_delta;
        duplicates_ = stored_duplicates;
        sort();
        return complete;
    }

  public:
    // Writes the file form to out. False: no codec, or a write error.
    [[nodiscard]] bool store(std::FILE* out) const {
        if (codec_.write == nullptr || out == nullptr) return false;
        if (!write_le32(out, count()) || !write_le32(out, limit_) || !write_le32(out, delta_) ||
            std::fputc(duplicates_, out) == EOF) {
            return false;
        }
        const T blank{};  // an empty slot is written as a zeroed record
        for (const auto& entry : items_) {
            if (!codec_.write(out, entry != nullptr ? *entry : blank)) return false;
        }
        return std::ferror(out) == 0;
    }

    // Only a regular file (or a link to one) is read: a FIFO or a device at
    // the name is not opened for long enough to wait on it.
    [[nodiscard]] LoadResult load_file(const std::string& path) {
        if (codec_.read == nullptr) return LoadResult::damaged;
        OpenedFile opened;
        std::FILE* in = open_regular_stream(path.c_str(), true, opened);
        if (in == nullptr) return LoadResult::not_opened;
        bool ok = load(in);
        std::fclose(in);
        return ok ? LoadResult::loaded : LoadResult::damaged;
    }

    // load_file with load_recovering.
    [[nodiscard]] LoadReport recover_file(const std::string& path) {
        LoadReport report;
        if (codec_.read == nullptr) {
            report.result = LoadResult::damaged;
            return report;
        }
        OpenedFile opened;
        std::FILE* in = open_regular_stream(path.c_str(), true, opened);
        if (in == nullptr) {
            report.problem = opened.problem;
            if (opened.problem != FileProblem::missing) report.reason = opened.reason;
            return report;
        }
        bool ok = load_recovering(in, report);
        std::fclose(in);
        report.result = ok ? LoadResult::loaded : LoadResult::damaged;
        return report;
    }

    // Replaces the file at path whole (temporary file beside it, renamed over
    // it once written and synced). A link at path has its target replaced,
    // and an existing file keeps its mode and owner. False, with the old file
    // untouched and reason (when given) saying why: no codec, something other
    // than a regular file at the name, or the file could not be written.
    [[nodiscard]] bool save_file(const std::string& path, std::string* reason = nullptr) const {
        if (codec_.write == nullptr) {
            if (reason != nullptr) *reason = "this kind of list has no file form";
            return false;
        }
        SaveOptions options;
        options.keep_existing = true;
        return save_atomically(
            path, [this](std::FILE* out) { return store(out); }, options, reason);
    }

    // True when every entry is in the current order.
    [[nodiscard]] bool is_ordered() const {
        for (std::size_t i = 1; i < items_.size(); ++i) {
            if (compare_entries(items_[i - 1].get(), items_[i].get()) > 0) return false;
        }
        return true;
    }

  private:
    bool in_range(std::int32_t index) const { return index >= 0 && index < count(); }

    int compare_entries(const T* a, const T* b) const {
        if (a == nullptr || b == nullptr) return (a != nullptr) - (b != nullptr);
        return compare_(*a, *b);
    }

    std::vector<std::unique_ptr<T>> items_;
    std::int32_t limit_ = 0;
    std::int32_t delta_ = 0;
    std::uint8_t duplicates_ = 0;
    Compare compare_;
    ItemCodec<T> codec_;
};

// Switches a list to another order for a piece of work (range scans by
// registration, flight or time) and back: sorts on construction, and on
// destruction puts the previous compare back and sorts again, so add, search
// and insert_unique see the natural order afterwards.
template <typename T>
class ScopedOrder {
  public:
    ScopedOrder(RecordList<T>& list, typename RecordList<T>::Compare order)
        : list_(list), previous_(list.compare()) {
        list_.set_compare(order);
        list_.sort();
    }
    ~ScopedOrder() {
        list_.set_compare(previous_);
        list_.sort();
    }
    ScopedOrder(const ScopedOrder&) = delete;
    ScopedOrder& operator=(const ScopedOrder&) = delete;

  private:
    RecordList<T>& list_;
    typename RecordList<T>::Compare previous_;
};

// --- Kinds -------------------------------------------------------------

// A sorted list: owner-defined records, no codec (load and store fail).
template <typename T>
RecordList<T> make_sorted_list(std::int32_t limit, std::int32_t delta,
                               typename RecordList<T>::Compare compare = &address_order<T>) {
    return RecordList<T>(limit, delta, compare);
}

// A string list: character strings in byte-wise order, string items.
using StringList = RecordList<std::string>;
int compare_strings(const std::string& a, const std::string& b);
StringList make_string_list(std::int32_t limit, std::int32_t delta);

// The key/value/tally record of the reference databases and statistics.
struct ReferenceEntry {
    std::optional<std::string> key;    // lookup key; statistic name
    std::optional<std::string> value;  // looked-up text; "1" in statistics
    std::int32_t tally = 0;            // occurrences of a statistic
};

// A reference list: ReferenceEntry records in byte-wise order of key (none
// sorts as the empty key), reference items.
using ReferenceList = RecordList<ReferenceEntry>;
int compare_reference_keys(const ReferenceEntry& a, const ReferenceEntry& b);
ReferenceList make_reference_list(std::int32_t limit, std::int32_t delta);

// ReferenceList::kNoRecord (-2): entry null or without key or value.
// ReferenceList::kInserted (-1): entry taken. ReferenceList::kRefused (-3):
// list full. A position >= 0: an equal key is there; its tally is raised by
// 1 when counting (kept at INT32_MAX), and entry stays with the caller.
[[nodiscard]] std::int32_t add_or_count(ReferenceList& list, std::unique_ptr<ReferenceEntry>& entry,
                                        bool counting);

}  // namespace korvad
