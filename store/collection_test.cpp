// The aircraft collection: adding with its statistics offers and periodic
// save; contact information; ranges; delete
// requests; the text form of an entry.

#include "store/collection.h"
#include "message/message_test_util.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/format.h"
#include "common/test_folder.h"
#include "store/stores.h"

namespace korvad {
namespace {

namespace fs = std::filesystem;

// Contact times below are read in UTC.
class UtcZone {
  public:
    UtcZone() {
        setenv("TZ", "UTC", 1);
        tzset();
    }
};

constexpr std::int32_t kMarch1 = 1709290800;  // 2024-03-01 11:00:00 UTC
constexpr std::int32_t kDay = 86400;

std::unique_ptr<Message> downlink(const char* registration, const char* flight, std::int32_t time) {
    std::time_t t = time;
    std::tm utc{};
    gmtime_r(&t, &utc);
    return testing::build_message({.time = time,
                                   .day = utc.tm_mday,
                                   .month = utc.tm_mon + 1,
                                   .year = utc.tm_year,
                                   .mode = '2',
                                   .block_id = '5',
                                   .label = "H1",
                                   .registration = registration,
                                   .message_number = "M01A",
                                   .flight_id = flight});
}

void expect_date_order(const ContactList& collection) {
    EXPECT_EQ(collection.compare(), &compare_date_order);
    EXPECT_TRUE(collection.is_ordered());
}

class CollectionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(folder.path().empty());
        set_store_folder(stores, folder.path());
        ASSERT_EQ(open_collection(stores), LoadResult::not_opened);
        ASSERT_EQ(open_statistics(stores), LoadResult::not_opened);
    }

    AddResult add(std::unique_ptr<Message> message) {
        last = add_to_collection(stores, std::move(message), counters);
        return last.result;
    }

    std::string collection_file() const { return folder.path() + "/korvad.db"; }

    UtcZone zone;
    TestFolder folder{"korvad-collection"};
    Stores stores;
    Counters counters;
    CollectionAddition last;  // of the latest add()
};

TEST_F(CollectionTest, OneEntryPerDayRegistrationAndFlight) {
    EXPECT_EQ(add(downlink("DABCD", "LH400", kMarch1)), AddResult::added);
    EXPECT_EQ(add(downlink("DABCD", "LH400", kMarch1 + 3600)), AddResult::already_present);
    EXPECT_EQ(stores.collection->count(), 1);
    EXPECT_EQ(stores.collection->at(0)->time, kMarch1);  // the first message stays

    EXPECT_EQ(add(downlink("DABCD", "LH402", kMarch1 + 7200)), AddResult::added);  // other flight
    EXPECT_EQ(add(downlink("DABCD", "LH400", kMarch1 + kDay)), AddResult::added);  // next day
    EXPECT_EQ(stores.collection->count(), 3);
    EXPECT_EQ(counters.collection_additions, 3);
    expect_date_order(*stores.collection);
}

TEST_F(CollectionTest, AdditionNamesItsRegistrationAndCountsStatistics) {
    auto message = downlink("N123AB", "UA0901", kMarch1);
    message->aircraft_type = "B777-222";
    ASSERT_EQ(add(std::move(message)), AddResult::added);
    EXPECT_EQ(last.registration, "N123AB");
    EXPECT_EQ(last.type_name, "B777-222");
    EXPECT_EQ(last.airline_name, "-= unknown =-");
    EXPECT_FALSE(last.saved);
    EXPECT_EQ(last.entries, 1);

    ASSERT_TRUE(add(downlink("N123AB", "UA0902", kMarch1)) == AddResult::added);
    const ReferenceList& types = stores.statistics->types;
    const ReferenceList& airlines = stores.statistics->airlines;
    ASSERT_EQ(types.count(), 2);
    EXPECT_EQ(types.at(0)->key, "-= unknown =-");
    EXPECT_EQ(types.at(0)->tally, 1);
    EXPECT_EQ(types.at(1)->key, "B777-222");
    EXPECT_EQ(types.at(1)->value, "1");
    ASSERT_EQ(airlines.count(), 1);
    EXPECT_EQ(airlines.at(0)->key, "-= unknown =-");
    EXPECT_EQ(airlines.at(0)->tally, 2);

    // An entry already present is not counted again.
    EXPECT_EQ(add(downlink("N123AB", "UA0902", kMarch1 + 60)), AddResult::already_present);
    EXPECT_EQ(airlines.at(0)->tally, 2);
}

TEST_F(CollectionTest, EveryThirtyFirstAdditionSavesTheCollection) {
    for (int i = 0; i < 30; ++i) {
        ASSERT_EQ(add(downlink("DABCD", format_text("LH%d", 100 + i).c_str(), kMarch1)),
                  AddResult::added);
    }
    EXPECT_FALSE(fs::exists(collection_file()));
    EXPECT_EQ(counters.collection_additions, 30);
    EXPECT_FALSE(last.saved);

    ASSERT_EQ(add(downlink("DABCD", "LH999", kMarch1)), AddResult::added);
    EXPECT_TRUE(fs::exists(collection_file()));
    EXPECT_EQ(counters.collection_additions, 0);
    EXPECT_TRUE(last.saved);
    EXPECT_FALSE(last.save_failed);
    EXPECT_EQ(last.entries, 31);

    ContactList reread = make_contact_list(10, 10);
    ASSERT_EQ(load_collection(reread, collection_file()), LoadResult::loaded);
    EXPECT_EQ(reread.count(), 31);

    // The next save comes with the sixty-second.
    for (int i = 0; i < 30; ++i) {
        ASSERT_EQ(add(downlink("DABCE", format_text("LH%d", 100 + i).c_str(), kMarch1)),
                  AddResult::added);
    }
    ASSERT_EQ(load_collection(reread, collection_file()), LoadResult::loaded);
    EXPECT_EQ(reread.count(), 31);
    EXPECT_EQ(add(downlink("DABCE", "LH999", kMarch1)), AddResult::added);
    ASSERT_EQ(load_collection(reread, collection_file()), LoadResult::loaded);
    EXPECT_EQ(reread.count(), 62);
    EXPECT_TRUE(last.saved);
}

TEST_F(CollectionTest, ContactInformationCountsEntriesAndNamesTheOldest) {
    ContactInformation first = contact_information(*stores.collection, "DABCD");
    EXPECT_TRUE(first.first_contact);
    EXPECT_EQ(first.line, "First contact with this aircraft");

    ASSERT_EQ(add(downlink("DABCD", "LH402", kMarch1 + kDay)), AddResult::added);
    ASSERT_EQ(add(downlink("DABCD", "LH400", kMarch1)), AddResult::added);
    ASSERT_EQ(add(downlink("DABCD", "LH404", kMarch1 + 600)), AddResult::added);
    ASSERT_EQ(add(downlink("DZZZZ", "LH400", kMarch1 - kDay)), AddResult::added);
    ContactInformation known = contact_information(*stores.collection, "DABCD");
    EXPECT_FALSE(known.first_contact);
    EXPECT_EQ(known.line,
              "3 contacts with this aircraft. First contact: 01/03/2024 11:00 as flight LH400");
    expect_date_order(*stores.collection);
    EXPECT_TRUE(contact_information(*stores.collection, "DABCDEFGH").first_contact);
}

TEST_F(CollectionTest, RangesNeedTheOrderOfTheirKey) {
    ContactList& collection = *stores.collection;
    ASSERT_EQ(add(downlink("DBBBB", "LH400", kMarch1 + 50)), AddResult::added);
    ASSERT_EQ(add(downlink("DAAAA", "LH400", kMarch1 + 10)), AddResult::added);
    ASSERT_EQ(add(downlink("DBBBB", "LH402", kMarch1 + 10)), AddResult::added);
    ASSERT_EQ(add(downlink("DBBBB", "LH404", kMarch1 + kDay)), AddResult::added);
    ASSERT_EQ(add(downlink("DCCCC", "BA100", kMarch1)), AddResult::added);

    EXPECT_EQ(contact_range(collection, "DBBBB", ContactKey::registration).status, -2);
    {
        ScopedOrder<Message> by_registration(collection, &compare_registration_order);
        ContactRange range = contact_range(collection, "DBBBB", ContactKey::registration);
        ASSERT_EQ(range.status, 0);
        EXPECT_EQ(range.first, 1);
        EXPECT_EQ(range.last, 3);
        std::int32_t oldest = oldest_contact(collection, range.first, range.last);
        ASSERT_GE(oldest, 1);
        EXPECT_EQ(collection.at(oldest)->time, kMarch1 + 10);
        EXPECT_EQ(contact_range(collection, "DB", ContactKey::registration).status, -1);
        EXPECT_EQ(contact_range(collection, "DBBBBBBB", ContactKey::registration).status, -1);
        EXPECT_EQ(contact_range(collection, "LH400", ContactKey::flight_id).status, -2);
    }
    expect_date_order(collection);
    {
        ScopedOrder<Message> by_flight(collection, &compare_flight_order);
        ContactRange range = contact_range(collection, "LH400", ContactKey::flight_id);
        ASSERT_EQ(range.status, 0);
        EXPECT_EQ(range.first, 1);
        EXPECT_EQ(range.last, 2);
        EXPECT_EQ(contact_range(collection, "LH4000X", ContactKey::flight_id).status, -1);
    }
    EXPECT_EQ(oldest_contact(collection, 3, 2), -1);
    EXPECT_EQ(oldest_contact(collection, 0, 99), -1);
}

TEST_F(CollectionTest, OldestContactTakesTheLowestPositionOnEqualTimes) {
    ContactList list = make_contact_list(10, 10);
    list.set_compare(&compare_registration_order);
    for (const char* flight : {"LH1", "LH2", "LH3"}) {
        auto message = downlink("DAAAA", flight, flight[2] == '1' ? kMarch1 + 5 : kMarch1);
        ASSERT_EQ(list.insert_at(list.count(), message), true);
    }
    EXPECT_EQ(oldest_contact(list, 0, 2), 1);
}

class DeleteTest : public CollectionTest {
  protected:
    void SetUp() override {
        CollectionTest::SetUp();
        ASSERT_EQ(add(downlink("DABCD", "LH400", kMarch1)), AddResult::added);
        ASSERT_EQ(add(downlink("DABCD", "LH402", kMarch1 + 60)), AddResult::added);
        ASSERT_EQ(add(downlink("DABCD", "LH400", kMarch1 + kDay)), AddResult::added);
        ASSERT_EQ(add(downlink("DXYZW", "LH400", kMarch1)), AddResult::added);
    }

    int remove(std::string& request) {
        int result = delete_contact(request, *stores.collection, code);
        expect_date_order(*stores.collection);
        return result;
    }

    std::optional<std::string> code = "secret";
};

TEST_F(DeleteTest, EachResultAndTheShortenedRequest) {
    std::string malformed = "DABCD LH400";
    EXPECT_EQ(remove(malformed), -2);
    EXPECT_EQ(malformed, "DABCD LH400");

    std::string unknown = "DNONE\tLH400\t1709290800\tsecret";
    EXPECT_EQ(remove(unknown), -1);
    EXPECT_EQ(unknown, "DNONE LH400\t1709290800\tsecret");  // only the first tab changes

    std::string wrong_code = "DABCD\tLH400\t1709290800\tguess";
    EXPECT_EQ(remove(wrong_code), 0);
    EXPECT_EQ(wrong_code, "DABCD LH400");

    std::string no_code = "DABCD\tLH400\t1709290800";
    EXPECT_EQ(remove(no_code), 0);
    EXPECT_EQ(no_code, "DABCD LH400");

    std::string wrong_time = "DABCD\tLH400\t1709290801\tsecret";
    EXPECT_EQ(remove(wrong_time), 0);
    std::string not_a_number = "DABCD\tLH400\t1709290800x\tsecret";
    EXPECT_EQ(remove(not_a_number), 0);
    std::string other_flight = "DABCD\tLH402\t1709290800\tsecret";
    EXPECT_EQ(remove(other_flight), 0);
    std::string only_registration = "DABCD\t";
    EXPECT_EQ(remove(only_registration), 0);
    EXPECT_EQ(only_registration, "DABCD ");
    EXPECT_EQ(stores.collection->count(), 4);

    std::string good = "DABCD\tLH400\t1709290800\tsecret";
    EXPECT_EQ(remove(good), 1);
    EXPECT_EQ(good, "DABCD LH400");
    ASSERT_EQ(stores.collection->count(), 3);
    for (const auto& entry : stores.collection->entries()) {
        EXPECT_FALSE(field_text(entry->registration) == "DABCD" && entry->time == kMarch1 &&
                     field_text(entry->flight_id) == "LH400");
    }
    std::string again = "DABCD\tLH400\t1709290800\tsecret";
    EXPECT_EQ(remove(again), 0);
}

TEST_F(DeleteTest, NothingIsDeletedWithoutADeleteCode) {
    for (std::optional<std::string> none :
         {std::optional<std::string>{}, std::optional<std::string>{""}}) {
        code = none;
        std::string request = "DABCD\tLH400\t1709290800\t";
        EXPECT_EQ(remove(request), 0);
        std::string without = "DABCD\tLH400\t1709290800";
        EXPECT_EQ(remove(without), 0);
    }
    EXPECT_EQ(stores.collection->count(), 4);
}

TEST(ContactText, FieldsInOrderAndMissingStringsEmpty) {
    auto message = testing::build_message({.time = 1709290800,
                                           .day = 1,
                                           .month = 3,
                                           .year = 124,
                                           .mode = '2',
                                           .block_id = '5',
                                           .label = "H1",
                                           .registration = "DABCD",
                                           .message_number = "M01A",
                                           .flight_id = "LH400"});
    EXPECT_EQ(contact_to_text(*message),
              "1709290800\t1\t3\t124\t2\tH1\t5\tDABCD\tM01A\tLH400\t\t\t\t");
    message->text = "POS N50 E008";
    message->aircraft_type = "A320-214";
    message->route = "Frankfurt-New York JFK";
    message->airline = "Lufthansa";
    EXPECT_EQ(contact_to_text(*message),
              "1709290800\t1\t3\t124\t2\tH1\t5\tDABCD\tM01A\tLH400\tPOS N50 E008\tA320-214\t"
              "Frankfurt-New York JFK\tLufthansa");
    message->text = std::string(5000, 'x');
    EXPECT_EQ(contact_to_text(*message).size(), 4095u);
}

TEST(ContactText, ANulModeOrBlockIdIsABlank) {
    auto message = testing::build_message(
        {.time = 1709290800, .day = 1, .month = 3, .year = 124, .label = "SQ"});
    EXPECT_EQ(contact_to_text(*message), "1709290800\t1\t3\t124\t \tSQ\t \t\t\t\t\t\t\t");
}

}  // namespace
}  // namespace korvad
