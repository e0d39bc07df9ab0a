#include "store/record_list.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <random>

#include "store/record_list_test.h"

namespace korvad {
namespace {

using namespace list_test;

bool add_text(StringList& list, const char* text) {
    auto record = std::make_unique<std::string>(text);
    return list.add(record);
}

std::vector<std::string> texts(const StringList& list) {
    std::vector<std::string> out;
    for (const auto& entry : list.entries()) out.push_back(entry ? *entry : "<none>");
    return out;
}

std::unique_ptr<ReferenceEntry> reference(const char* key, const char* value,
                                          std::int32_t tally = 0) {
    auto entry = std::make_unique<ReferenceEntry>();
    if (key != nullptr) entry->key = key;
    if (value != nullptr) entry->value = value;
    entry->tally = tally;
    return entry;
}

// A list whose state must survive every refused load.
ReferenceList populated() {
    ReferenceList list = make_reference_list(7, 4);
    for (const char* key : {"EGLL", "KJFK", "LFPG"}) {
        auto entry = reference(key, "airport", 3);
        EXPECT_TRUE(list.add(entry));
    }
    return list;
}

// --- Ordered operations ------------------------------------------------

TEST(RecordListOrder, SearchAndAddKeepByteOrderAndRefuseAnEqualKey) {
    StringList list = make_string_list(5, 3);
    EXPECT_FALSE(list.search("x").found);
    EXPECT_EQ(list.search("x").index, 0);

    for (const char* text : {"m", "B", "a", "\xe9t\xe9", "z"}) ASSERT_TRUE(add_text(list, text));
    // Byte order: upper case before lower case, bytes above 0x7f last.
    EXPECT_EQ(texts(list), (std::vector<std::string>{"B", "a", "m", "z", "\xe9t\xe9"}));
    auto again = std::make_unique<std::string>("m");
    EXPECT_FALSE(list.add(again));
    EXPECT_NE(again, nullptr);  // still the caller's
    EXPECT_EQ(list.count(), 5);
    EXPECT_EQ(list.search("n").index, 3);
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
    EXPECT_EQ(list.index_of(b_address), 1);
    // An equal record that is not in the list is not "that very record".
    EXPECT_EQ(list.index_of(equal.get()), -1);
}

TEST(RecordListOrder, DuplicatesFromAFileAllowEqualKeysAndIndexOfFindsEachOne) {
    ReferenceList list = make_reference_list(10, 10);
    ASSERT_TRUE(load_from(list, {0, 0, 0, 0, 4, 0, 0, 0, 2, 0, 0, 0, 1}));  // empty, duplicates 1
    ASSERT_EQ(list.duplicates(), 1);
    std::vector<const ReferenceEntry*> same;
    for (const char* key : {"KEY", "A", "KEY", "Z", "KEY"}) {
        auto entry = reference(key, "v");
        if (*entry->key == "KEY") same.push_back(entry.get());
        ASSERT_TRUE(list.add(entry));
    }
    SearchResult run = list.search(*reference("KEY", nullptr));
    EXPECT_TRUE(run.found);
    EXPECT_EQ(run.index, 1);  // the first of the run
    std::vector<std::int32_t> positions;
    for (const ReferenceEntry* entry : same) positions.push_back(list.index_of(entry));
    std::sort(positions.begin(), positions.end());
    EXPECT_EQ(positions, (std::vector<std::int32_t>{1, 2, 3}));
}

TEST(RecordListOrder, SortWithManyEqualKeysOrdersAndKeepsEveryEntry) {
    ReferenceList list = make_reference_list(0, 1000);
    std::mt19937 random(7);
    std::vector<std::string> keys;
    for (int i = 0; i < 5000; ++i) {
        keys.emplace_back(1, static_cast<char>('a' + random() % 4));
        auto entry = reference(keys.back().c_str(), "v", i);
        ASSERT_TRUE(list.insert_at(list.count(), entry));  // unordered on purpose
    }
    list.sort();
    std::sort(keys.begin(), keys.end());
    std::vector<std::string> sorted_keys;
    std::vector<bool> seen(5000, false);
    for (const auto& entry : list.entries()) {
        sorted_keys.push_back(*entry->key);
        seen[static_cast<std::size_t>(entry->tally)] = true;
    }
    EXPECT_EQ(sorted_keys, keys);
    EXPECT_EQ(std::count(seen.begin(), seen.end(), true), 5000);
    SearchResult c = list.search(*reference("c", nullptr));
    ASSERT_TRUE(c.found);
    EXPECT_EQ(*list.at(c.index - 1)->key, "b");
    Bytes once = stored(list);
    list.sort();  // already in order: nothing moves
    EXPECT_EQ(stored(list), once);
}

TEST(RecordListOrder, AddOrCountRaisesTheTallyOnlyWhenCounting) {
    ReferenceList list = make_reference_list(10, 10);
    auto no_key = reference(nullptr, "1");
    auto no_value = reference("B747", nullptr);
    EXPECT_EQ(add_or_count(list, no_key, true), ReferenceList::kNoRecord);
    EXPECT_EQ(add_or_count(list, no_value, true), ReferenceList::kNoRecord);
    auto first = reference("B747", "1", 1);
    EXPECT_EQ(add_or_count(list, first, true), ReferenceList::kInserted);
    auto second = reference("B747", "1", 1);
    EXPECT_EQ(add_or_count(list, second, true), 0);
    EXPECT_EQ(add_or_count(list, second, false), 0);
    EXPECT_NE(second, nullptr);
    EXPECT_EQ(list.at(0)->tally, 2);
    EXPECT_EQ(list.count(), 1);
}

TEST(RecordListOrder, SortedListHasNoFileForm) {
    struct Chat {
        int value;
    };
    RecordList<Chat> list = make_sorted_list<Chat>(30, 10);
    for (int i = 0; i < 5; ++i) {
        auto record = std::make_unique<Chat>(Chat{i});
        ASSERT_TRUE(list.add(record));
    }
    EXPECT_TRUE(std::less<const Chat*>{}(list.at(0), list.at(4)));  // address order

    Bytes file = {1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0, 9, 9, 9, 9};
    std::FILE* in = fmemopen(file.data(), file.size(), "rb");
    EXPECT_FALSE(list.load(in));
    EXPECT_EQ(std::ftell(in), 0);  // nothing was read
    std::fclose(in);
    TestFolder dir{"korvad-record-list"};
    EXPECT_FALSE(list.save_file(dir.file("chat.db")));
    EXPECT_EQ(dir.entry_count(), 0u);  // nothing was written
    EXPECT_EQ(list.count(), 5);
}

// --- Slots, limit and growth ---------------------------------------------

TEST(RecordListSlots, LimitGrowsByDeltaAndSetLimitNeverGoesBelowCount) {
    StringList list = make_string_list(2, 3);
    for (const char* text : {"a", "b"}) ASSERT_TRUE(add_text(list, text));
    EXPECT_EQ(list.limit(), 2);
    ASSERT_TRUE(add_text(list, "c"));
    EXPECT_EQ(list.limit(), 5);
    list.set_limit(1);
    EXPECT_EQ(list.limit(), 3);
    list.set_limit(INT32_MAX);
    EXPECT_EQ(list.limit(), kListLimitMax);

    // Emptying for a reload.
    list.free_all();
    EXPECT_EQ(list.limit(), kListLimitMax);
    list.pack();
    list.set_limit(0);
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
    StringList frozen = make_string_list(5, 3);
    ASSERT_TRUE(load_from(frozen, Bytes(13, 0)));
    EXPECT_EQ(frozen.delta(), 0);
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
    list.remove_at(3);
    list.remove_at(-1);
    EXPECT_EQ(texts(list), (std::vector<std::string>{"a", "<none>", "c"}));
    list.pack();
    EXPECT_EQ(texts(list), (std::vector<std::string>{"a", "c"}));
}

// --- File form ----------------------------------------------------------

TEST(RecordListFile, ReferenceListHasTheDocumentedBytes) {
    // clang-format off
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
    // clang-format on
    TestFolder dir{"korvad-record-list"};
    ReferenceList list = make_reference_list(4, 10);
    std::unique_ptr<ReferenceEntry> entries[] = {
        reference("B", "", -2), reference("AC", nullptr, 258), reference("AB", "Route 1", 0)};
    for (auto& entry : entries) ASSERT_TRUE(list.add(entry));
    ASSERT_TRUE(list.save_file(dir.file("flights.db")));
    EXPECT_EQ(read_file(dir.file("flights.db")), file);
    EXPECT_EQ(dir.entry_count(), 1u);  // no temporary file left behind

    write_file(dir.file("by-hand.db"), file);
    ReferenceList back = make_reference_list(1, 1);
    EXPECT_EQ(back.load_file(dir.file("absent.db")), LoadResult::not_opened);
    ASSERT_EQ(back.load_file(dir.file("by-hand.db")), LoadResult::loaded);
    ASSERT_EQ(back.count(), 3);
    EXPECT_EQ(back.limit(), 4);
    EXPECT_EQ(back.delta(), 10);
    EXPECT_EQ(*back.at(0)->value, "Route 1");
    EXPECT_FALSE(back.at(1)->value.has_value());
    EXPECT_EQ(back.at(1)->tally, 258);
    EXPECT_FALSE(back.at(2)->value.has_value());  // "" came back as none
    EXPECT_EQ(back.at(2)->tally, -2);
}

TEST(RecordListFile, StringListWritesEmptyAsNoneAndReadsItBackAsAnEmptySlot) {
    // clang-format off
    const Bytes file = {
        0x02, 0x00, 0x00, 0x00,  // count 2
        0x05, 0x00, 0x00, 0x00,  // limit 5
        0x03, 0x00, 0x00, 0x00,  // delta 3
        0x00,                    // duplicates
        0x00, 0x00, 0x00, 0x00,  // ""
        0x03, 0x00, 0x00, 0x00, 'a', 'b', 'c',
    };
    // clang-format on
    StringList list = make_string_list(5, 3);
    ASSERT_TRUE(add_text(list, "abc"));
    ASSERT_TRUE(add_text(list, ""));
    EXPECT_EQ(stored(list), file);
    StringList back = make_string_list(5, 3);
    ASSERT_TRUE(load_from(back, file));
    EXPECT_EQ(texts(back), (std::vector<std::string>{"<none>", "abc"}));
}

TEST(RecordListFile, LoadTakesLimitDeltaAndDuplicatesFromTheFile) {
    // count 2 with a stored limit below it, equal, above, and above the ceiling.
    for (auto [limit, expected] : {std::pair<std::uint32_t, std::int32_t>{1, 2},
                                   {2, 2},
                                   {9, 9},
                                   {0x7fffffff, kListLimitMax},
                                   {0x20000000, kListLimitMax}}) {
        Bytes file;
        for (std::uint32_t v : {2u, limit, 77u}) le32(file, v);
        file.push_back(1);
        for (char text : {'x', 'y'}) {
            le32(file, 1);
            file.push_back(static_cast<unsigned char>(text));
        }
        StringList list = make_string_list(3, 5);
        ASSERT_TRUE(load_from(list, file)) << limit;
        EXPECT_EQ(list.limit(), expected) << limit;
        EXPECT_EQ(list.delta(), 77);
        EXPECT_EQ(list.duplicates(), 1);
    }
}

TEST(RecordListFile, LoadReplacesEntriesAndSortsAFileOutOfOrder) {
    Bytes file;
    for (std::uint32_t v : {3u, 3u, 1u}) le32(file, v);
    file.push_back(0);
    for (char text : {'c', 'a', 'b'}) {
        le32(file, 1);
        file.push_back(static_cast<unsigned char>(text));
    }
    StringList list = make_string_list(5, 3);
    ASSERT_TRUE(add_text(list, "old"));
    ASSERT_TRUE(load_from(list, file));
    EXPECT_EQ(texts(list), (std::vector<std::string>{"a", "b", "c"}));
}

// --- Damaged files ----------------------------------------------------------

TEST(RecordListDamage, EveryTruncationIsRefusedAndChangesNothing) {
    ReferenceList list = populated();
    EXPECT_EQ(accepted_or_changed_prefixes(list, stored(populated())), 0);
    EXPECT_EQ(list.limit(), 7);
    EXPECT_EQ(list.delta(), 4);
}

TEST(RecordListDamage, ImpossibleCountsLimitsAndLengthsAreRefused) {
    auto header = [](std::uint32_t count, std::uint32_t limit) {
        Bytes file;
        for (std::uint32_t v : {count, limit, 10u}) le32(file, v);
        file.push_back(0);
        return file;
    };
    // One reference item whose key has the given length and bytes behind it.
    auto with_key = [&](std::uint32_t length, std::size_t present) {
        Bytes file = header(1, 1);
        le32(file, length);
        file.insert(file.end(), present, 'x');
        le32(file, 0);  // value: none
        le32(file, 0);  // tally
        return file;
    };
    Bytes huge_count = header(0x1fffffff, 0x1fffffff);
    le32(huge_count, 1);  // then one complete item only: {"k", none, 0}
    huge_count.push_back('k');
    le32(huge_count, 0);
    le32(huge_count, 0);
    std::vector<std::pair<const char*, Bytes>> cases = {
        {"negative count", header(0xffffffff, 10)},
        {"count above the ceiling", header(0x20000000, 0x20000000)},
        {"huge count, one item", huge_count},
        {"negative limit", header(0, 0xfffffff0)},
        {"negative string length", with_key(0x80000000, 0)},
        {"string length beyond the file", with_key(0x7fffffff, 100)},
        {"string length above the cap", with_key(kMaxStoredString + 1, kMaxStoredString + 1)},
    };
    ReferenceList list = populated();
    const Bytes before = stored(list);
    for (const auto& [name, file] : cases) {
        EXPECT_FALSE(load_from(list, file)) << name;
        EXPECT_EQ(stored(list), before) << name;
    }
    ASSERT_TRUE(load_from(list, with_key(kMaxStoredString, kMaxStoredString)));
}

TEST(RecordListDamage, RandomBytesNeverBreakTheList) {
    std::mt19937 random(20240611);
    const Bytes before = stored(populated());
    int accepted = 0;
    for (int round = 0; round < 3000; ++round) {
        Bytes file = before;
        if (round % 2 == 0) {
            file.resize(random() % 64 + 4);
            for (auto& byte : file) byte = static_cast<unsigned char>(random());
            file[1] = file[2] = file[3] = 0;  // a small count, so items get read too
        } else {
            for (int flips = 0; flips < 3; ++flips)
                file[random() % file.size()] ^= static_cast<unsigned char>(random());
        }
        ReferenceList target = populated();
        if (load_from(target, file)) {
            ++accepted;
            EXPECT_TRUE(target.is_ordered());
        } else {
            ASSERT_EQ(stored(target), before) << "round " << round;
        }
    }
    EXPECT_GT(accepted, 0);  // some flips hit only text bytes
}

// --- Failing writes --------------------------------------------------------

// A stream that takes `left` bytes and then fails, like a full disk.
ssize_t budget_write(void* cookie, const char*, size_t size) {
    auto* left = static_cast<std::size_t*>(cookie);
    if (size > *left) {
        errno = ENOSPC;
        return -1;
    }
    *left -= size;
    return static_cast<ssize_t>(size);
}

TEST(RecordListSave, StoreReportsAFailingStream) {
    ReferenceList list = populated();
    const std::size_t full = stored(list).size();
    for (std::size_t budget : {std::size_t{0}, std::size_t{5}, std::size_t{13}, full - 1}) {
        cookie_io_functions_t io{};
        io.write = &budget_write;
        std::FILE* out = fopencookie(&budget, "wb", io);
        ASSERT_NE(out, nullptr);
        std::setvbuf(out, nullptr, _IONBF, 0);
        EXPECT_FALSE(list.store(out)) << budget;
        std::fclose(out);
    }
}

TEST(RecordListSave, AFileSystemErrorKeepsTheOldFile) {
    TestFolder dir{"korvad-record-list"};
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
