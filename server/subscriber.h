#pragma once
// The report subscriber record and the subscriber list ("korvad-reports.db").
//
// Subscriber item (integers little-endian):
//
//   size  field
//      4  length L of the e-mail address, signed
//      L  the address, no terminator (L = 0: no address)
//      1  flags
//      4  auth_code, signed

#include <cstdint>
#include <optional>
#include <string>

#include "store/record_list.h"

namespace korvad {

// State bits of Subscriber::flags.
inline constexpr std::uint8_t SUB_PENDING = 1;  // subscribed, code not yet confirmed
inline constexpr std::uint8_t SUB_ACTIVE = 2;   // confirmed and on: receives the reports
inline constexpr std::uint8_t SUB_ANAD = 4;     // wants the ANAD-format log

struct Subscriber {
    std::optional<std::string> email;  // as the client sent it
    std::uint8_t flags = 0;
    std::int32_t auth_code = 0;  // time of the subscription, seconds since 1970
};

// Addresses compared without regard to letter case (strcasecmp); none sorts
// as the empty address.
int compare_subscriber_email(const Subscriber& a, const Subscriber& b);

using SubscriberList = RecordList<Subscriber>;

// A subscriber list in address order with the subscriber item codec.
SubscriberList make_subscriber_list(std::int32_t limit, std::int32_t delta);

}  // namespace korvad
