#include "store/record_list.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

namespace korvad {
namespace {

using Bytes = std::vector<unsigned char>;

class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "record_list_XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp");
        path_ = pattern;
    }
    ~TempDir() { std::filesystem::remove_all(path_); }
    std::string file(const char* name) const { return (path_ / name).string(); }
    std::size_t entry_count() const {
        return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(path_),
                                                      std::filesystem::directory_iterator()));
    }

private:
    std::filesystem::path path_;
};

Bytes read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// Appends a little-endian 32-bit value, for building damaged headers.
void le32(Bytes& bytes, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

template <typename T>
Bytes stored(const RecordList<T>& list) {
    char* buffer = nullptr;
    std::size_t size = 0;
    std::FILE* out = open_memstream(&buffer, &size);
    EXPECT_TRUE(list.store(out));
    std::fclose(out);
    Bytes bytes(buffer, buffer + size);
    std::free(buffer);
    return bytes;
}

template <typename T>
bool load_from(RecordList<T>& list, const Bytes& bytes) {
    std::FILE* in = fmemopen(const_cast<unsigned char*>(bytes.data()), bytes.size(), "rb");
    if (in == nullptr) return false;
    bool ok = list.load(in);
    std::fclose(in);
    return ok;
}

bool add_text(StringList& list, const char* text) {
    auto record = std::make_unique<std::string>(text);
    return list.add(record);
}

std::vector<std::string> texts(const StringList& list) {
    std::vector<std::string> out;
    for (const auto& entry : list.entries()) out.push_back(entry ? *entry : "<none>");
    return out;
}

std::unique_ptr<ReferenceEntry> reference(const char* key, const char* value, std::int32_t tally = 0) {
    auto entry = std::make_unique<ReferenceEntry>();
    if (key != nullptr) entry->key = key;
    if (value != nullptr) entry->value = value;
    entry->tally = tally;
    return entry;
}

// --- Ordered operations ------------------------------------------------

TEST(RecordListOrder, SearchOnEmptyListFindsNothingAtZero) {
    StringList list = make_string_list(5, 3);
    SearchResult result = list.search("anything");
    EXPECT_FALSE(result.found);
    EXPECT_EQ(result.index, 0);
}

TEST(RecordListOrder, AddKeepsByteOrderAndRefusesAnEqualKey) {
    StringList list = make_string_list(5, 3);
    for (const char* text : {"m", "B", "a", "\xe9t\xe9", "z"}) ASSERT_TRUE(add_text(list, text));
    // Byte order: upper case before lower case, bytes above 0x7f last.
    EXPECT_EQ(texts(list), (std::vector<std::string>{"B", "a", "m", "z", "\xe9t\xe9"}));

    auto again = std::make_unique<std::string>("m");
    EXPECT_FALSE(list.add(again));
    ASSERT_NE(again, nullptr);  // still the caller's
    EXPECT_EQ(list.count(), 5);

    EXPECT_EQ(list.search("m").index, 2);
    SearchResult missing = list.search("n");
    EXPECT_FALSE(missing.found);
    EXPECT_EQ(missing.index, 3);
    EXPECT_EQ(list.search("zz").index, 4);
}

TEST(RecordListOrder, InsertUniqueAndIndexOf) {
    StringList list = make_string_list(2, 2);
    std::unique_ptr<std::string> none;
    EXPECT_EQ(list.insert_unique(none), StringList::kNoRecord);

    auto b = std::make_unique<std::string>("b");
    const std::string* b_address = b.get();
    EXPECT_EQ(list.insert_unique(b), StringList::kInserted);
    EXPECT_EQ(b, nullptr);
    ASSERT_TRUE(add_text(list, "a"));
    ASSERT_TRUE(add_text(list, "c"));

    auto equal = std::make_unique<std::string>("b");
    EXPECT_EQ(list.insert_unique(equal), 1);
    EXPECT_NE(equal, nullptr);
    EXPECT_EQ(list.count(), 3);

    EXPECT_EQ(list.index_of(b_address), 1);
    // An equal record that is not in the list is not "that very record".
    EXPECT_EQ(list.index_of(equal.get()), -1);
    EXPECT_EQ(list.index_of(nullptr), -1);
}

TEST(RecordListOrder, DuplicatesFromAFileAllowEqualKeysAndIndexOfFindsEachOne) {
    // A reference list file with the duplicates flag set and no entries.
    Bytes file = {0, 0, 0, 0, 4, 0, 0, 0, 2, 0, 0, 0, 1};
    ReferenceList list = make_reference_list(10, 10);
    ASSERT_TRUE(load_from(list, file));
    ASSERT_EQ(list.duplicates(), 1);

    std::vector<const ReferenceEntry*> same;
    for (const char* value : {"first", "second", "third"}) {
        auto entry = reference("KEY", value);
        same.push_back(entry.get());
        ASSERT_TRUE(list.add(entry));
    }
    auto before = reference("A", "x");
    ASSERT_TRUE(list.add(before));
    auto after = reference("Z", "x");
    ASSERT_TRUE(list.add(after));

    EXPECT_EQ(list.count(), 5);
    SearchResult run = list.search(*reference("KEY", nullptr));
    EXPECT_TRUE(run.found);
    EXPECT_EQ(run.index, 1);  // the first of the run
    std::vector<std::int32_t> positions;
    for (const ReferenceEntry* entry : same) positions.push_back(list.index_of(entry));
    std::sort(positions.begin(), positions.end());
    EXPECT_EQ(positions, (std::vector<std::int32_t>{1, 2, 3}));
    auto stranger = reference("KEY", "first");
    EXPECT_EQ(list.index_of(stranger.get()), -1);
}

TEST(RecordListOrder, SortWithManyEqualKeysOrdersAndKeepsEveryEntry) {
    ReferenceList list = make_reference_list(0, 1000);
    std::mt19937 random(7);
    std::vector<std::string> keys;
    for (int i = 0; i < 5000; ++i) {
        std::string key(1, static_cast<char>('a' + random() % 4));
        keys.push_back(key);
        auto entry = reference(key.c_str(), "v", i);
        ASSERT_TRUE(list.insert_at(list.count(), entry));  // unordered on purpose
    }
    list.sort();
    ASSERT_TRUE(list.is_ordered());
    std::sort(keys.begin(), keys.end());
    std::vector<std::string> sorted_keys;
    std::vector<bool> seen(5000, false);
    for (const auto& entry : list.entries()) {
        sorted_keys.push_back(*entry->key);
        seen[static_cast<std::size_t>(entry->tally)] = true;
    }
    EXPECT_EQ(sorted_keys, keys);
    EXPECT_EQ(std::count(seen.begin(), seen.end(), true), 5000);

    // Equal keys find the first of their run; sorting again changes nothing.
    SearchResult c = list.search(*reference("c", nullptr));
    ASSERT_TRUE(c.found);
    EXPECT_EQ(*list.at(c.index - 1)->key, "b");
    Bytes once = stored(list);
    list.sort();
    EXPECT_EQ(stored(list), once);
}

int tally_descending(const ReferenceEntry& a, const ReferenceEntry& b) {
    if (a.tally != b.tally) return a.tally > b.tally ? -1 : 1;
    return compare_reference_keys(a, b);
}

TEST(RecordListOrder, ScopedOrderSwitchesAndRestoresTheNaturalOrder) {
    ReferenceList list = make_reference_list(10, 10);
    for (auto [key, tally] : {std::pair{"A", 1}, {"B", 5}, {"C", 3}}) {
        auto entry = reference(key, "1", tally);
        ASSERT_TRUE(list.add(entry));
    }
    {
        ScopedOrder<ReferenceEntry> by_tally(list, &tally_descending);
        EXPECT_EQ(*list.at(0)->key, "B");
        EXPECT_EQ(*list.at(1)->key, "C");
        EXPECT_EQ(*list.at(2)->key, "A");
    }
    EXPECT_EQ(list.compare(), &compare_reference_keys);
    EXPECT_EQ(*list.at(0)->key, "A");
    EXPECT_TRUE(list.search(*reference("C", nullptr)).found);
}

TEST(RecordListOrder, AddOrCountRaisesTheTallyOnlyWhenCounting) {
    ReferenceList list = make_reference_list(10, 10);
    auto no_key = reference(nullptr, "1");
    auto no_value = reference("B747", nullptr);
    std::unique_ptr<ReferenceEntry> none;
    EXPECT_EQ(add_or_count(list, no_key, true), ReferenceList::kNoRecord);
    EXPECT_EQ(add_or_count(list, no_value, true), ReferenceList::kNoRecord);
    EXPECT_EQ(add_or_count(list, none, true), ReferenceList::kNoRecord);

    auto first = reference("B747", "1", 1);
    EXPECT_EQ(add_or_count(list, first, true), ReferenceList::kInserted);
    EXPECT_EQ(first, nullptr);
    auto second = reference("B747", "1", 1);
    EXPECT_EQ(add_or_count(list, second, true), 0);
    EXPECT_NE(second, nullptr);
    EXPECT_EQ(add_or_count(list, second, false), 0);
    EXPECT_EQ(list.at(0)->tally, 2);
    EXPECT_EQ(list.count(), 1);
}

TEST(RecordListOrder, SortedListKeepsAddressOrderAndHasNoFileForm) {
    struct Chat {
        int value;
    };
    RecordList<Chat> list = make_sorted_list<Chat>(30, 10);
    std::vector<std::unique_ptr<Chat>> records;
    for (int i = 0; i < 20; ++i) records.push_back(std::make_unique<Chat>(Chat{i}));
    for (auto& record : records) ASSERT_TRUE(list.add(record));
    for (std::int32_t i = 1; i < list.count(); ++i) {
        EXPECT_TRUE(std::less<const Chat*>{}(list.at(i - 1), list.at(i)));
    }
    EXPECT_FALSE(list.has_codec());

    Bytes file = {1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0, 9, 9, 9, 9};
    std::FILE* in = fmemopen(file.data(), file.size(), "rb");
    EXPECT_FALSE(list.load(in));
    EXPECT_EQ(std::ftell(in), 0);  // nothing was read
    std::fclose(in);

    char* buffer = nullptr;
    std::size_t size = 0;
    std::FILE* out = open_memstream(&buffer, &size);
    EXPECT_FALSE(list.store(out));
    std::fclose(out);
    std::free(buffer);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(list.count(), 20);

    TempDir dir;
    EXPECT_FALSE(list.save_file(dir.file("chat.db")));
    EXPECT_EQ(list.load_file(dir.file("chat.db")), LoadResult::damaged);
    EXPECT_EQ(dir.entry_count(), 0u);
}

// --- Slots, limit and growth ---------------------------------------------

TEST(RecordListSlots, LimitGrowsByDeltaAndSetLimitNeverGoesBelowCount) {
    StringList list = make_string_list(2, 3);
    EXPECT_EQ(list.limit(), 2);
    for (const char* text : {"a", "b"}) ASSERT_TRUE(add_text(list, text));
    EXPECT_EQ(list.limit(), 2);
    ASSERT_TRUE(add_text(list, "c"));
    EXPECT_EQ(list.limit(), 5);

    list.set_limit(1);
    EXPECT_EQ(list.limit(), 3);
    list.set_limit(-7);
    EXPECT_EQ(list.limit(), 3);
    list.set_limit(INT32_MAX);
    EXPECT_EQ(list.limit(), kListLimitMax);
    list.set_limit(40);
    EXPECT_EQ(list.limit(), 40);

    // Emptying for a reload.
    list.free_all();
    EXPECT_EQ(list.limit(), 40);
    list.pack();
    list.set_limit(0);
    EXPECT_EQ(list.count(), 0);
    EXPECT_EQ(list.limit(), 0);
    EXPECT_TRUE(add_text(list, "again"));
    EXPECT_EQ(list.limit(), 3);
}

TEST(RecordListSlots, GrowthIsClampedAndNeverStops) {
    // A huge growth step must clamp at the ceiling rather than overflow.
    StringList huge = make_string_list(0, INT32_MAX);
    ASSERT_TRUE(add_text(huge, "a"));
    EXPECT_EQ(huge.limit(), kListLimitMax);

    // A list whose file brought delta 0 still grows, one slot at a time.
    Bytes file = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    StringList frozen = make_string_list(5, 3);
    ASSERT_TRUE(load_from(frozen, file));
    EXPECT_EQ(frozen.delta(), 0);
    EXPECT_EQ(frozen.limit(), 0);
    ASSERT_TRUE(add_text(frozen, "a"));
    ASSERT_TRUE(add_text(frozen, "b"));
    EXPECT_EQ(frozen.limit(), 2);
}

TEST(RecordListSlots, InsertRemoveAndPackWorkOnPositions) {
    StringList list = make_string_list(4, 4);
    auto outside = std::make_unique<std::string>("x");
    EXPECT_FALSE(list.insert_at(1, outside));
    EXPECT_FALSE(list.insert_at(-1, outside));
    EXPECT_NE(outside, nullptr);

    std::unique_ptr<std::string> empty_slot;
    for (const char* text : {"a", "c"}) ASSERT_TRUE(add_text(list, text));
    ASSERT_TRUE(list.insert_at(1, empty_slot));
    ASSERT_TRUE(list.insert_at(3, empty_slot));
    EXPECT_EQ(texts(list), (std::vector<std::string>{"a", "<none>", "c", "<none>"}));
    EXPECT_EQ(list.at(1), nullptr);
    EXPECT_EQ(list.at(4), nullptr);
    EXPECT_EQ(list.at(-1), nullptr);

    list.remove_at(4);
    list.remove_at(-1);
    EXPECT_EQ(list.count(), 4);
    list.pack();
    EXPECT_EQ(texts(list), (std::vector<std::string>{"a", "c"}));
    list.remove_at(0);
    EXPECT_EQ(texts(list), (std::vector<std::string>{"c"}));
}

// --- File form ----------------------------------------------------------

TEST(RecordListFile, ReferenceListHasTheDocumentedBytes) {
    const Bytes file = {
        0x03, 0x00, 0x00, 0x00,  // count 3
        0x04, 0x00, 0x00, 0x00,  // limit 4
        0x0a, 0x00, 0x00, 0x00,  // delta 10
        0x00,                    // duplicates
        // {"AB", "Route 1", 0}
        0x02, 0x00, 0x00, 0x00, 'A', 'B',
        0x07, 0x00, 0x00, 0x00, 'R', 'o', 'u', 't', 'e', ' ', '1',
        0x00, 0x00, 0x00, 0x00,
        // {"AC", none, 258}
        0x02, 0x00, 0x00, 0x00, 'A', 'C',
        0x00, 0x00, 0x00, 0x00,
        0x02, 0x01, 0x00, 0x00,
        // {"B", "", -2}: the empty value is written as no string
        0x01, 0x00, 0x00, 0x00, 'B',
        0x00, 0x00, 0x00, 0x00,
        0xfe, 0xff, 0xff, 0xff,
    };
    TempDir dir;
    ReferenceList list = make_reference_list(4, 10);
    std::unique_ptr<ReferenceEntry> entries[] = {reference("B", "", -2), reference("AC", nullptr, 258),
                                                 reference("AB", "Route 1", 0)};
    for (auto& entry : entries) ASSERT_TRUE(list.add(entry));
    ASSERT_TRUE(list.save_file(dir.file("flights.db")));
    EXPECT_EQ(read_file(dir.file("flights.db")), file);
    EXPECT_EQ(dir.entry_count(), 1u);  // no temporary file left behind

    write_file(dir.file("by-hand.db"), file);
    ReferenceList back = make_reference_list(1, 1);
    ASSERT_EQ(back.load_file(dir.file("by-hand.db")), LoadResult::loaded);
    ASSERT_EQ(back.count(), 3);
    EXPECT_EQ(back.limit(), 4);
    EXPECT_EQ(back.delta(), 10);
    EXPECT_EQ(*back.at(0)->key, "AB");
    EXPECT_EQ(*back.at(0)->value, "Route 1");
    EXPECT_FALSE(back.at(1)->value.has_value());
    EXPECT_EQ(back.at(1)->tally, 258);
    EXPECT_FALSE(back.at(2)->value.has_value());  // "" came back as none
    EXPECT_EQ(back.at(2)->tally, -2);
}

TEST(RecordListFile, StringListWritesEmptyAsNoneAndReadsItBackAsAnEmptySlot) {
    const Bytes file = {
        0x02, 0x00, 0x00, 0x00,  // count 2
        0x05, 0x00, 0x00, 0x00,  // limit 5
        0x03, 0x00, 0x00, 0x00,  // delta 3
        0x00,                    // duplicates
        0x00, 0x00, 0x00, 0x00,  // ""
        0x03, 0x00, 0x00, 0x00, 'a', 'b', 'c',
    };
    StringList list = make_string_list(5, 3);
    ASSERT_TRUE(add_text(list, "abc"));
    ASSERT_TRUE(add_text(list, ""));
    EXPECT_EQ(stored(list), file);

    StringList back = make_string_list(5, 3);
    ASSERT_TRUE(load_from(back, file));
    EXPECT_EQ(texts(back), (std::vector<std::string>{"<none>", "abc"}));
    EXPECT_EQ(stored(back), file);
}

TEST(RecordListFile, LoadTakesLimitDeltaAndDuplicatesFromTheFile) {
    struct Case {
        std::uint32_t limit;
        std::int32_t expected_limit;
    };
    // count 2 with a stored limit below it, equal, above, and above the ceiling.
    for (Case c : {Case{1, 2}, Case{2, 2}, Case{9, 9}, Case{0x7fffffff, kListLimitMax},
                   Case{0x20000000, kListLimitMax}}) {
        Bytes file;
        le32(file, 2);
        le32(file, c.limit);
        le32(file, 77);
        file.push_back(1);
        for (const char* text : {"x", "y"}) {
            le32(file, 1);
            file.push_back(static_cast<unsigned char>(text[0]));
        }
        StringList list = make_string_list(3, 5);
        ASSERT_TRUE(load_from(list, file)) << c.limit;
        EXPECT_EQ(list.count(), 2);
        EXPECT_EQ(list.limit(), c.expected_limit) << c.limit;
        EXPECT_EQ(list.delta(), 77);
        EXPECT_EQ(list.duplicates(), 1);
    }
}

TEST(RecordListFile, LoadReplacesEntriesAndSortsAFileOutOfOrder) {
    Bytes file;
    le32(file, 3);
    le32(file, 3);
    le32(file, 1);
    file.push_back(0);
    for (const char* text : {"c", "a", "b"}) {
        le32(file, 1);
        file.push_back(static_cast<unsigned char>(text[0]));
    }
    StringList list = make_string_list(5, 3);
    ASSERT_TRUE(add_text(list, "old"));
    ASSERT_TRUE(load_from(list, file));
    EXPECT_EQ(texts(list), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_TRUE(list.search("b").found);
}

TEST(RecordListFile, MissingFileLeavesTheListAlone) {
    TempDir dir;
    StringList list = make_string_list(5, 3);
    ASSERT_TRUE(add_text(list, "kept"));
    EXPECT_EQ(list.load_file(dir.file("absent.db")), LoadResult::not_opened);
    EXPECT_EQ(texts(list), (std::vector<std::string>{"kept"}));
}

// --- Damaged files ----------------------------------------------------------

// A list with entries whose state must survive every refused load.
ReferenceList populated() {
    ReferenceList list = make_reference_list(7, 4);
    for (const char* key : {"EGLL", "KJFK", "LFPG"}) {
        auto entry = reference(key, "airport", 3);
        EXPECT_TRUE(list.add(entry));
    }
    return list;
}

TEST(RecordListDamage, EveryTruncationIsRefusedAndChangesNothing) {
    ReferenceList source = populated();
    Bytes file = stored(source);
    ASSERT_GT(file.size(), 13u);
    ReferenceList list = populated();
    const Bytes before = stored(list);
    for (std::size_t length = 0; length < file.size(); ++length) {
        Bytes cut(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(length));
        EXPECT_FALSE(load_from(list, cut)) << "cut at " << length;
        ASSERT_EQ(stored(list), before) << "cut at " << length;
        EXPECT_EQ(list.limit(), 7);
        EXPECT_EQ(list.delta(), 4);
    }
    EXPECT_TRUE(load_from(list, file));
}

TEST(RecordListDamage, ImpossibleCountsLimitsAndLengthsAreRefused) {
    auto header = [](std::uint32_t count, std::uint32_t limit) {
        Bytes file;
        le32(file, count);
        le32(file, limit);
        le32(file, 10);
        file.push_back(0);
        return file;
    };
    std::vector<std::pair<const char*, Bytes>> cases;
    cases.emplace_back("negative count", header(0xffffffff, 10));
    cases.emplace_back("count above the ceiling", header(0x20000000, 0x20000000));
    Bytes huge_count = header(0x1fffffff, 0x1fffffff);  // then one complete item
    for (const char* text : {"k", "v"}) {
        le32(huge_count, 1);
        huge_count.push_back(static_cast<unsigned char>(text[0]));
    }
    le32(huge_count, 0);
    cases.emplace_back("huge count, one item", huge_count);
    cases.emplace_back("negative limit", header(0, 0xfffffff0));
    Bytes negative_length = header(1, 1);
    le32(negative_length, 0x80000000);
    cases.emplace_back("negative string length", negative_length);
    Bytes huge_length = header(1, 1);
    le32(huge_length, 0x7fffffff);
    huge_length.insert(huge_length.end(), 100, 'x');
    cases.emplace_back("string length beyond the file", huge_length);
    Bytes oversized = header(1, 1);
    le32(oversized, static_cast<std::uint32_t>(kMaxStoredString) + 1);
    oversized.insert(oversized.end(), static_cast<std::size_t>(kMaxStoredString) + 1, 'x');
    le32(oversized, 0);  // value: none
    le32(oversized, 0);  // tally: the item is otherwise complete
    cases.emplace_back("string length above the cap", oversized);

    ReferenceList list = populated();
    const Bytes before = stored(list);
    for (const auto& [name, file] : cases) {
        EXPECT_FALSE(load_from(list, file)) << name;
        EXPECT_EQ(stored(list), before) << name;
    }
}

TEST(RecordListDamage, RandomBytesNeverBreakTheList) {
    std::mt19937 random(20240611);
    ReferenceList list = populated();
    const Bytes before = stored(list);
    Bytes valid = stored(list);
    int accepted = 0;
    for (int round = 0; round < 3000; ++round) {
        Bytes file;
        if (round % 2 == 0) {
            file.resize(random() % 64 + 1);
            for (auto& byte : file) byte = static_cast<unsigned char>(random());
            // Half of them with a small count, so the items get read too.
            if (round % 4 == 0 && file.size() >= 4) {
                std::fill_n(file.begin(), 4, 0);
                file[0] = static_cast<unsigned char>(random() % 4);
            }
        } else {
            file = valid;  // a valid file with a few bytes flipped
            for (int flips = 0; flips < 3; ++flips) file[random() % file.size()] ^= static_cast<unsigned char>(random());
        }
        ReferenceList target = populated();
        if (load_from(target, file)) {
            ++accepted;
            EXPECT_TRUE(target.is_ordered());
            ReferenceList again = make_reference_list(1, 1);
            Bytes written = stored(target);
            ASSERT_TRUE(load_from(again, written));
            EXPECT_EQ(stored(again), written);
        } else {
            ASSERT_EQ(stored(target), before) << "round " << round;
        }
    }
    EXPECT_GT(accepted, 0);  // some flips hit only text bytes
}

// --- Failing writes --------------------------------------------------------

// A stream that takes `budget` bytes and then fails, like a full disk.
struct Budget {
    std::size_t left;
};

ssize_t budget_write(void* cookie, const char*, size_t size) {
    auto* budget = static_cast<Budget*>(cookie);
    if (size > budget->left) {
        errno = ENOSPC;
        return -1;
    }
    budget->left -= size;
    return static_cast<ssize_t>(size);
}

TEST(RecordListSave, StoreReportsAFailingStream) {
    ReferenceList list = populated();
    const std::size_t full = stored(list).size();
    for (std::size_t budget_bytes : {std::size_t{0}, std::size_t{5}, std::size_t{13}, full - 1}) {
        Budget budget{budget_bytes};
        cookie_io_functions_t io{};
        io.write = &budget_write;
        std::FILE* out = fopencookie(&budget, "wb", io);
        ASSERT_NE(out, nullptr);
        std::setvbuf(out, nullptr, _IONBF, 0);
        EXPECT_FALSE(list.store(out)) << budget_bytes;
        std::fclose(out);
    }
}

TEST(RecordListSave, AFileSystemErrorKeepsTheOldFile) {
    TempDir dir;
    const std::string path = dir.file("korvad-flights.db");
    ReferenceList old_list = make_reference_list(1, 1);
    auto entry = reference("OLD", "x");
    ASSERT_TRUE(old_list.add(entry));
    ASSERT_TRUE(old_list.save_file(path));
    const Bytes old_bytes = read_file(path);

    ReferenceList list = make_reference_list(100, 100);
    for (int i = 0; i < 50; ++i) {
        auto more = reference(("KEY" + std::to_string(i)).c_str(), "a value of some length");
        ASSERT_TRUE(list.add(more));
    }
    // The file size limit makes the kernel refuse writes (EFBIG), even for root.
    struct rlimit saved {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    auto previous = signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = 256;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    bool saved_ok = list.save_file(path);
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, previous);

    EXPECT_FALSE(saved_ok);
    EXPECT_EQ(read_file(path), old_bytes);
    EXPECT_EQ(dir.entry_count(), 1u);  // the temporary file is gone

    EXPECT_FALSE(list.save_file(dir.file("vanished/korvad-flights.db")));
    ASSERT_TRUE(list.save_file(path));
    EXPECT_NE(read_file(path), old_bytes);
}

}  // namespace
}  // namespace korvad
