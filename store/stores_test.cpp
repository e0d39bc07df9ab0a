// The stores' files as the main process loads and saves them: damaged files
// recovered item by item and kept aside, things that are no regular file,
// failed saves, links and modes, leftover temporary files.

#include "store/stores.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "common/test_folder.h"

namespace korvad {
namespace {

namespace fs = std::filesystem;

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

// A saved collection of `entries` aircraft, as its file bytes.
std::string collection_bytes(const TestFolder& folder, int entries) {
    ContactList list = make_contact_list(10, 10);
    for (int i = 0; i < entries; ++i) {
        auto m = make_message();
        m->time = 1700000000 + i;
        m->day = 1;
        m->month = 3;
        m->year = 124;
        set_field(m->registration, ("D-AB" + std::to_string(10 + i)).c_str());
        set_field(m->flight_id, "LH0400");
        m->text = "text of message " + std::to_string(i);
        EXPECT_EQ(list.insert_unique(m), ContactList::kInserted);
    }
    const std::string path = folder.file("source.db");
    EXPECT_TRUE(save_collection(list, path));
    return read_file(path);
}

std::string stamp(std::time_t t) {
    char text[32] = {};
    std::tm local{};
    localtime_r(&t, &local);
    std::strftime(text, sizeof text, "%Y%m%d-%H%M%S", &local);
    return text;
}

constexpr std::time_t kNow = 1709290800;  // 1 March 2024

TEST(StoreFiles, DamagedFilesKeepEveryCompleteItemAndEveryDamagedCopy) {
    TestFolder folder{"korvad-stores"};
    const std::string whole = collection_bytes(folder, 3);
    const std::size_t second_item = 13 + (whole.size() - 13) / 3;  // three items of one size
    std::string bad_length = whole;
    bad_length[second_item + kContactFixedSize + 3] = '\x7f';  // text length > 1 MiB
    const struct {
        const char* what;
        std::string bytes;
        int kept, dropped;
    } cases[] = {
        {"cut by one byte", whole.substr(0, whole.size() - 1), 2, 1},
        {"header without its items", whole.substr(0, 13), 0, 3},
        {"a string length out of range in the second item", bad_length, 1, 2},
        {"cut inside the header", whole.substr(0, 7), 0, 0},
    };
    const std::string aside = folder.file("korvad.db.damaged-" + stamp(kNow));
    int copies = 0;
    for (const auto& c : cases) {
        write_file(folder.file("korvad.db"), c.bytes);
        Stores stores;
        set_store_folder(stores, folder.path());
        StoreNotes notes;
        EXPECT_EQ(open_collection(stores, &notes, kNow), LoadResult::damaged) << c.what;
        EXPECT_EQ(stores.collection->count(), c.kept) << c.what;
        // Every damaged copy stays, each under its own name.
        const std::string copy = ++copies == 1 ? aside : aside + "-" + std::to_string(copies);
        ASSERT_EQ(notes.size(), 1u) << c.what;
        EXPECT_EQ(notes[0], "korvad.db is damaged: " + std::to_string(c.kept) + " entries kept, " +
                                std::to_string(c.dropped) +
                                " dropped; the damaged file is kept as " + copy)
            << c.what;
        EXPECT_EQ(read_file(copy), c.bytes) << c.what;
        EXPECT_FALSE(fs::exists(folder.file("korvad.db"))) << c.what;
        // What was kept is saved whole and loads cleanly.
        StoreNotes failures;
        save_and_release_stores(stores, &failures);
        EXPECT_TRUE(failures.empty()) << c.what;
        ContactList reread = make_contact_list(10, 10);
        EXPECT_EQ(load_collection(reread, folder.file("korvad.db")), LoadResult::loaded);
        EXPECT_EQ(reread.count(), c.kept) << c.what;
    }
    EXPECT_EQ(folder.entry_count(), 2u + std::size(cases));  // source, korvad.db and the copies
}

TEST(StoreFiles, SomethingElseAtTheNameIsNeitherReadNorReplaced) {
    TestFolder folder{"korvad-stores"};
    ASSERT_EQ(mkfifo(folder.file("korvad.db").c_str(), 0644), 0);
    fs::create_directory(folder.file("type_statistics.db"));
    Stores stores;
    set_store_folder(stores, folder.path());
    StoreNotes notes;
    // A FIFO with no writer would hang a plain open.
    EXPECT_EQ(open_collection(stores, &notes, kNow), LoadResult::not_opened);
    EXPECT_EQ(open_statistics(stores, &notes, kNow), LoadResult::not_opened);
    EXPECT_EQ(notes, (StoreNotes{"korvad.db not loaded: not a regular file (a FIFO)",
                                 "type_statistics.db not loaded: not a regular file (a folder)"}));
    StoreNotes failures;
    save_and_release_stores(stores, &failures);
    EXPECT_EQ(failures, (StoreNotes{"korvad.db: not a regular file (a FIFO)",
                                    "type_statistics.db: not a regular file (a folder)"}));
    EXPECT_TRUE(fs::is_fifo(folder.file("korvad.db")));
    EXPECT_TRUE(fs::is_directory(folder.file("type_statistics.db")));
    EXPECT_TRUE(fs::is_regular_file(folder.file("airline_statistics.db")));
}

TEST(StoreFiles, SavesReplaceTheTargetOfALinkAndKeepItsMode) {
    TestFolder folder{"korvad-stores"};
    fs::create_directory(folder.file("kept"));
    write_file(folder.file("kept/aircraft.db"), collection_bytes(folder, 2));
    ASSERT_EQ(chmod(folder.file("kept/aircraft.db").c_str(), 0600), 0);
    fs::create_symlink("kept/aircraft.db", folder.file("korvad.db"));
    Stores stores;
    set_store_folder(stores, folder.path());
    EXPECT_EQ(open_collection(stores, nullptr, kNow), LoadResult::loaded);
    EXPECT_EQ(stores.collection->count(), 2);
    stores.collection->remove_at(0);
    EXPECT_TRUE(save_collection_now(stores));
    EXPECT_TRUE(fs::is_symlink(folder.file("korvad.db")));
    struct stat info {};
    ASSERT_EQ(stat(folder.file("kept/aircraft.db").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    ContactList reread = make_contact_list(10, 10);
    EXPECT_EQ(load_collection(reread, folder.file("kept/aircraft.db")), LoadResult::loaded);
    EXPECT_EQ(reread.count(), 1);
    EXPECT_EQ(fs::directory_iterator(folder.file("kept"))->path().filename(), "aircraft.db");
}

TEST(StoreFiles, LeftoverTemporariesOfTheStoresAloneAreRemoved) {
    TestFolder folder{"korvad-stores"};
    for (const char* name :
         {"korvad.db.tmpA1b2C3", "korvad-newregs.db.tmpzzzzzz", "korvad-flights.db.tmp000000",
          "korvad.db.tmpshort", "notes.txt.tmpA1b2C3", "korvad.db"}) {
        write_file(folder.file(name), "x");
    }
    fs::create_directory(folder.file("type_statistics.db.tmpDIRDIR"));
    EXPECT_EQ(remove_leftover_temporaries(folder.path()), 3);
    EXPECT_TRUE(fs::exists(folder.file("korvad.db.tmpshort")));
    EXPECT_TRUE(fs::exists(folder.file("notes.txt.tmpA1b2C3")));
    EXPECT_TRUE(fs::exists(folder.file("korvad.db")));
    EXPECT_TRUE(fs::exists(folder.file("type_statistics.db.tmpDIRDIR")));
    EXPECT_EQ(folder.entry_count(), 4u);
}

}  // namespace
}  // namespace korvad
