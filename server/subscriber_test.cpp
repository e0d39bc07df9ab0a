#include "server/subscriber.h"

#include <gtest/gtest.h>

#include "store/record_list_test.h"

namespace korvad {
namespace {

using namespace list_test;

std::unique_ptr<Subscriber> subscriber(const char* email, std::uint8_t flags, std::int32_t code) {
    auto record = std::make_unique<Subscriber>();
    if (email != nullptr) record->email = email;
    record->flags = flags;
    record->auth_code = code;
    return record;
}

// "korvad-reports.db" with two subscribers, in address order without regard
// to case: "alice@x" before "Bob@y" (byte order would put "B" first).
// clang-format off
const Bytes kReports = {
    0x02, 0x00, 0x00, 0x00,  // count 2
    0x1e, 0x00, 0x00, 0x00,  // limit 30
    0x05, 0x00, 0x00, 0x00,  // delta 5
    0x00,                    // duplicates
    0x07, 0x00, 0x00, 0x00, 'a', 'l', 'i', 'c', 'e', '@', 'x',
    0x06,                    // SUB_ACTIVE | SUB_ANAD
    0x00, 0xf1, 0x53, 0x65,  // auth_code 1700000000
    0x05, 0x00, 0x00, 0x00, 'B', 'o', 'b', '@', 'y',
    0x01,                    // SUB_PENDING
    0xff, 0xff, 0xff, 0xff,  // auth_code -1
};
// clang-format on

TEST(SubscriberList, FileHasTheDocumentedBytesAndReadsBack) {
    SubscriberList list = make_subscriber_list(30, 5);
    auto bob = subscriber("Bob@y", SUB_PENDING, -1);
    auto alice = subscriber("alice@x", SUB_ACTIVE | SUB_ANAD, 1700000000);
    ASSERT_TRUE(list.add(bob));
    ASSERT_TRUE(list.add(alice));
    EXPECT_EQ(stored(list), kReports);

    SubscriberList back = make_subscriber_list(1, 1);
    ASSERT_TRUE(load_from(back, kReports));
    ASSERT_EQ(back.count(), 2);
    EXPECT_EQ(back.at(0)->email, "alice@x");
    EXPECT_EQ(back.at(0)->flags, SUB_ACTIVE | SUB_ANAD);
    EXPECT_EQ(back.at(0)->auth_code, 1700000000);
    EXPECT_EQ(back.at(1)->email, "Bob@y");
    EXPECT_EQ(back.at(1)->flags, SUB_PENDING);
    EXPECT_EQ(back.at(1)->auth_code, -1);
    EXPECT_EQ(back.limit(), 30);
    EXPECT_EQ(back.delta(), 5);
}

TEST(SubscriberList, AddressesDifferingOnlyInCaseAreOneSubscriber) {
    SubscriberList list = make_subscriber_list(30, 5);
    auto first = subscriber("Pilot@Example.ORG", SUB_PENDING, 1000);
    ASSERT_EQ(list.insert_unique(first), SubscriberList::kInserted);
    auto second = subscriber("pilot@example.org", SUB_PENDING, 2000);
    EXPECT_EQ(list.insert_unique(second), 0);
    EXPECT_EQ(list.count(), 1);
    EXPECT_EQ(list.at(0)->auth_code, 1000);
    SearchResult found = list.search(*subscriber("PILOT@EXAMPLE.ORG", 0, 0));
    EXPECT_TRUE(found.found);
}

TEST(SubscriberList, EveryTruncationIsRefusedAndChangesNothing) {
    SubscriberList list = make_subscriber_list(30, 5);
    auto kept = subscriber("kept@z", SUB_ACTIVE, 7);
    ASSERT_TRUE(list.add(kept));
    EXPECT_EQ(accepted_or_changed_prefixes(list, kReports), 0);
}

}  // namespace
}  // namespace korvad
