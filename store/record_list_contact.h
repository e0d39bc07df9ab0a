#pragma once
// The contact list: Message records of the aircraft collection, the
// new-contact register and the server's copies, with the contact item codec.
//
// Contact item (integers little-endian, fixed text fields zero-filled after
// their text, so the last byte of each is always 0):
//
//   offset  size  field
//        0     4  time            signed, seconds since 1970
//        4     4  day
//        8     4  month
//       12     4  year            years since 1900
//       16     1  mode
//       17     3  label
//       20     1  block_id
//       21     8  registration
//       29     5  message_number
//       34     7  flight_id
//       41   ...  text, aircraft_type, route, airline: string items
//
// A fixed field read without a terminator gets one in its last byte.

#include <cstdint>
#include <string>

#include "message/message.h"
#include "store/record_list.h"

namespace korvad {

inline constexpr std::size_t kContactFixedSize = 41;  // bytes before the strings
inline constexpr const char* kCollectionFile = "korvad.db";

using ContactList = RecordList<Message>;

// Date order, the natural order of the collection: year, month, day as
// numbers, then registration, then flight_id byte-wise. `time` takes no part.
int compare_date_order(const Message& a, const Message& b);

// A contact list in date order with the contact item codec.
ContactList make_contact_list(std::int32_t limit, std::int32_t delta);

// load_file / save_file of a contact list, "korvad.db" unless a path is given.
[[nodiscard]] LoadResult load_collection(ContactList& list,
                                         const std::string& path = kCollectionFile);
[[nodiscard]] bool save_collection(const ContactList& list,
                                   const std::string& path = kCollectionFile,
                                   std::string* reason = nullptr);

}  // namespace korvad
