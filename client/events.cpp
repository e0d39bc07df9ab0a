#include "client/events.h"

namespace korvad::client {

using nlohmann::json;

namespace {

// Length of the UTF-8 sequence starting at s[i], or 0 when none starts there
// (overlong forms, surrogates and values above U+10FFFF count as none).
std::size_t utf8_sequence(std::string_view s, std::size_t i) {
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char c = byte(i);
    if (c < 0x80) return 1;
    std::size_t n = 0;
    unsigned min = 0;
    unsigned value = 0;
    if (c >= 0xc2 && c <= 0xdf) {
        n = 2, min = 0x80, value = c & 0x1fu;
    } else if (c >= 0xe0 && c <= 0xef) {
        n = 3, min = 0x800, value = c & 0x0fu;
    } else if (c >= 0xf0 && c <= 0xf4) {
        n = 4, min = 0x10000, value = c & 0x07u;
    } else {
        return 0;
    }
    if (i + n > s.size()) return 0;
    for (std::size_t k = 1; k < n; ++k) {
        if ((byte(i + k) & 0xc0u) != 0x80u) return 0;
        value = (value << 6) | (byte(i + k) & 0x3fu);
    }
    if (value < min || value > 0x10ffff || (value >= 0xd800 && value <= 0xdfff)) return 0;
    return n;
}

bool is_utf8(std::string_view s) {
    for (std::size_t i = 0; i < s.size();) {
        std::size_t n = utf8_sequence(s, i);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

json unknown(const Packet& p) {
    return json{{"event", "unknown"},
                {"code", p.header.code},
                {"argument", p.header.argument},
                {"text", text_value(p.payload)}};
}

json event(const char* name, const Packet& p) {
    return json{{"event", name}, {"code", p.header.code}};
}

json with_text(const char* name, const Packet& p, const char* field = "text") {
    json j = event(name, p);
    j[field] = text_value(p.payload);
    return j;
}

}  // namespace

json text_value(std::string_view bytes) {
    if (is_utf8(bytes)) return json(std::string(bytes));
    std::string utf8;
    utf8.reserve(bytes.size() * 2);
    for (char ch : bytes) {
        auto c = static_cast<unsigned char>(ch);
        if (c < 0x80) {
            utf8.push_back(ch);
        } else {
            utf8.push_back(static_cast<char>(0xc0 | (c >> 6)));
            utf8.push_back(static_cast<char>(0x80 | (c & 0x3f)));
        }
    }
    return json(std::move(utf8));
}

std::string json_line(const json& object) {
    return object.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

json message_to_json(const MessageRecord& r) {
    return json{{"event", "message"},
                {"code", r.uplink ? code::kUplink : code::kDownlink},
                {"direction", r.uplink ? "uplink" : "downlink"},
                {"time_text", text_value(r.time_text)},
                {"mode", text_value(r.mode)},
                {"registration", text_value(r.registration)},
                {"aircraft_type", text_value(r.aircraft_type)},
                {"label", text_value(r.label)},
                {"block_id", text_value(r.block_id)},
                {"message_number", text_value(r.message_number)},
                {"flight", text_value(r.flight)},
                {"route", text_value(r.route)},
                {"airline", text_value(r.airline)},
                {"text", text_value(r.text)}};
}

json record_to_json(const FullRecord& r) {
    return json{{"event", "record"},
                {"code", code::kRecord},
                {"time", r.time},
                {"day", r.day},
                {"month", r.month},
                {"years_since_1900", r.years_since_1900},
                {"mode", text_value(r.mode)},
                {"label", text_value(r.label)},
                {"block_id", text_value(r.block_id)},
                {"registration", text_value(r.registration)},
                {"message_number", text_value(r.message_number)},
                {"flight", text_value(r.flight)},
                {"text", text_value(r.text)},
                {"aircraft_type", text_value(r.aircraft_type)},
                {"route", text_value(r.route)},
                {"airline", text_value(r.airline)}};
}

json registration_to_json(std::string_view registration) {
    return json{{"event", "registration"}, {"registration", text_value(registration)}};
}

json error_to_json(int status, std::string_view text) {
    return json{{"event", "error"}, {"status", status}, {"text", text_value(text)}};
}

json greeting_to_json(const Greeting& g) {
    json j{{"event", "station"},
           {"host", text_value(g.host)},
           {"port", g.port},
           {"program", text_value(g.program)},
           {"version", text_value(g.version)},
           {"notice", text_value(g.notice)},
           {"flights", g.flights},
           {"airlines", g.airlines},
           {"types", g.types},
           {"airports", g.airports},
           {"collection_entries", g.collection_entries},
           {"valid_only", nullptr},
           {"reports", g.reports},
           {"corrections", g.corrections},
           {"mailing", g.mailing},
           {"frequency", nullptr}};
    if (g.valid_only) j["valid_only"] = *g.valid_only;
    if (g.frequency) j["frequency"] = text_value(*g.frequency);
    return j;
}

json EventMapper::map(const Packet& p) {
    const std::string_view text = p.payload;
    switch (p.header.code) {
        case code::kStation: {
            Greeting g;
            if (!take_greeting_packet(g, p)) break;
            json j = event("station_address", p);
            j["host"] = text_value(g.host);
            j["port"] = g.port;
            return j;
        }
        case code::kCounters: {
            auto c = parse_counters(text);
            if (!c) break;
            json j = with_text("counters", p);
            j["good"] = c->good;
            j["uplinks"] = c->uplinks;
            j["parity_errors"] = c->parity_errors;
            j["block_errors"] = c->block_errors;
            j["crc_errors"] = c->crc_errors;
            return j;
        }
        case code::kVolume: {
            auto v = parse_volume(text);
            if (!v) break;
            json j = with_text("volume", p);
            j["level"] = v->level;
            j["extended"] = v->extended;
            return j;
        }
        case code::kUplink:
        case code::kDownlink: {
            auto r = parse_message_record(text, p.header.code == code::kUplink);
            if (!r) break;
            return message_to_json(*r);
        }
        case code::kContactNote:
            return with_text("contact_note", p);
        case code::kContactRecord: {
            auto c = parse_contact_record(text);
            if (!c) break;
            json j = event("contact", p);
            j["aircraft_type"] = text_value(c->aircraft_type);
            j["registration"] = text_value(c->registration);
            j["flight"] = text_value(c->flight);
            j["route"] = text_value(c->route);
            return j;
        }
        case code::kTypeCounted:
            return with_text("type_counted", p, "aircraft_type");
        case code::kAirlineCounted:
            return with_text("airline_counted", p, "airline");
        case code::kDatabaseSizes: {
            Greeting g;
            if (!take_greeting_packet(g, p)) break;
            json j = event("database_sizes", p);
            j["flights"] = g.flights;
            j["airlines"] = g.airlines;
            j["types"] = g.types;
            j["airports"] = g.airports;
            return j;
        }
        case code::kCollectionSize: {
            auto n = read_number(text);
            if (!n) break;
            json j = event("collection_size", p);
            j["entries"] = *n;
            return j;
        }
        case code::kContact: {
            auto c = parse_stream_contact(text);
            if (!c || (search_ != "aircraft" && search_ != "flight")) break;
            const bool aircraft = search_ == "aircraft";
            json j = event(aircraft ? "aircraft_contact" : "flight_contact", p);
            j["time"] = c->time;
            j[aircraft ? "flight" : "registration"] = text_value(c->first);
            j[aircraft ? "route" : "aircraft_type"] = text_value(c->second);
            return j;
        }
        case code::kContactsFound:
        case code::kRecordsFound: {
            auto c = parse_count_and_text(text);
            if (!c) break;
            if (p.header.code == code::kRecordsFound)
                search_ = "records";
            else
                search_ = p.header.argument == 1 ? "flight" : "aircraft";
            json j = event("found", p);
            j["search"] = search_;
            j["count"] = c->count;
            j["key"] = text_value(c->text);
            return j;
        }
        case code::kNotFound:
        case code::kNoRecords: {
            json j = event("not_found", p);
            if (p.header.code == code::kNoRecords)
                j["search"] = "records";
            else if (search_ == "aircraft" || search_ == "flight")
                j["search"] = search_;
            else
                j["search"] = nullptr;
            j["key"] = text_value(text);
            return j;
        }
        case code::kNoReports:
            return event("no_reports", p);
        case code::kReportSize: {
            auto n = read_number(text);
            if (!n) break;
            json j = event("report_size", p);
            j["bytes"] = *n;
            return j;
        }
        case code::kReportName:
            return with_text("report_name", p, "name");
        case code::kValidOnly:
        case code::kAllMessages: {
            json j = with_text("checksum_setting", p);
            j["valid_only"] = p.header.code == code::kValidOnly;
            return j;
        }
        case code::kCorrectionAccepted:
        case code::kCorrectionRejected: {
            json j = event("correction", p);
            j["accepted"] = p.header.code == code::kCorrectionAccepted;
            return j;
        }
        case code::kChatLine: {
            ChatLine line = parse_chat_line(text);
            json j = event("chat", p);
            j["nick"] = text_value(line.nick);
            j["text"] = text_value(line.text);
            return j;
        }
        case code::kPresence: {
            auto presence = parse_presence(text);
            if (!presence) break;
            json j = event("presence", p);
            j["nick"] = text_value(presence->nick);
            j["status"] = text_value(presence->status);
            j["in_chat"] = presence->in_chat;
            return j;
        }
        case code::kSubscriptionDone:
        case code::kSubscriptionRefused: {
            json j = with_text("subscription", p);
            j["accepted"] = p.header.code == code::kSubscriptionDone;
            return j;
        }
        case code::kNoMailing:
            return event("no_mailing", p);
        case code::kRegistrationBatch: {
            json names = json::array();
            for (const std::string& name : parse_registration_batch(text))
                names.push_back(text_value(name));
            json j = event("registration_batch", p);
            j["registrations"] = std::move(names);
            return j;
        }
        case code::kRegistrationCount: {
            auto f = split_fields(text);
            if (f.size() != 2) break;
            auto count = read_number(f[0]);
            auto batch = read_number(f[1]);
            if (!count || !batch) break;
            json j = event("registration_count", p);
            j["count"] = *count;
            j["batch"] = *batch;
            return j;
        }
        case code::kRecord: {
            auto r = parse_full_record(text);
            if (!r) break;
            return record_to_json(*r);
        }
        case code::kRecordsEnd:
            return event("records_end", p);
        case code::kBroadcast:
            return with_text("broadcast", p);
        case code::kFrequency:
            return with_text("frequency", p, "frequency");
        case code::kBusy:
            return with_text("busy", p);
        case code::kNotice:
            return with_text("notice", p);
        case code::kNoCorrections:
            return event("no_corrections", p);
        case code::kKeepAliveAnswer:
            return event("keepalive", p);
        case code::kVersion: {
            Greeting g;
            if (!take_greeting_packet(g, p)) break;
            json j = event("version", p);
            j["program"] = text_value(g.program);
            j["version"] = text_value(g.version);
            j["notice"] = text_value(g.notice);
            return j;
        }
        case code::kUptime: {
            auto u = parse_uptime(text);
            if (!u) break;
            json j = event("uptime", p);
            j["seconds"] = u->seconds;
            j["clients"] = u->clients;
            return j;
        }
        case code::kReportChunk: {
            json j = event("report_chunk", p);
            j["bytes"] = p.payload.size();
            return j;
        }
        default:
            break;
    }
    return unknown(p);
}

}  // namespace korvad::client
