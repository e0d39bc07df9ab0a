#include "client/protocol.h"

#include <charconv>

namespace korvad::client {

namespace {

// The text after `prefix`, or nothing when the text does not start with it.
std::optional<std::string_view> after(std::string_view text, std::string_view prefix) {
    if (text.substr(0, prefix.size()) != prefix) return std::nullopt;
    return text.substr(prefix.size());
}

// Reads a number at the start of `text` and moves past it.
std::optional<std::int64_t> take_number(std::string_view& text) {
    std::size_t n = 0;
    if (n < text.size() && text[n] == '-') ++n;
    while (n < text.size() && text[n] >= '0' && text[n] <= '9') ++n;
    auto value = read_number(text.substr(0, n));
    if (value) text.remove_prefix(n);
    return value;
}

// The contact time text out of a client record's header: what stands between
// "[ " and " ]-". A header of another shape is kept whole, less its dashes.
std::string time_of_header(std::string_view header) {
    std::size_t open = header.rfind("[ ");
    std::size_t close = header.rfind(" ]-");
    if (open != std::string_view::npos && close != std::string_view::npos && close > open)
        return std::string(header.substr(open + 2, close - open - 2));
    std::size_t first = header.find_first_not_of('-');
    return first == std::string_view::npos ? std::string() : std::string(header.substr(first));
}

}  // namespace

std::vector<std::string_view> split_fields(std::string_view text) {
    std::vector<std::string_view> fields;
    for (;;) {
        std::size_t tab = text.find('\t');
        fields.push_back(text.substr(0, tab));
        if (tab == std::string_view::npos) return fields;
        text.remove_prefix(tab + 1);
    }
}

std::optional<std::int64_t> read_number(std::string_view text) {
    if (text.empty()) return std::nullopt;
    std::int64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::optional<MessageRecord> parse_message_record(std::string_view text, bool uplink) {
    // Ten tabs end the ten fields before the text; what follows is the text,
    // tabs and all.
    std::string_view field[10];
    for (std::string_view& f : field) {
        std::size_t tab = text.find('\t');
        if (tab == std::string_view::npos) return std::nullopt;
        f = text.substr(0, tab);
        text.remove_prefix(tab + 1);
    }
    MessageRecord r;
    r.uplink = uplink;
    r.time_text = time_of_header(field[0]);
    r.mode = field[1];
    r.registration = field[2];
    r.aircraft_type = field[3];
    r.label = field[4];
    r.block_id = field[5];
    r.message_number = field[6];
    r.flight = field[7];
    r.route = field[8];
    r.airline = field[9];
    r.text = text;
    return r;
}

std::optional<ContactRecord> parse_contact_record(std::string_view text) {
    auto f = split_fields(text);
    if (f.size() != 4) return std::nullopt;
    return ContactRecord{std::string(f[0]), std::string(f[1]), std::string(f[2]),
                         std::string(f[3])};
}

std::optional<StreamContact> parse_stream_contact(std::string_view text) {
    auto f = split_fields(text);
    if (f.size() != 3) return std::nullopt;
    auto time = read_number(f[0]);
    if (!time) return std::nullopt;
    return StreamContact{*time, std::string(f[1]), std::string(f[2])};
}

std::optional<FullRecord> parse_full_record(std::string_view text) {
    auto f = split_fields(text);
    if (f.size() < 14) return std::nullopt;
    FullRecord r;
    auto time = read_number(f[0]);
    auto day = read_number(f[1]);
    auto month = read_number(f[2]);
    auto year = read_number(f[3]);
    if (!time || !day || !month || !year) return std::nullopt;
    r.time = *time;
    r.day = *day;
    r.month = *month;
    r.years_since_1900 = *year;
    r.mode = f[4];
    r.label = f[5];
    r.block_id = f[6];
    r.registration = f[7];
    r.message_number = f[8];
    r.flight = f[9];
    // Fields 10 .. size-4 are the text with its own tabs put back.
    const std::size_t text_end = f.size() - 3;
    const char* from = f[10].data();
    const char* to = f[text_end - 1].data() + f[text_end - 1].size();
    r.text.assign(from, static_cast<std::size_t>(to - from));
    r.aircraft_type = f[text_end];
    r.route = f[text_end + 1];
    r.airline = f[text_end + 2];
    return r;
}

std::optional<CountAndText> parse_count_and_text(std::string_view text) {
    std::size_t tab = text.find('\t');
    if (tab == std::string_view::npos) return std::nullopt;
    auto count = read_number(text.substr(0, tab));
    if (!count) return std::nullopt;
    return CountAndText{*count, std::string(text.substr(tab + 1))};
}

std::optional<Counters> parse_counters(std::string_view text) {
    static constexpr std::string_view kPieces[] = {
        "Good: ", ", Upl: ", ", Err parity: ", ", block: ", ", crc: "};
    std::int64_t values[5] = {};
    for (int i = 0; i < 5; ++i) {
        auto rest = after(text, kPieces[i]);
        if (!rest) return std::nullopt;
        text = *rest;
        auto value = take_number(text);
        if (!value) return std::nullopt;
        values[i] = *value;
    }
    if (!text.empty()) return std::nullopt;
    return Counters{values[0], values[1], values[2], values[3], values[4]};
}

std::optional<Volume> parse_volume(std::string_view text) {
    auto rest = after(text, "=[ Vol: ");
    if (!rest) return std::nullopt;
    text = *rest;
    auto level = take_number(text);
    if (!level) return std::nullopt;
    if (text == ", Extended: ON ]=") return Volume{*level, true};
    if (text == ", Extended: OFF ]=") return Volume{*level, false};
    return std::nullopt;
}

std::optional<Uptime> parse_uptime(std::string_view text) {
    auto counted = parse_count_and_text(text);
    if (!counted) return std::nullopt;
    std::string_view rest = counted->text;
    auto clients = take_number(rest);
    if (!clients || rest != " clients currently connected") return std::nullopt;
    return Uptime{counted->count, *clients};
}

ChatLine parse_chat_line(std::string_view text) {
    std::size_t tab = text.find('\t');
    if (tab == std::string_view::npos) return ChatLine{std::string(), std::string(text)};
    return ChatLine{std::string(text.substr(0, tab)), std::string(text.substr(tab + 1))};
}

std::optional<Presence> parse_presence(std::string_view text) {
    std::size_t last = text.rfind('\t');
    if (last == std::string_view::npos) return std::nullopt;
    std::string_view flag = text.substr(last + 1);
    if (flag != "0" && flag != "1") return std::nullopt;
    std::string_view rest = text.substr(0, last);
    std::size_t tab = rest.find('\t');
    if (tab == std::string_view::npos) return std::nullopt;
    return Presence{std::string(rest.substr(0, tab)), std::string(rest.substr(tab + 1)),
                    flag == "1"};
}

std::vector<std::string> parse_registration_batch(std::string_view text) {
    std::vector<std::string> names;
    while (!text.empty()) {
        std::size_t bar = text.find('|');
        // A batch always ends in "|"; a name without one is still a name.
        names.emplace_back(text.substr(0, bar));
        if (bar == std::string_view::npos) break;
        text.remove_prefix(bar + 1);
    }
    return names;
}

bool take_greeting_packet(Greeting& g, const Packet& packet) {
    const std::string_view text = packet.payload;
    switch (packet.header.code) {
        case code::kStation: {
            auto f = split_fields(text);
            if (f.size() != 2) return false;
            auto port = read_number(f[1]);
            if (!port) return false;
            g.station_seen = true;
            g.host = f[0];
            g.port = *port;
            return true;
        }
        case code::kDatabaseSizes: {
            auto f = split_fields(text);
            if (f.size() != 4) return false;
            std::int64_t n[4];
            for (int i = 0; i < 4; ++i) {
                auto value = read_number(f[static_cast<std::size_t>(i)]);
                if (!value) return false;
                n[i] = *value;
            }
            g.sizes_seen = true;
            g.flights = n[0];
            g.airlines = n[1];
            g.types = n[2];
            g.airports = n[3];
            return true;
        }
        case code::kCollectionSize: {
            auto entries = read_number(text);
            if (!entries) return false;
            g.collection_entries = *entries;
            return true;
        }
        case code::kVersion: {
            // "korvad 1.oo\n<notice>\t "
            std::size_t line_end = text.find('\n');
            std::string_view first = text.substr(0, line_end);
            std::size_t blank = first.find(' ');
            g.program = first.substr(0, blank);
            g.version =
                blank == std::string_view::npos ? std::string_view() : first.substr(blank + 1);
            std::string_view notice =
                line_end == std::string_view::npos ? std::string_view() : text.substr(line_end + 1);
            std::size_t tab = notice.rfind('\t');
            if (tab != std::string_view::npos) notice = notice.substr(0, tab);
            g.notice = notice;
            return true;
        }
        case code::kValidOnly:
        case code::kAllMessages:
            g.valid_only = packet.header.code == code::kValidOnly;
            return true;
        case code::kNoReports:
            g.reports = false;
            return true;
        case code::kNoCorrections:
            g.corrections = false;
            return true;
        case code::kNoMailing:
            g.mailing = false;
            return true;
        case code::kFrequency:
            g.frequency = std::string(text);
            return true;
        default:
            return false;
    }
}

bool is_plain_file_name(std::string_view name) {
    if (name.empty() || name == "." || name == ".." || name.size() > kPacketTextMax) return false;
    return name.find_first_of(std::string_view("/\0\n\r", 4)) == std::string_view::npos;
}

bool is_plain_field(std::string_view text, std::size_t max) {
    if (text.size() > max) return false;
    return text.find_first_of(std::string_view("\t\n\r\0", 4)) == std::string_view::npos;
}

}  // namespace korvad::client
