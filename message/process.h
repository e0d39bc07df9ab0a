#pragma once
// Message processing: once for every demodulator pass that filled frame
// records, the best record of the pass becomes a Message that is looked up,
// checked for repeats, shown, sent to the server process, logged, reported as
// a first contact, counted and added to the aircraft collection, in that
// fixed order.
//
// What it does, in this order: choose the record, build the Message, enrich
// it from the reference databases, check for a repeat, show it, send it,
// log it, report a first contact, count it and collect it.
//
// Choice of the record, in fill order:
//   1. error_count 0, terminated, crc 0   the message is good
//   2. error_count 0, terminated          not good (CRC failed)
//   3. error_count 0                      not good (no ETX/ETB)
//   none of these: a faulty frame. The record with the fewest faults is
//   counted (parity error in the header, else block error) and, outside
//   daemon mode, analysed on the screen; no Message is made.
//
// What goes to the server process (type ToServer), while one runs:
//   18 client record of a downlink      6 client record of an uplink
//    8 first-contact line (extended)    9 contact record
//    4 counters line                   10, 13 statistics names of a new
//                                          collection entry
// Squitters are shown, logged and counted with the uplinks, but never sent as
// client or contact record.
//
// Only a good message (its CRC matched) is collected: a message whose check
// failed is shown, sent and logged as a warning says, and counted, but it
// enters neither the aircraft collection (kept for years), nor the
// new-contact register, nor the daily statistics. (A frame damaged by two
// bit errors in one character keeps its parity and may keep every character
// in its set, so only the CRC tells it from the frame that was sent.)
//
// Repeats: the MD5 digest of the screen text (32 lower-case hex digits) goes
// into the repeat register; a text whose digest is already there is dropped
// without any output or count. The main loop empties the register every
// fifth buffer. Without a register no check is made.
//
// The record is read only up to entry 512, whatever end_index says; its
// characters are only ever values of "%s" or "%c".

#include <ctime>
#include <string>
#include <string_view>

#include <cstdio>

#include "control/queue/server_channel.h"
#include "feed/json_feed.h"
#include "message/message.h"
#include "screen/screen.h"
#include "signal/demodulator.h"
#include "signal/frame.h"
#include "store/stores.h"

namespace korvad {

// The settings message processing reads; the main loop copies them from its
// own before each buffer (keys and signals switch some while it runs).
struct MessageOptions {
    bool extended = false;           // -e, key E, SIGUSR1
    bool checksum_only = false;      // -k, key C
    bool anad_log = false;           // -A
    bool daemon = false;             // -c: no screen
    bool translate_airports = true;  // not -v
};

// The daily logs a message is written to: the caller's open files, read at
// the moment of writing (the day change replaces them). Null, or pointing to
// null, while a log is not open.
struct MessageLogs {
    std::FILE* const* message = nullptr;  // "korvad-%s.log"
    std::FILE* const* anad = nullptr;     // -A: "ANAD-%s.log"
};

// Everything one run reads and changes. The main loop builds it once and
// sets options and now for each buffer (now is the time stamp of that
// buffer: the time of every message decoded from it).
struct MessageContext {
    MessageOptions options;
    Counters& counters;
    Screen& screen;
    const ServerChannel& channel;
    Stores& stores;
    MessageLogs logs;
    std::time_t now = 0;
    // The JSON feed, when --json-udp was given: every message the log
    // receives goes out there at the same moment, with the facts of the
    // frame it came from (set by the caller for each table).
    JsonFeed* feed = nullptr;
    FrameFacts frame{};
};

// What became of the pass.
enum class MessageOutcome {
    kNoRecord,     // the table held no record
    kFaultyFrame,  // no usable record: counted (and analysed)
    kRepeat,       // dropped: its screen text was seen since the register was emptied
    kCheckFailed,  // -k and not good: shown once, counted as a CRC error, nothing else
    kUplink,       // an uplink or squitter, processed
    kDownlink,     // a downlink, processed (and, when good, offered to the collection)
    kNoMemory,     // an allocation failed; the frame is lost
};

MessageOutcome process_message(MessageContext& context, const FrameTable& table);

// The pass loop's sink: context is a MessageContext.
void handle_pass(void* context, FrameTable& table);
inline PassSink message_sink(MessageContext& context) {
    return PassSink{&handle_pass, &context};
}

// The digest of the repeat check: MD5 of text as 32 lower-case hex digits.
[[nodiscard]] std::string message_digest(std::string_view text);

}  // namespace korvad
