#pragma once
// Tests only: the one way a test builds a Message by hand. A test names the
// fields it cares about (designated initializers, in the order below) and the
// rest stay as make_message leaves them: zero, empty or none.
//
//   auto m = testing::build_message({.time = kMarch1, .day = 1, .month = 3, .year = 124,
//                                    .registration = "DABCD", .flight_id = "LH400"});

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "message/message.h"

namespace korvad::testing {

struct MessageFields {
    std::int32_t time = 0;
    std::int32_t day = 0;
    std::int32_t month = 0;
    std::int32_t year = 0;  // years since 1900
    char mode = 0;
    char block_id = 0;
    std::string_view label = {};
    std::string_view registration = {};
    std::string_view message_number = {};
    std::string_view flight_id = {};
    std::optional<std::string> text = std::nullopt;
    std::optional<std::string> aircraft_type = std::nullopt;
    std::optional<std::string> route = std::nullopt;
    std::optional<std::string> airline = std::nullopt;
};

// A new Message holding the fields; the fixed ones are cut to their width as
// set_field cuts them.
inline std::unique_ptr<Message> build_message(const MessageFields& fields) {
    auto message = make_message();
    message->time = fields.time;
    message->day = fields.day;
    message->month = fields.month;
    message->year = fields.year;
    message->mode = fields.mode;
    message->block_id = fields.block_id;
    set_field(message->label, fields.label);
    set_field(message->registration, fields.registration);
    set_field(message->message_number, fields.message_number);
    set_field(message->flight_id, fields.flight_id);
    message->text = fields.text;
    message->aircraft_type = fields.aircraft_type;
    message->route = fields.route;
    message->airline = fields.airline;
    return message;
}

// A contact as the collection keeps one: a day of March 2024, registration
// and flight, nothing else.
inline std::unique_ptr<Message> march_contact(std::string_view registration,
                                              std::string_view flight, std::int32_t time, int day) {
    return build_message({.time = time,
                          .day = day,
                          .month = 3,
                          .year = 124,
                          .registration = registration,
                          .flight_id = flight});
}

}  // namespace korvad::testing
