#pragma once
// What message processing shows and sends about the stores it changed: the
// counters line, a new collection entry, a first contact. The stores only
// return what happened (store/collection.h, store/statistics.h); these show
// it on the status window and hand the server process its part.

#include <string_view>

#include "control/queue/server_channel.h"
#include "message/message.h"
#include "screen/screen.h"
#include "store/collection.h"

namespace korvad {

// "-=[ %s ]=-" with the counters text on the top border of the status window
// (row 0, column 3, white on blue, bold); the text goes to the server with
// code 4 while one runs.
void counters_line(Screen& screen, const Counters& counters, const ServerChannel& channel);

// A new collection entry: "Aircraft '%s' was added to your database" with
// the registration drawn bold (yellow on blue) into its blanked gap; the
// type name goes to the server with code 10, then the airline name with 13;
// after a periodic save, unless daemon, "Your ACARS collection contains %d
// entries". Nothing for an addition that did not add.
void show_addition(Screen& screen, const ServerChannel& channel, const CollectionAddition& addition,
                   bool daemon);

// A registration entered into the new-contact register: "First contact
// with '%s'" with the registration drawn bold (yellow on blue) at column 21.
void show_first_contact(Screen& screen, std::string_view registration);

// A status line whose gap of blanks, as wide as text, is filled with text
// drawn bold in yellow on blue at gap_column: the registration lines.
void status_line_with_gap(Screen& screen, const char* format, std::string_view text, int gap_column)
    KORVAD_PRINTF(2, 0);

}  // namespace korvad
