// The text forms of a decoded message and the fault analysis of a frame.

#include "message/formats.h"

#include <algorithm>

#include "common/format.h"
#include "store/collection.h"
#include "store/reference.h"

namespace korvad {
namespace {

// The dash rows as literals, so that every format below reads as it is written.
#define KORVAD_DASH_ROW "----------------------------------------------------------"
#define KORVAD_DASH_ROW_59 "-----------------------------------------------------------"
static_assert(sizeof(KORVAD_DASH_ROW) - 1 == kDashRowLength);
static_assert(sizeof(KORVAD_DASH_ROW_59) - 1 == kDashRowLength + 1);

constexpr const char kContentLine[] = "Message content:-\n";

// Fixed fields as C strings (they are always terminated, field_text makes sure).
std::string field(const char* data, std::size_t size) {
    return std::string(field_text(data, size));
}
template <std::size_t N>
std::string field(const char (&data)[N]) {
    return field(data, N);
}

// A mode or block id of NUL is written as a blank: "%c" with NUL would end
// the text there (or put a NUL byte into the log file).
char shown(char c) {
    return c == '\0' ? ' ' : c;
}

char ascii_upper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// The value of the entry with key in a description table, or none.
std::optional<std::string> table_value(const ReferenceList* table, const std::string& key) {
    if (table == nullptr) return std::nullopt;
    return reference_value(*table, key);
}

const char* or_text(const std::optional<std::string>& value, const char* replacement) {
    return value ? value->c_str() : replacement;
}

constexpr const char* kFlagNames[8] = {"MSG_ERR_ALL", "MSG_ERR_REG", "MSG_ERR_LAB", "MSG_ERR_BLK",
                                       "MSG_ERR_MSG", "MSG_ERR_FLI", "MSG_ERR_EXT", "MSG_ERR_UNK"};

constexpr const char* kControlNames[32] = {"NUL", "SOH", "STX", "ETX", "EOT", "ENQ", "ACK", "BEL",
                                           "BS",  "HT",  "LF",  "VT",  "FF",  "CR",  "SO",  "SI",
                                           "DLE", "DC1", "DC2", "DC3", "DC4", "NAK", "SYN", "ETB",
                                           "CAN", "EM",  "SUB", "ESC", "FS",  "GS",  "RS",  "US"};

// Colour pairs of the fault analysis.
constexpr ColourPair kFieldNamePair = ColourPair::kWhiteOnBlack;
constexpr ColourPair kParityPair = ColourPair::kRedOnBlack;  // a character with a parity error
constexpr ColourPair kGoodCharPair = ColourPair::kGreenOnBlack;
constexpr ColourPair kFlagNamesPair = ColourPair::kCyanOnBlack;
constexpr int kLastChar = kFrameRecordChars - 1;  // 512

// Writes characters one after another on the bottom line of the message
// window, control characters by name, wrapping at the width minus 20.
class CharacterListing {
  public:
    CharacterListing(Screen& screen, int row) : screen_(screen), row_(row) {}

    void put(const FrameChar& c, ColourPair pair) {
        const char* name = control_name(c.ch);
        if (name != nullptr) {
            screen_print(screen_, Window::kMessage, pair, column_, row_, true, false, "<%s>", name);
            column_ += static_cast<int>(std::char_traits<char>::length(name)) + 2;
        } else if (c.ch == kDel) {
            screen_print(screen_, Window::kMessage, pair, column_, row_, true, false, "<DEL>");
            column_ += 5;
        } else {
            screen_print(screen_, Window::kMessage, pair, column_, row_, true, false, "%c",
                         static_cast<char>(c.ch));
            column_ += 1;
        }
        if (column_ >= screen_.columns - 20) {
            screen_scroll(screen_, Window::kMessage);
            column_ = 1;
        }
    }

  private:
    Screen& screen_;
    int row_;
    int column_ = 1;
};

ColourPair pair_of(const FrameChar& c) {
    return c.parity_error ? kParityPair : kGoodCharPair;
}

// One character of a header field at a fixed column.
void put_at(Screen& screen, int row, int column, const FrameChar& c) {
    screen_print(screen, Window::kMessage, pair_of(c), column, row, true, false, "%c",
                 static_cast<char>(c.ch));
}

void put_label(Screen& screen, int row, const char* text) {
    screen_print(screen, Window::kMessage, kFieldNamePair, 1, row, false, false, "%s", text);
}

}  // namespace

std::string header_text(std::time_t time) {
    return format_text("%s[ %s ]-", KORVAD_DASH_ROW, contact_time_text(time).c_str());
}

std::string dotted_registration(std::string_view registration) {
    if (registration.size() >= kDottedRegistrationLength) {
        return std::string(registration.substr(registration.size() - kDottedRegistrationLength));
    }
    return std::string(kDottedRegistrationLength - registration.size(), '.') +
           std::string(registration);
}

std::string mode_description(const ReferenceList* ground_stations, char mode) {
    const char character[2] = {shown(mode), '\0'};
    const std::optional<std::string> station =
        table_value(ground_stations, std::string(1, ascii_upper(character[0])));
    if (!station) return character;
    return format_text("%s [%s]", character, station->c_str());
}

std::string label_description(const ReferenceList* labels, std::string_view label,
                              std::string_view flight_id) {
    std::string label_text(label.substr(0, std::min(label.find('\0'), label.size())));
    std::optional<std::string> meaning = table_value(labels, label_text);
    if (!meaning) {
        std::string airline(flight_id.substr(0, std::min<std::size_t>(2, flight_id.size())));
        meaning = table_value(labels, airline + label_text);
    }
    if (!meaning) return label_text;
    return format_text("%s [%s]", label_text.c_str(), meaning->c_str());
}

std::string format_message(const Message& m, MessageForm form, const FormatInputs& in) {
    const std::string time = contact_time_text(m.time);
    const char* text = m.text ? m.text->c_str() : "";
    const char* content = m.text ? kContentLine : "";
    const std::string label = field(m.label);
    const std::string registration = field(m.registration);

    if (in.squitter) {
        return format_text(
            "\nACARS Mode: %c  Aircraft reg: _______\nMessage Label: SQ Block ID: "
            "[Uplink]\nMessage content:-\n%s\n" KORVAD_DASH_ROW "[%s]-\n",
            shown(m.mode), text, time.c_str());
    }
    if (form == MessageForm::kAnad) {
        const std::string dotted = dotted_registration(registration);
        if (in.uplink) {
            return format_text(
                "\nACARS Mode: %c  Aircraft reg: %s\nMessage Label: %s Block ID: %c "
                "[Uplink]\n%s%s\n" KORVAD_DASH_ROW "[%s]-\n",
                shown(m.mode), dotted.c_str(), label.c_str(), shown(m.block_id), content, text,
                time.c_str());
        }
        return format_text(
            "ACARS mode: %c Aircraft reg: %s\nMessage label: %s Block id: %c Msg. "
            "no: %s\nFlight id: %s%s%s\n" KORVAD_DASH_ROW_59 "[%s]\n\n",
            shown(m.mode), dotted.c_str(), label.c_str(), shown(m.block_id),
            field(m.message_number).c_str(), field(m.flight_id).c_str(),
            m.text ? "\nMessage content:-\n" : "", text, time.c_str());
    }

    const char* type = or_text(m.aircraft_type, "-");
    if (in.uplink) {
        return format_text(
            "\n ACARS Mode: %s  Aircraft reg: %s [%s]\n Message Label: %s Block "
            "ID: %c [Uplink]\n %s%s\n " KORVAD_DASH_ROW "[%s]-\n",
            mode_description(in.ground_stations, m.mode).c_str(), registration.c_str(), type,
            label.c_str(), shown(m.block_id), content, text, time.c_str());
    }

    const std::string mode =
        in.extended ? mode_description(in.ground_stations, m.mode) : std::string(1, shown(m.mode));
    const std::string flight_id = field(m.flight_id);
    const std::string label_shown =
        in.extended ? label_description(in.labels, label, flight_id) : label;
    if (m.text) {
        return format_text(
            "\n ACARS mode: %s  Aircraft reg: %s [%s]\n Message label: %s Block "
            "id: %c  Message number: %s\n Flight number: %s  Flight: %s\n "
            "Operator: %s\n Message content: -\n %s\n " KORVAD_DASH_ROW "[ %s ]-\n",
            mode.c_str(), registration.c_str(), type, label_shown.c_str(), shown(m.block_id),
            field(m.message_number).c_str(), flight_id.c_str(), or_text(m.route, "unknown"),
            or_text(m.airline, "-"), text, time.c_str());
    }
    return format_text(
        "\n ACARS mode: %s  Aircraft reg: %s [%s]\n Message label: %s Block id: "
        "%c  Message number: %s\n Flight number: %s  Flight: %s\n Operator: %s\n " KORVAD_DASH_ROW
        "[ %s ]-\n",
        mode.c_str(), registration.c_str(), type, label_shown.c_str(), shown(m.block_id),
        field(m.message_number).c_str(), flight_id.c_str(), or_text(m.route, "unknown"),
        or_text(m.airline, "-"), time.c_str());
}

bool write_log_entry(std::FILE* log, const Message& m) {
    if (log == nullptr) return false;
    bool ok = std::fprintf(log, "%s[ %s ]-\nACARS Mode: %c  Aircraft reg: %s\n", KORVAD_DASH_ROW,
                           contact_time_text(m.time).c_str(), shown(m.mode),
                           field(m.registration).c_str()) >= 0;
    if (m.aircraft_type)
        ok = std::fprintf(log, "Aircraft type: %s\n", m.aircraft_type->c_str()) >= 0 && ok;
    ok = std::fprintf(log, "Message Label: %s Block ID: %c  Message Number: %s\nFlight Number: %s",
                      field(m.label).c_str(), shown(m.block_id), field(m.message_number).c_str(),
                      field(m.flight_id).c_str()) >= 0 &&
         ok;
    if (m.route) ok = std::fprintf(log, "  Flight: %s", m.route->c_str()) >= 0 && ok;
    ok = std::fputs("\n", log) >= 0 && ok;
    if (m.airline) ok = std::fprintf(log, "Operator: %s\n", m.airline->c_str()) >= 0 && ok;
    if (m.text) ok = std::fprintf(log, "Message Content:-\n%s\n", m.text->c_str()) >= 0 && ok;
    ok = std::fputs("\n", log) >= 0 && ok;
    return std::fflush(log) == 0 && ok;
}

std::string client_record(const Message& m, const FormatInputs& in) {
    const std::string header = header_text(m.time);
    const std::string registration = field(m.registration);
    const std::string label = field(m.label);
    const std::string flight_id = field(m.flight_id);
    const std::string number = field(m.message_number);
    if (in.extended) {
        return format_text(
            "%s\t%s\t%s\t%s\t%s\t%c\t%s\t%s\t%s\t%s\t%s", header.c_str(),
            mode_description(in.ground_stations, m.mode).c_str(), registration.c_str(),
            or_text(m.aircraft_type, "-"), label_description(in.labels, label, flight_id).c_str(),
            shown(m.block_id), number.c_str(), flight_id.c_str(), or_text(m.route, "unknown"),
            or_text(m.airline, "-"), or_text(m.text, "-"));
    }
    return format_text("%s\t%c\t%s\t%s\t%s\t%c\t%s\t%s\t%s\t%s\t%s", header.c_str(), shown(m.mode),
                       registration.c_str(), or_text(m.aircraft_type, "-"), label.c_str(),
                       shown(m.block_id), number.c_str(), flight_id.c_str(),
                       or_text(m.route, "unknown"), or_text(m.airline, "-"), or_text(m.text, "-"));
}

std::string contact_record(const Message& m) {
    const std::string flight_id = field(m.flight_id);
    return format_text("%s\t%s\t%s\t%s", or_text(m.aircraft_type, "?"),
                       field(m.registration).c_str(), flight_id.c_str(),
                       m.route ? m.route->c_str() : flight_id.c_str());
}

const char* fault_flag_name(int bit_index) {
    if (bit_index < 0 || bit_index >= 8) return "unknown";
    return kFlagNames[bit_index];
}

const char* control_name(unsigned char c) {
    return c < 32 ? kControlNames[c] : nullptr;
}

void show_fault_analysis(Screen& screen, const FrameRecord& r) {
    const int row = message_last_row(screen);
    const FrameChar* ch = r.chars;
    // Inclusive end of the listings, never past the record.
    const int last = std::min(r.end_index, kLastChar);

    screen_scroll(screen, Window::kMessage);
    std::string names = " ";
    for (int bit = 0; bit < 8; ++bit) {
        if ((r.error_flags & (1 << bit)) != 0) names += format_text("%s ", fault_flag_name(bit));
    }
    if (names.size() > 1) {
        screen_print(screen, Window::kMessage, kFlagNamesPair, 0, row, true, false, "%s",
                     names.c_str());
    }
    screen_scroll(screen, Window::kMessage);

    if (r.error_flags == MSG_ERR_ALL || r.error_flags == (MSG_ERR_ALL | MSG_ERR_EXT)) {
        put_label(screen, row, "ACARS mode:    Aircraft reg: ");
        put_at(screen, row, 13, ch[kModeIndex]);
        for (int i = kAddressFirst; i <= kAddressLast; ++i)
            put_at(screen, row, 30 + (i - kAddressFirst), ch[i]);

        screen_scroll(screen, Window::kMessage);
        put_label(screen, row, "Message label:     Block id:   Msg no:  ");
        put_at(screen, row, 16, ch[kLabelFirst]);
        put_at(screen, row, 17, ch[kLabelLast]);
        put_at(screen, row, 30, ch[kBlockIdIndex]);
        for (int i = kMessageNumberFirst; i <= kMessageNumberLast; ++i)
            put_at(screen, row, 40 + (i - kMessageNumberFirst), ch[i]);

        screen_scroll(screen, Window::kMessage);
        put_label(screen, row, "Flight number:");
        for (int i = kFlightIdFirst; i <= kFlightIdLast; ++i)
            put_at(screen, row, 16 + (i - kFlightIdFirst), ch[i]);

        screen_scroll(screen, Window::kMessage);
        put_label(screen, row, "Message content:-");
        screen_scroll(screen, Window::kMessage);
        CharacterListing listing(screen, row);
        for (int i = kDownlinkTextStart; i <= last; ++i) {
            if (ch[i].ch == kEtx || ch[i].ch == kEtb) break;
            listing.put(ch[i], pair_of(ch[i]));
        }
    } else {
        CharacterListing listing(screen, row);
        for (int i = 0; i <= last; ++i) listing.put(ch[i], kParityPair);
    }
    screen_scroll(screen, Window::kMessage);
}

}  // namespace korvad
