#include "store/record_list_contact.h"
#include "message/message_test_util.h"

#include <gtest/gtest.h>

#include <cstring>

#include "store/record_list_test.h"

namespace korvad {
namespace {

using namespace list_test;

std::unique_ptr<Message> contact(std::int32_t day, std::int32_t month, std::int32_t year,
                                 const char* registration, const char* flight_id,
                                 std::int32_t time = 0) {
    return testing::build_message({.time = time,
                                   .day = day,
                                   .month = month,
                                   .year = year,
                                   .registration = registration,
                                   .flight_id = flight_id});
}

// Two entries of "korvad.db", in date order, written out from the item table.
// clang-format off
const Bytes kCollection = {
    0x02, 0x00, 0x00, 0x00,  // count 2
    0xe8, 0x03, 0x00, 0x00,  // limit 1000
    0x64, 0x00, 0x00, 0x00,  // delta 100
    0x00,                    // duplicates
    // A squitter of N123456 on 13/11/2023.
    0x60, 0x6a, 0x52, 0x65,                   // time 1699900000
    0x0d, 0x00, 0x00, 0x00,                   // day 13
    0x0b, 0x00, 0x00, 0x00,                   // month 11
    0x7b, 0x00, 0x00, 0x00,                   // year 123
    'X',                                      // mode
    '_', 'd', 0x00,                           // label
    0x00,                                     // block_id
    'N', '1', '2', '3', '4', '5', '6', 0x00,  // registration
    0x00, 0x00, 0x00, 0x00, 0x00,             // message_number
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, // flight_id
    0x00, 0x00, 0x00, 0x00,                   // text: none
    0x00, 0x00, 0x00, 0x00,                   // aircraft_type: none
    0x00, 0x00, 0x00, 0x00,                   // route: none
    0x00, 0x00, 0x00, 0x00,                   // airline: none
    // DABCD as LH1234 on 14/11/2023.
    0x00, 0xf1, 0x53, 0x65,                   // time 1700000000
    0x0e, 0x00, 0x00, 0x00,                   // day 14
    0x0b, 0x00, 0x00, 0x00,                   // month 11
    0x7b, 0x00, 0x00, 0x00,                   // year 123
    '2',                                      // mode
    'H', '1', 0x00,                           // label
    '5',                                      // block_id
    'D', 'A', 'B', 'C', 'D', 0x00, 0x00, 0x00,  // registration, zero-filled
    'M', '1', '2', 'A', 0x00,                 // message_number
    'L', 'H', '1', '2', '3', '4', 0x00,       // flight_id
    0x05, 0x00, 0x00, 0x00, 'H', 'E', 'L', 'L', 'O',  // text
    0x00, 0x00, 0x00, 0x00,                   // aircraft_type: none
    0x09, 0x00, 0x00, 0x00, 'F', 'r', 'a', 'n', 'k', 'f', 'u', 'r', 't',  // route
    0x00, 0x00, 0x00, 0x00,                   // airline: "" is written as none
};
// clang-format on

TEST(ContactListFile, CollectionHasTheDocumentedBytes) {
    ContactList list = make_contact_list(1000, 100);

    auto later = contact(14, 11, 123, "", "LH1234", 1700000000);
    // Stale bytes behind the registration's terminator must not reach the file.
    std::memcpy(later->registration, "DABCDXYZ", 8);
    later->registration[5] = '\0';
    later->mode = '2';
    set_field(later->label, "H1");
    later->block_id = '5';
    set_field(later->message_number, "M12A");
    later->text = "HELLO";
    later->route = "Frankfurt";
    later->airline = "";
    ASSERT_EQ(list.insert_unique(later), ContactList::kInserted);

    auto earlier = contact(13, 11, 123, "N123456", "", 1699900000);
    earlier->mode = 'X';
    set_field(earlier->label, "_d");
    ASSERT_EQ(list.insert_unique(earlier), ContactList::kInserted);

    TestFolder dir{"korvad-record-list"};
    ASSERT_TRUE(save_collection(list, dir.file("korvad.db")));
    EXPECT_EQ(read_file(dir.file("korvad.db")), kCollection);
}

// Every field of a record on one line; "-" for a string that is none.
std::string describe(const Message& m) {
    auto text = [](const std::optional<std::string>& t) {
        return t ? "[" + *t + "]" : std::string("-");
    };
    return std::to_string(m.time) + " " + std::to_string(m.day) + "/" + std::to_string(m.month) +
           "/" + std::to_string(m.year) + " mode=" + std::string(1, m.mode) + " label=" + m.label +
           " block=" + std::string(m.block_id ? 1 : 0, m.block_id) + " reg=" + m.registration +
           " number=" + m.message_number + " flight=" + m.flight_id + " " + text(m.text) + " " +
           text(m.aircraft_type) + " " + text(m.route) + " " + text(m.airline);
}

TEST(ContactListFile, CollectionReadsBackFromHandWrittenBytes) {
    TestFolder dir{"korvad-record-list"};
    write_file(dir.file("korvad.db"), kCollection);
    ContactList list = make_contact_list(1, 1);
    ASSERT_EQ(load_collection(list, dir.file("korvad.db")), LoadResult::loaded);
    ASSERT_EQ(list.count(), 2);
    EXPECT_EQ(list.limit(), 1000);
    EXPECT_EQ(describe(*list.at(0)),
              "1699900000 13/11/123 mode=X label=_d block= reg=N123456 number= flight= - - - -");
    EXPECT_EQ(describe(*list.at(1)),
              "1700000000 14/11/123 mode=2 label=H1 block=5 reg=DABCD number=M12A flight=LH1234 "
              "[HELLO] - [Frankfurt] -");
}

TEST(ContactListFile, DefaultPathIsKorvadDbInTheWorkingFolder) {
    TestFolder dir{"korvad-record-list"};
    auto previous = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    ContactList list = make_contact_list(1000, 100);
    ASSERT_TRUE(load_from(list, kCollection));
    bool saved = save_collection(list);
    ContactList back = make_contact_list(10, 10);
    LoadResult loaded = load_collection(back);
    std::filesystem::current_path(previous);

    EXPECT_TRUE(saved);
    EXPECT_EQ(read_file(dir.file("korvad.db")), kCollection);
    EXPECT_EQ(loaded, LoadResult::loaded);
    EXPECT_EQ(back.count(), 2);
}

TEST(ContactListFile, UnterminatedFixedFieldsAreCutToTheirWidth) {
    Bytes file(kCollection.begin(), kCollection.begin() + 13 + 41 + 16);  // first item only
    file[0] = 1;
    std::memset(&file[13 + 17], 'L', 3);  // label
    std::memset(&file[13 + 21], 'R', 8);  // registration
    std::memset(&file[13 + 29], 'M', 5);  // message_number
    std::memset(&file[13 + 34], 'F', 7);  // flight_id
    ContactList list = make_contact_list(10, 10);
    ASSERT_TRUE(load_from(list, file));
    EXPECT_STREQ(list.at(0)->label, "LL");
    EXPECT_STREQ(list.at(0)->registration, "RRRRRRR");
    EXPECT_STREQ(list.at(0)->message_number, "MMMM");
    EXPECT_STREQ(list.at(0)->flight_id, "FFFFFF");
}

TEST(ContactListFile, EveryTruncationIsRefusedAndChangesNothing) {
    ContactList list = make_contact_list(5, 5);
    auto kept = contact(1, 2, 100, "GABCD", "BA0001");
    kept->text = "kept";
    ASSERT_TRUE(list.add(kept));
    EXPECT_EQ(accepted_or_changed_prefixes(list, kCollection), 0);
}

// --- Orders -------------------------------------------------------------

TEST(ContactListOrder, DateOrderIsYearMonthDayRegistrationFlightButNotTime) {
    ContactList list = make_contact_list(10, 10);
    std::unique_ptr<Message> records[] = {
        contact(1, 1, 124, "A", "X"),    // next year, earliest month and day
        contact(31, 12, 123, "Z", "X"),  // last day of the earlier year
        contact(2, 12, 123, "Z", "X"),  contact(2, 12, 123, "B", "Y"),
        contact(2, 12, 123, "B", "X"),  contact(9, 11, 123, "B", "X"),
    };
    for (auto& record : records) ASSERT_TRUE(list.add(record));
    std::string order;
    for (const auto& m : list.entries()) {
        order += std::to_string(m->year) + "/" + std::to_string(m->month) + "/" +
                 std::to_string(m->day) + " " + m->registration + " " + m->flight_id + "; ";
    }
    EXPECT_EQ(
        order,
        "123/11/9 B X; 123/12/2 B X; 123/12/2 B Y; 123/12/2 Z X; 123/12/31 Z X; 124/1/1 A X; ");

    // Same day, aircraft and flight at another time: the entry already there.
    auto repeat = contact(2, 12, 123, "B", "Y", 999);
    EXPECT_EQ(list.insert_unique(repeat), 2);
    // Another flight id, or the next day: a new entry.
    auto other_flight = contact(2, 12, 123, "B", "Z");
    EXPECT_EQ(list.insert_unique(other_flight), ContactList::kInserted);
    auto next_day = contact(3, 12, 123, "B", "Y");
    EXPECT_EQ(list.insert_unique(next_day), ContactList::kInserted);
}

int registration_order(const Message& a, const Message& b) {
    return std::strcmp(a.registration, b.registration);
}

TEST(ContactListOrder, SwitchingToRegistrationOrderAndBackKeepsLookupsWorking) {
    ContactList list = make_contact_list(10, 10);
    for (int day = 1; day <= 20; ++day) {
        auto record = contact(day, 5, 123, day % 3 == 0 ? "DAAAA" : "GZZZZ", "F1");
        ASSERT_TRUE(list.add(record));
    }
    {
        ScopedOrder<Message> by_registration(list, &registration_order);
        SearchResult found = list.search(*contact(0, 0, 0, "GZZZZ", ""));
        ASSERT_TRUE(found.found);
        EXPECT_EQ(found.index, 6);  // six DAAAA entries (days 3, 6, .., 18) come first
    }
    EXPECT_TRUE(list.is_ordered());
    auto again = contact(7, 5, 123, "GZZZZ", "F1");
    EXPECT_EQ(list.insert_unique(again), 6);
}

}  // namespace
}  // namespace korvad
