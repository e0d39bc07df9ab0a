// Message processing: record choice, the Message, lookups, repeat check and
// every output of one decoded message.

#include "message/process.h"

#include <md5.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include "control/queue/codes.h"
#include "message/formats.h"
#include "message/notices.h"
#include "store/collection.h"
#include "store/reference.h"
#include "store/statistics.h"

namespace korvad {
namespace {

constexpr int kLastChar = kFrameRecordChars - 1;  // 512: a record holds no more

// What kind of message the chosen record carries; the text forms read it.
struct MessageKind {
    bool squitter = false;
    bool uplink = false;
    bool downlink() const { return !squitter && !uplink; }
};

// Colours of the message window.
constexpr ColourPair kMessagePair = ColourPair::kWhiteOnBlack;
constexpr ColourPair kFailedPair = ColourPair::kRedOnBlack;
constexpr ColourPair kContactPair = ColourPair::kYellowOnBlack;
constexpr ColourPair kBannerPair = ColourPair::kCyanOnBlack;

// Characters first..last of the record as text (never past entry 512).
std::string characters(const FrameRecord& r, int first, int last) {
    std::string text;
    for (int i = first; i <= std::min(last, kLastChar); ++i)
        text.push_back(static_cast<char>(r.chars[i].ch));
    return text;
}

// Registration: characters 5 to 11 without their '.' fill, trailing blanks cut.
std::string registration_of(const FrameRecord& r) {
    std::string registration;
    for (char c : characters(r, kAddressFirst, kAddressLast)) {
        if (c != '.') registration.push_back(c);
    }
    registration = registration.substr(0, registration.find('\0'));
    while (!registration.empty() && registration.back() == ' ') registration.pop_back();
    return registration;
}

// The text from its first character up to end_index inclusive, stopping
// before an ETX or ETB (or a NUL, which ends a text). Kept only when longer
// than 2 characters.
std::optional<std::string> text_of(const FrameRecord& r) {
    const int first = (r.uplink || r.squitter) ? kUplinkTextStart : kDownlinkTextStart;
    const int last = std::min(r.end_index, kLastChar);
    std::string text;
    for (int i = first; i <= last; ++i) {
        const std::uint8_t c = r.chars[i].ch;
        if (c == kEtx || c == kEtb || c == 0) break;
        text.push_back(static_cast<char>(c));
    }
    if (text.size() <= 2) return std::nullopt;
    return text;
}

// The Message of the chosen record: time, fields and text.
std::unique_ptr<Message> build_message(const MessageContext& c, const FrameRecord& r) {
    auto m = make_message();
    m->time = static_cast<std::int32_t>(c.now);
    const std::time_t time = m->time;
    std::tm local{};
    if (localtime_r(&time, &local) != nullptr) {
        m->day = local.tm_mday;
        m->month = local.tm_mon + 1;
        m->year = local.tm_year;
    }
    m->mode = static_cast<char>(r.chars[kModeIndex].ch);
    m->block_id = static_cast<char>(r.chars[kBlockIdIndex].ch);
    set_field(m->registration, registration_of(r));
    set_field(m->label, characters(r, kLabelFirst, kLabelLast));
    if (!r.uplink && !r.squitter) {
        set_field(m->message_number, characters(r, kMessageNumberFirst, kMessageNumberLast));
        set_field(m->flight_id, characters(r, kFlightIdFirst, kFlightIdLast));
    }
    if ((r.error_flags & MSG_ERR_EXT) == 0) m->text = text_of(r);
    if (r.squitter) {
        set_field(m->registration, "_______");
    } else if (r.uplink) {
        set_field(m->message_number, " ");
        set_field(m->flight_id, "    ");
    }
    return m;
}

// The reference databases' texts: the aircraft type (not for a squitter),
// and for a downlink its route (with airport names) and airline.
void enrich(const MessageContext& c, Message& m, const MessageKind& kind) {
    if (!c.stores.databases || kind.squitter) return;
    ReferenceDatabases& databases = *c.stores.databases;
    m.aircraft_type = lookup_reference(databases.types, field_text(m.registration));
    if (kind.uplink) return;
    const std::string_view flight_id = field_text(m.flight_id);
    m.route = lookup_reference(databases.flights, flight_id);
    m.airline = lookup_reference(databases.airlines, flight_id.substr(0, 2));
    if (m.route) {
        m.route = expand_route(std::move(*m.route), databases, c.options.translate_airports);
    }
}

FormatInputs format_inputs(const MessageContext& c, const MessageKind& kind) {
    FormatInputs in;
    in.squitter = kind.squitter;
    in.uplink = kind.uplink;
    in.extended = c.options.extended;
    if (c.stores.databases) {
        in.ground_stations = &c.stores.databases->ground;
        in.labels = &c.stores.databases->modes;
    }
    return in;
}

// One line on the bottom row of the message window.
void message_line(MessageContext& c, ColourPair pair, int column, bool bold, bool scroll_first,
                  const std::string& text) {
    screen_print(c.screen, Window::kMessage, pair, column, message_last_row(c.screen), bold,
                 scroll_first, "%s", text.c_str());
}

// True when the digest of the screen text was in the register already (the
// text is then a repeat); otherwise the digest is there from now on.
bool seen_before(Stores& stores, const std::string& screen_text) {
    if (!stores.repeats) return false;
    auto digest = std::make_unique<std::string>(message_digest(screen_text));
    return stores.repeats->insert_unique(digest) >= 0;
}

// Extended mode: the contact history line (code 8) and, on a first contact
// of a good message, the new-contact register.
void report_contact(MessageContext& c, const Message& m, bool good) {
    if (!c.stores.collection) return;
    ContactInformation info = contact_information(*c.stores.collection, field_text(m.registration));
    message_line(c, kContactPair, 1, true, false, info.line);
    (void)c.channel.send(queue_code::kContactHistory, info.line.c_str());
    if (good && info.first_contact && c.stores.new_contacts &&
        record_first_contact(*c.stores.new_contacts, m)) {
        show_first_contact(c.screen, field_text(m.registration));
    }
    if (!c.options.daemon) screen_scroll(c.screen, Window::kMessage);
}

// A pass without a usable record: counted by its least faulty record
// (parity error in the header, else block error) and, outside daemon mode,
// analysed on the screen.
MessageOutcome count_faulty_frame(MessageContext& c, const FrameTable& table) {
    const FrameRecord& worst = *least_faulty(table);
    if ((worst.error_flags & MSG_ERR_ALL) != 0) {
        ++c.counters.parity_error_count;
    } else {
        ++c.counters.block_error_count;
    }
    if (c.options.daemon) return MessageOutcome::kFaultyFrame;
    show_fault_analysis(c.screen, worst);
    counters_line(c.screen, c.counters, c.channel);
    return MessageOutcome::kFaultyFrame;
}

// The banner of an uplink or squitter, the warning of a failed check, then
// the screen text. False when -k refuses a message that is not good: it is
// shown once and goes no further.
bool show(MessageContext& c, const MessageKind& kind, bool good, bool text_parity_error,
          const std::string& screen_text) {
    if (kind.squitter) message_line(c, kBannerPair, 1, true, true, "-=[ Squitter message ]=-");
    if (kind.uplink) message_line(c, kBannerPair, 1, true, true, "-=[ Uplink message ]=-");
    const bool downlink = kind.downlink();
    if (!good) {
        ++c.counters.crc_error_count;
        if (c.options.checksum_only) {
            message_line(c, kFailedPair, 0, true, downlink, screen_text);
            if (!c.options.daemon) screen_refresh(c.screen, Window::kMessage);
            return false;
        }
        message_line(c, kFailedPair, 1, true, true,
                     "FCB checksum doesn't match for the following message");
    }
    message_line(c, kMessagePair, 0, text_parity_error, downlink, screen_text);
    return true;
}

// The client record for the server (6 uplink, 18 otherwise); none for a
// squitter.
void send_client_record(MessageContext& c, const Message& m, const MessageKind& kind,
                        const FormatInputs& inputs) {
    if (kind.squitter) return;
    (void)c.channel.send(kind.uplink ? queue_code::kUplink : queue_code::kMessage,
                         client_record(m, inputs).c_str());
}

// One datagram per destination; a destination's first failure is told once
// on the status window, later ones are only counted.
void send_to_feed(MessageContext& c, const Message& m, const FrameRecord& r) {
    const std::string object = feed_object(m, r, c.frame, c.feed->station);
    for (const FeedFailure& f : feed_send(*c.feed, object)) {
        if (!f.first) continue;
        status_line(c.screen, ColourPair::kRedOnBlue, true, "JSON feed to %s: %s",
                    f.destination->name.c_str(), std::strerror(f.error));
    }
}

// The daily log entry, the JSON feed (whether or not a log is open), and
// with -A the ANAD entry.
void log_message(MessageContext& c, const Message& m, const FrameRecord& r,
                 const FormatInputs& inputs) {
    if (std::FILE* log = c.logs.message != nullptr ? *c.logs.message : nullptr) {
        (void)write_log_entry(log, m);
        std::fflush(log);
    }
    if (c.feed != nullptr) send_to_feed(c, m, r);
    std::FILE* anad = c.logs.anad != nullptr ? *c.logs.anad : nullptr;
    if (c.options.anad_log && anad != nullptr) {
        const std::string entry = format_message(m, MessageForm::kAnad, inputs);
        std::fwrite(entry.data(), 1, entry.size(), anad);
        std::fflush(anad);
    }
}

// Counts the message; a good downlink goes on to the collection, which
// offers it to the statistics (the names go to the server, 10 and 13).
MessageOutcome count_and_collect(MessageContext& c, std::unique_ptr<Message> m,
                                 const MessageKind& kind, bool good) {
    if (!kind.downlink()) {
        ++c.counters.uplink_count;
        counters_line(c.screen, c.counters, c.channel);
        return MessageOutcome::kUplink;
    }
    ++c.counters.good_count;
    counters_line(c.screen, c.counters, c.channel);
    if (good) {
        show_addition(c.screen, c.channel, add_to_collection(c.stores, std::move(m), c.counters),
                      c.options.daemon);
    }
    return MessageOutcome::kDownlink;
}

MessageOutcome process(MessageContext& c, const FrameTable& table) {
    if (std::clamp(table.count, 0, kFrameTableSize) == 0) return MessageOutcome::kNoRecord;
    const RecordChoice choice = choose_record(table);
    if (choice.record == nullptr) return count_faulty_frame(c, table);
    const FrameRecord& r = *choice.record;
    const MessageKind kind{r.squitter != 0, r.uplink != 0};

    std::unique_ptr<Message> m = build_message(c, r);
    enrich(c, *m, kind);
    const FormatInputs inputs = format_inputs(c, kind);

    // The screen text is always the value of a "%s".
    const std::string screen_text = format_message(*m, MessageForm::kScreen, inputs);
    if (seen_before(c.stores, screen_text)) return MessageOutcome::kRepeat;
    if (!show(c, kind, choice.good, (r.error_flags & MSG_ERR_EXT) != 0, screen_text)) {
        return MessageOutcome::kCheckFailed;
    }
    send_client_record(c, *m, kind, inputs);
    if (!c.options.daemon) screen_refresh(c.screen, Window::kMessage);
    log_message(c, *m, r, inputs);
    if (c.options.extended && !kind.squitter) report_contact(c, *m, choice.good);
    if (!kind.squitter) {
        (void)c.channel.send(queue_code::kContactRecord, contact_record(*m).c_str());
    }
    return count_and_collect(c, std::move(m), kind, choice.good);
}

}  // namespace

std::string message_digest(std::string_view text) {
    char hex[MD5_DIGEST_STRING_LENGTH] = {};
    MD5Data(reinterpret_cast<const std::uint8_t*>(text.data()), text.size(), hex);
    return std::string(hex, MD5_DIGEST_STRING_LENGTH - 1);
}

MessageOutcome process_message(MessageContext& context, const FrameTable& table) {
    try {
        return process(context, table);
    } catch (const std::bad_alloc&) {
        // The frame is lost; the decoder goes on.
        status_line(context.screen, ColourPair::kRedOnBlue, true, "%s",
                    "Error allocating memory for ACARS data structure!");
        return MessageOutcome::kNoMemory;
    }
}

void handle_pass(void* context, FrameTable& table) {
    if (context == nullptr) return;
    (void)process_message(*static_cast<MessageContext*>(context), table);
}

}  // namespace korvad
