#include "message/message.h"

#include <gtest/gtest.h>

#include <cstring>

namespace korvad {
namespace {

TEST(Message, StartsZeroFilled) {
    auto message = make_message();
    const unsigned char zero[kRegistrationSize] = {};
    EXPECT_EQ(message->time, 0);
    EXPECT_EQ(message->mode, '\0');
    EXPECT_EQ(std::memcmp(message->registration, zero, kRegistrationSize), 0);
    EXPECT_EQ(std::memcmp(message->flight_id, zero, kFlightIdSize), 0);
    EXPECT_FALSE(message->text || message->aircraft_type || message->route || message->airline);
}

TEST(Message, SetFieldCutsTerminatesAndZeroFills) {
    Message message;
    std::memset(message.registration, 'x', kRegistrationSize);
    set_field(message.registration, "N12");
    const char expected[kRegistrationSize] = {'N', '1', '2', 0, 0, 0, 0, 0};
    EXPECT_EQ(std::memcmp(message.registration, expected, kRegistrationSize), 0);

    set_field(message.flight_id, "TOOLONGID");
    EXPECT_STREQ(message.flight_id, "TOOLON");
    set_field(message.label, std::string_view("A\0B", 3));
    EXPECT_EQ(std::memcmp(message.label, "A\0\0", 3), 0);

    // Uplinks carry a blank message number and four blanks as flight id.
    set_field(message.message_number, " ");
    set_field(message.flight_id, "    ");
    EXPECT_EQ(field_text(message.message_number), " ");
    EXPECT_EQ(field_text(message.flight_id), "    ");
}

TEST(Message, FieldTextNeverRunsPastTheField) {
    char unterminated[4] = {'A', 'B', 'C', 'D'};
    EXPECT_EQ(field_text(unterminated), "ABCD");
    char terminated[4] = {'A', 0, 'C', 0};
    EXPECT_EQ(field_text(terminated), "A");
}

}  // namespace
}  // namespace korvad
