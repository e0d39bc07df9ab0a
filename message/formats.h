#pragma once
// The text forms of a decoded message: the screen text of the message window,
// the ANAD entry, the daily log entry, the client and contact records for the
// server process, the mode and label descriptions, and the fault analysis of
// a frame that could not be made into a message.
//
// Every form is fixed character for character. Pieces that recur:
//
//   dash row      58 '-' (the downlink ANAD entry has a row of 59)
//   contact time  local time as "%02d/%02m/%Y %02H:%02M", e.g. 08/12/2026 04:15
//   header        dash row, "[ ", contact time, " ]-"
//   dotted reg.   the registration right-aligned in 7 characters behind '.'
//                 fill, as it is sent on the air (N123AB -> .N123AB)
//
// Missing fields are shown as: aircraft type "-" ("?" in the contact record),
// route "unknown" (the flight id in the contact record), airline "-", text "-"
// in the client record (left out elsewhere).
//
// Texts from the air, the stores and the reference files are only ever the
// values of "%s". A mode or block id character that is NUL is written as a
// blank, so that no text form carries a NUL byte that would cut it short.

#include <cstdio>
#include <ctime>
#include <string>
#include <string_view>

#include "message/message.h"
#include "screen/screen.h"
#include "signal/frame.h"
#include "store/record_list.h"

namespace korvad {

inline constexpr std::size_t kDashRowLength = 58;
inline constexpr std::size_t kDottedRegistrationLength = 7;

// What the text forms read besides the Message: the kind of the message in
// hand (squitter, uplink, else a downlink), the extended
// option and the two description tables. A table that is null finds nothing.
struct FormatInputs {
    bool squitter = false;
    bool uplink = false;
    bool extended = false;
    const ReferenceList* ground_stations = nullptr;  // "korvad-ground.db": mode -> station
    const ReferenceList* labels = nullptr;           // "korvad-modes.db": label -> meaning
};

// "%s[ %s ]-" with the dash row and the contact time text (contact_time_text
// of store/collection.h).
[[nodiscard]] std::string header_text(std::time_t time);
// The registration right-aligned in 7 characters, '.' on the left.
[[nodiscard]] std::string dotted_registration(std::string_view registration);

// "%s [%s]" with the mode character and its ground station (looked up with
// the character in upper case), or the mode character alone.
[[nodiscard]] std::string mode_description(const ReferenceList* ground_stations, char mode);
// "%s [%s]" with the label and its meaning, looked up by the label and then
// by the first two characters of the flight id followed by the label (a label
// of one airline); the label alone when neither is known.
[[nodiscard]] std::string label_description(const ReferenceList* labels, std::string_view label,
                                            std::string_view flight_id);

enum class MessageForm : int {
    kScreen = 0,  // the message window (and the repeat check's digest)
    kAnad = 1,    // the ANAD log entry
};

// The screen text or the ANAD entry: squitter, uplink, or downlink (with or
// without text) as the inputs say.
[[nodiscard]] std::string format_message(const Message& message, MessageForm form,
                                         const FormatInputs& inputs);

// Appends the daily log entry piece by piece and flushes. False on a write
// error (or no file).
bool write_log_entry(std::FILE* log, const Message& message);

// Eleven tab-separated fields for the server process; with inputs.extended
// the mode and label descriptions stand in place of the mode and the label.
// Line feeds of the text stay as they are.
[[nodiscard]] std::string client_record(const Message& message, const FormatInputs& inputs);

// "%s\t%s\t%s\t%s": aircraft type or "?", registration, flight id, route or
// the flight id again.
[[nodiscard]] std::string contact_record(const Message& message);

// The names of the fault flags, bit 0x01 first.
[[nodiscard]] const char* fault_flag_name(int bit_index);
// The ASCII name of a control character (below 32), e.g. "SOH"; null for any
// other character.
[[nodiscard]] const char* control_name(unsigned char c);

// Draws the fault analysis of record on the message window, each line at its
// bottom row: the names of the flags set, then either the header fields one
// by one with the text (flags exactly 0x01 or 0x41: parity faults only) or
// every character from the '*' to end_index. Control characters are shown by
// name ("<SOH>", "<DEL>"); lines wrap at the screen width minus 20. Ends with
// a scroll; the caller then shows the counters line. Never reads a character
// past entry 512, whatever end_index says.
void show_fault_analysis(Screen& screen, const FrameRecord& record);

}  // namespace korvad
