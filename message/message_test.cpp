#include "message/message.h"

#include <gtest/gtest.h>

#include <cstring>

namespace korvad {
namespace {

TEST(Message, StartsZeroFilledAndFixedFieldsStayTerminated) {
    auto message = make_message();
    EXPECT_EQ(field_text(message->registration), "");
    EXPECT_FALSE(message->text || message->aircraft_type || message->route || message->airline);

    std::memset(message->registration, 'x', kRegistrationSize);
    EXPECT_EQ(field_text(message->registration), "xxxxxxxx");  // never past the field
    set_field(message->registration, "N12");
    EXPECT_EQ(std::memcmp(message->registration, "N12\0\0\0\0\0", kRegistrationSize), 0);
    set_field(message->flight_id, "TOOLONGID");
    EXPECT_STREQ(message->flight_id, "TOOLON");
    set_field(message->label, std::string_view("A\0B", 3));
    EXPECT_EQ(std::memcmp(message->label, "A\0\0", kLabelSize), 0);
    // Uplinks carry a blank message number and four blanks as flight id.
    set_field(message->flight_id, "    ");
    EXPECT_EQ(field_text(message->flight_id), "    ");
}

}  // namespace
}  // namespace korvad
