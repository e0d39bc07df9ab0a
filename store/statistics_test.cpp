// Daily statistics (offer, count order, window lines) and the new-contact
// register.

#include "store/statistics.h"
#include "message/message_test_util.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "store/collection.h"

namespace korvad {
namespace {

void offer(ReferenceList& list, const char* name, int times) {
    for (int i = 0; i < times; ++i) {
        offer_statistic(list, name != nullptr ? std::optional<std::string>(name) : std::nullopt);
    }
}

TEST(Statistics, OffersCountPerNameAndUnknownNamesTogether) {
    ReferenceList list = make_reference_list(10, 10);
    offer(list, "A320", 2);
    offer(list, nullptr, 1);
    offer(list, "", 1);
    offer(list, "B744", 1);
    ASSERT_EQ(list.count(), 3);
    EXPECT_EQ(list.at(0)->key, "-= unknown =-");
    EXPECT_EQ(list.at(0)->tally, 2);
    EXPECT_EQ(list.at(1)->key, "A320");
    EXPECT_EQ(list.at(1)->value, "1");
    EXPECT_EQ(list.at(1)->tally, 2);
    EXPECT_EQ(list.at(2)->tally, 1);
}

TEST(Statistics, LinesLayTheNameOverDotsAndShowTheWholeTally) {
    EXPECT_EQ(statistics_line(ReferenceEntry{"A320-214", "1", 7}),
              "A320-214......................................0007");
    EXPECT_EQ(statistics_line(ReferenceEntry{"Lufthansa", "1", 10000}),
              "Lufthansa.....................................10000");
    EXPECT_EQ(statistics_line(ReferenceEntry{"-= unknown =-", "1", 123456}),
              "-= unknown =-.................................123456");
    // 46 characters: no dots left. Longer: no dots, and the line stops at 63.
    const std::string exact(46, 'N');
    EXPECT_EQ(statistics_line(ReferenceEntry{exact, "1", 5}), exact + "0005");
    const std::string longer(60, 'L');
    EXPECT_EQ(statistics_line(ReferenceEntry{longer, "1", 5}), longer + "000");
}

TEST(Statistics, CountOrderIsTallyDownThenName) {
    ReferenceList list = make_reference_list(10, 10);
    offer(list, "B744", 3);
    offer(list, "A320", 5);
    offer(list, "A340", 3);
    offer(list, "B738", 3);
    offer(list, "E190", 1);
    list.set_compare(&compare_count_order);
    list.sort();
    std::vector<std::string> order;
    for (const auto& entry : list.entries()) order.push_back(*entry->key);
    EXPECT_EQ(order, (std::vector<std::string>{"A320", "A340", "B738", "B744", "E190"}));
}

std::unique_ptr<Message> first_heard(const char* registration, const char* flight) {
    return testing::build_message({.time = 1709290800,
                                   .day = 1,
                                   .month = 3,
                                   .year = 124,
                                   .mode = '2',
                                   .block_id = '7',
                                   .label = "H1",
                                   .registration = registration,
                                   .message_number = "M01A",
                                   .flight_id = flight,
                                   .text = "POS N50 E008",
                                   .aircraft_type = "A320-214",
                                   .route = "Frankfurt-New York JFK"});
}

TEST(NewContacts, OneEntryPerRegistrationWithCopies) {
    ContactList new_contacts = make_new_contact_register();
    EXPECT_EQ(new_contacts.limit(), 30);
    EXPECT_EQ(new_contacts.delta(), 10);

    auto message = first_heard("DABCD", "LH400");
    EXPECT_TRUE(record_first_contact(new_contacts, *message));

    ASSERT_EQ(new_contacts.count(), 1);
    const Message* entry = new_contacts.at(0);
    EXPECT_EQ(entry->time, 1709290800);
    EXPECT_EQ(entry->mode, '2');
    EXPECT_EQ(entry->block_id, '7');
    EXPECT_EQ(field_text(entry->label), "H1");
    EXPECT_EQ(field_text(entry->message_number), "M01A");
    EXPECT_EQ(field_text(entry->flight_id), "LH400");
    EXPECT_EQ(entry->text, std::nullopt);
    EXPECT_EQ(entry->aircraft_type, "A320-214");
    EXPECT_EQ(entry->route, "Frankfurt-New York JFK");
    EXPECT_EQ(entry->airline, std::nullopt);
    message->aircraft_type = "changed";  // the register holds copies
    EXPECT_EQ(entry->aircraft_type, "A320-214");

    EXPECT_FALSE(record_first_contact(new_contacts, *first_heard("DABCD", "LH402")));
    EXPECT_TRUE(record_first_contact(new_contacts, *first_heard("CGABC", "AC800")));
    ASSERT_EQ(new_contacts.count(), 2);
    EXPECT_EQ(field_text(new_contacts.at(0)->registration), "CGABC");
}

}  // namespace
}  // namespace korvad
