#include "client/text_forms.h"

#include "common/format.h"
#include "common/local_time.h"

namespace korvad::client {

std::string printable(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        if (c == '\n' || c == '\t' || (c >= 0x20 && c != 0x7f)) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('^');
            out.push_back(c == 0x7f ? '?' : static_cast<char>(c + 0x40));
        }
    }
    return out;
}

std::string contact_time(std::int64_t seconds) {
    std::string text = local_time_text(static_cast<std::time_t>(seconds), "%d/%m/%Y %H:%M");
    return text.empty() ? std::to_string(seconds) : text;
}

std::string greeting_summary(const Greeting& g) {
    std::string text = format_text("Connected to %s port %lld", printable(g.host).c_str(),
                                   static_cast<long long>(g.port));
    if (!g.program.empty())
        text += format_text(" (%s %s)", printable(g.program).c_str(), printable(g.version).c_str());
    text += format_text(": %lld aircraft contacts in the collection",
                        static_cast<long long>(g.collection_entries));
    if (g.frequency) text += format_text(", listening on %s", printable(*g.frequency).c_str());
    if (g.valid_only && *g.valid_only) text += ", only messages with a valid checksum";
    return text + "\n";
}

std::string greeting_table(const Greeting& g) {
    auto yes_no = [](bool b) { return b ? "yes" : "no"; };
    std::string text;
    text += format_text("host:          %s\n", printable(g.host).c_str());
    text += format_text("port:          %lld\n", static_cast<long long>(g.port));
    text += format_text("station:       %s %s\n", printable(g.program).c_str(),
                        printable(g.version).c_str());
    if (!g.notice.empty()) text += format_text("notice:        %s\n", printable(g.notice).c_str());
    text += format_text("databases:     %lld flights, %lld airlines, %lld types, %lld airports\n",
                        static_cast<long long>(g.flights), static_cast<long long>(g.airlines),
                        static_cast<long long>(g.types), static_cast<long long>(g.airports));
    text +=
        format_text("collection:    %lld entries\n", static_cast<long long>(g.collection_entries));
    text += format_text("CRC:           %s\n", !g.valid_only ? "not said"
                                               : *g.valid_only
                                                   ? "only messages with a valid checksum are shown"
                                                   : "all messages are shown");
    text += format_text("reports:       %s\n", g.reports ? "a report folder is kept" : "none");
    text += format_text("corrections:   %s\n", yes_no(g.corrections));
    text += format_text("mailing:       %s\n", yes_no(g.mailing));
    text += format_text("frequency:     %s\n",
                        g.frequency ? printable(*g.frequency).c_str() : "not said");
    return text;
}

std::string message_block(const MessageRecord& r) {
    std::string text = format_text(
        "%s  %s  %s [%s]  label %s  block %s  mode %s\n", printable(r.time_text).c_str(),
        r.uplink ? "uplink  " : "downlink", printable(r.registration).c_str(),
        printable(r.aircraft_type).c_str(), printable(r.label).c_str(),
        printable(r.block_id).c_str(), printable(r.mode).c_str());
    if (!r.uplink) {
        text += format_text("  flight %s  message %s  route: %s  airline: %s\n",
                            printable(r.flight).c_str(), printable(r.message_number).c_str(),
                            printable(r.route).c_str(), printable(r.airline).c_str());
    }
    if (r.text != "-") {
        std::string body = printable(r.text);
        while (!body.empty() && body.back() == '\n') body.pop_back();
        std::string indented = "  | ";
        for (char c : body) {
            indented.push_back(c);
            if (c == '\n') indented += "  | ";
        }
        text += indented + "\n";
    }
    return text + "\n";
}

std::string record_block(const FullRecord& r) {
    std::string text = format_text("%s  %s [%s]  flight %s\n", contact_time(r.time).c_str(),
                                   printable(r.registration).c_str(),
                                   printable(r.aircraft_type).c_str(), printable(r.flight).c_str());
    text += format_text("  mode %s  label %s  block %s  message %s\n", printable(r.mode).c_str(),
                        printable(r.label).c_str(), printable(r.block_id).c_str(),
                        printable(r.message_number).c_str());
    text += format_text("  route: %s\n  airline: %s\n", printable(r.route).c_str(),
                        printable(r.airline).c_str());
    if (!r.text.empty()) {
        std::string body = printable(r.text);
        while (!body.empty() && body.back() == '\n') body.pop_back();
        text += "  text:\n    ";
        for (char c : body) {
            text.push_back(c);
            if (c == '\n') text += "    ";
        }
        text += "\n";
    }
    return text + "\n";
}

std::string chat_text(const ChatLine& line) {
    if (line.nick == "SYSTEM") return format_text("* %s\n", printable(line.text).c_str());
    return format_text("<%s> %s\n", printable(line.nick).c_str(), printable(line.text).c_str());
}

std::string presence_text(const Presence& p) {
    return format_text("-- %s %s\n", printable(p.nick).c_str(), printable(p.status).c_str());
}

std::string progress_bar(std::int64_t done, std::int64_t total, int width) {
    if (width < 1) width = 1;
    const int filled =
        total <= 0 ? width : static_cast<int>((done < total ? done : total) * width / total);
    const int percent =
        total <= 0 ? 100 : static_cast<int>((done < total ? done : total) * 100 / total);
    return format_text("[%s%s] %3d%% %lld/%lld bytes", std::string(filled, '#').c_str(),
                       std::string(width - filled, '.').c_str(), percent,
                       static_cast<long long>(done), static_cast<long long>(total));
}

}  // namespace korvad::client
