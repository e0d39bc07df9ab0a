#pragma once
// The readable forms korvadclient prints without --json.
//
// Texts from the station come from the air and from its stores: before they
// reach a terminal, control characters other than line feed and tab are shown
// in caret form (ESC as "^[", DEL as "^?") and a CR before a LF is dropped, so
// no text can move the cursor or change the terminal's settings.

#include <cstdint>
#include <string>
#include <string_view>

#include "client/protocol.h"

namespace korvad::client {

[[nodiscard]] std::string printable(std::string_view text);

// Seconds since 1970 as the local time "08/12/2026 04:15"; the number itself
// when it has no local time.
[[nodiscard]] std::string contact_time(std::int64_t seconds);

[[nodiscard]] std::string greeting_summary(const Greeting& greeting);  // one line
[[nodiscard]] std::string greeting_table(const Greeting& greeting);    // info: lines

// A decoded message: a heading line, a line of flight details, then the text
// indented; ends with an empty line.
[[nodiscard]] std::string message_block(const MessageRecord& record);

[[nodiscard]] std::string record_block(const FullRecord& record);  // records: one block

[[nodiscard]] std::string chat_text(const ChatLine& line);
[[nodiscard]] std::string presence_text(const Presence& presence);

// A progress bar of `width` cells for done of total bytes, with the figures.
[[nodiscard]] std::string progress_bar(std::int64_t done, std::int64_t total, int width);

}  // namespace korvad::client
