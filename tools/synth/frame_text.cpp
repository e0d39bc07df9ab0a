// The frame-line format: one block per line, key=value fields, escapes for the
// characters a text editor cannot show.

#include <array>
#include <cctype>

#include "common/format.h"
#include "tools/synth/synth.h"

namespace korvad::synth {
namespace {

constexpr std::size_t kShownChars = 24;  // of a faulty token quoted in an error

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

// A token from the file as it may appear in an error message: escaped, cut.
std::string shown(std::string_view token) {
    std::string out;
    for (std::size_t i = 0; i < token.size() && i < kShownChars; ++i) {
        const auto c = static_cast<unsigned char>(token[i]);
        if (c < 0x20 || c >= 0x7F || c == '\\') {
            out += format_text("\\x%02X", static_cast<unsigned>(c));
        } else {
            out += static_cast<char>(c);
        }
    }
    if (token.size() > kShownChars) out += "...";
    return out;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Resolves the escapes of one value. Returns false with a reason on a bad one.
bool unescape(std::string_view in, std::string& out, std::string& error) {
    out.clear();
    for (std::size_t i = 0; i < in.size(); ++i) {
        if (in[i] != '\\') {
            out += in[i];
            continue;
        }
        if (i + 1 >= in.size()) {
            error = "a backslash ends the value (write \\\\ for a backslash)";
            return false;
        }
        const char e = in[++i];
        switch (e) {
            case 'r':
                out += '\r';
                break;
            case 'n':
                out += '\n';
                break;
            case 't':
                out += '\t';
                break;
            case '\\':
                out += '\\';
                break;
            case 'x': {
                const int hi = i + 1 < in.size() ? hex_digit(in[i + 1]) : -1;
                const int lo = i + 2 < in.size() ? hex_digit(in[i + 2]) : -1;
                if (hi < 0 || lo < 0) {
                    error = "\\x needs two hexadecimal digits";
                    return false;
                }
                out += static_cast<char>(hi * 16 + lo);
                i += 2;
                break;
            }
            default:
                error = format_text("unknown escape \\%s (use \\r \\n \\t \\\\ or \\xHH)",
                                    shown(std::string_view(&in[i], 1)).c_str());
                return false;
        }
    }
    return true;
}

void escape_into(std::string& out, std::string_view value, bool in_text) {
    for (std::size_t i = 0; i < value.size(); ++i) {
        const auto c = static_cast<unsigned char>(value[i]);
        // A space survives inside the text, but not at its end, where editors
        // strip it, nor in other fields, where it ends the value.
        const bool plain_space = c == ' ' && in_text && i + 1 < value.size();
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if ((c <= 0x20 && !plain_space) || c >= 0x7F) {
            out += format_text("\\x%02X", static_cast<unsigned>(c));
        } else {
            out += static_cast<char>(c);
        }
    }
}

enum Field { kMode, kReg, kAck, kLabel, kBlock, kSeq, kFlight, kEnd, kBcs, kText, kFieldCount };
constexpr std::array<std::string_view, kFieldCount> kFieldNames = {
    "mode", "reg", "ack", "label", "block", "seq", "flight", "end", "bcs", "text"};

// Parses one line that is neither blank nor a comment.
bool parse_line(std::string_view line, Frame& frame, std::string& error) {
    std::size_t i = 0;
    while (i < line.size() && is_blank(line[i])) ++i;
    std::size_t j = i;
    while (j < line.size() && !is_blank(line[j])) ++j;
    const std::string_view kind = line.substr(i, j - i);
    frame = Frame{};
    if (kind == "downlink") {
        frame.kind = FrameKind::downlink;
    } else if (kind == "uplink") {
        frame.kind = FrameKind::uplink;
    } else if (kind == "squitter") {
        frame.kind = FrameKind::squitter;
    } else {
        error =
            format_text("unknown kind '%s' (downlink, uplink or squitter)", shown(kind).c_str());
        return false;
    }

    std::array<bool, kFieldCount> seen{};
    std::array<std::string, kFieldCount> value;
    i = j;
    while (true) {
        while (i < line.size() && is_blank(line[i])) ++i;
        if (i >= line.size()) break;
        j = i;
        while (j < line.size() && !is_blank(line[j]) && line[j] != '=') ++j;
        const std::string_view key = line.substr(i, j - i);
        if (j >= line.size() || line[j] != '=') {
            error = format_text("'%s' is not key=value", shown(key).c_str());
            return false;
        }
        int field = -1;
        for (int f = 0; f < kFieldCount; ++f) {
            if (kFieldNames[f] == key) field = f;
        }
        if (field < 0) {
            error = format_text(
                "unknown key '%s' (mode, reg, ack, label, block, seq, flight, end, bcs, text)",
                shown(key).c_str());
            return false;
        }
        if (seen[field]) {
            error = format_text("%s= given twice", shown(key).c_str());
            return false;
        }
        seen[field] = true;
        std::size_t value_end = line.size();  // the text takes the rest of the line
        if (field != kText) {
            value_end = j + 1;
            while (value_end < line.size() && !is_blank(line[value_end])) ++value_end;
        }
        const std::string_view raw = line.substr(j + 1, value_end - j - 1);
        if (field == kAck && raw == "NAK") {
            value[field] = std::string(1, static_cast<char>(kNak));
        } else if (!unescape(raw, value[field], error)) {
            error = format_text("%s: %s", shown(key).c_str(), error.c_str());
            return false;
        }
        i = value_end;
    }

    auto single = [&](Field f, char& target) {
        if (!seen[f]) return true;
        if (value[f].size() != 1) {
            error = format_text("%s must be one character", std::string(kFieldNames[f]).c_str());
            return false;
        }
        target = value[f][0];
        return true;
    };
    if (frame.kind == FrameKind::squitter) {
        frame.registration = ".......";
        frame.label = "SQ";
        frame.block_id = '0';
    }
    std::array<Field, 5> required = {kReg, kLabel, kBlock, kSeq, kFlight};
    const std::size_t required_count = frame.kind == FrameKind::downlink ? 5
                                       : frame.kind == FrameKind::uplink ? 3
                                                                         : 0;
    for (std::size_t r = 0; r < required_count; ++r) {
        if (!seen[required[r]]) {
            error = format_text("a%s %s needs %s=", frame.kind == FrameKind::uplink ? "n" : "",
                                std::string(kind).c_str(),
                                std::string(kFieldNames[required[r]]).c_str());
            return false;
        }
    }
    if (!single(kMode, frame.mode) || !single(kAck, frame.ack) || !single(kBlock, frame.block_id)) {
        return false;
    }
    if (seen[kReg]) frame.registration = value[kReg];
    if (seen[kLabel]) frame.label = value[kLabel];
    if (seen[kSeq]) frame.sequence = value[kSeq];
    if (seen[kFlight]) frame.flight = value[kFlight];
    if (seen[kText]) frame.text = value[kText];
    if (seen[kEnd]) {
        if (value[kEnd] == "ETX") {
            frame.end = BlockEnd::etx;
        } else if (value[kEnd] == "ETB") {
            frame.end = BlockEnd::etb;
        } else {
            error = format_text("end must be ETX or ETB, not '%s'", shown(value[kEnd]).c_str());
            return false;
        }
    }
    if (seen[kBcs]) {
        if (value[kBcs] != "bad") {
            error = format_text("bcs can only be bad, not '%s'", shown(value[kBcs]).c_str());
            return false;
        }
        frame.bad_bcs = true;
    }
    error = check_frame(frame);
    return error.empty();
}

}  // namespace

ParsedFrames parse_frame_lines(std::string_view text) {
    ParsedFrames result;
    int line_number = 0;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        ++line_number;
        if (static_cast<std::size_t>(line_number) > kMaxFrameLines) {
            result.error_line = line_number;
            result.error = format_text("more than %zu lines", kMaxFrameLines);
            result.frames.clear();
            return result;
        }
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);  // CR LF files
        std::size_t first = 0;
        while (first < line.size() && is_blank(line[first])) ++first;
        if (first == line.size() || line[first] == '#') continue;
        Frame frame;
        std::string error;
        if (!parse_line(line, frame, error)) {
            result.error_line = line_number;
            result.error = std::move(error);
            result.frames.clear();
            return result;
        }
        result.frames.push_back(std::move(frame));
    }
    return result;
}

std::string format_frame_line(const Frame& frame) {
    std::string out;
    switch (frame.kind) {
        case FrameKind::downlink:
            out = "downlink";
            break;
        case FrameKind::uplink:
            out = "uplink";
            break;
        case FrameKind::squitter:
            out = "squitter";
            break;
    }
    auto field = [&out](const char* key, std::string_view value) {
        out += ' ';
        out += key;
        out += '=';
        escape_into(out, value, false);
    };
    field("mode", std::string_view(&frame.mode, 1));
    field("reg", frame.registration);
    if (static_cast<std::uint8_t>(frame.ack) == kNak) {
        out += " ack=NAK";
    } else {
        field("ack", std::string_view(&frame.ack, 1));
    }
    field("label", frame.label);
    field("block", std::string_view(&frame.block_id, 1));
    if (frame.kind == FrameKind::downlink) {
        field("seq", frame.sequence);
        field("flight", frame.flight);
    }
    out += frame.end == BlockEnd::etx ? " end=ETX" : " end=ETB";
    if (frame.bad_bcs) out += " bcs=bad";
    if (!frame.text.empty()) {
        out += " text=";
        escape_into(out, frame.text, true);
    }
    return out;
}

}  // namespace korvad::synth
