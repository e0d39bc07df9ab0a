// Realistic, varied ACARS traffic drawn from a seed: the kinds of blocks a
// ground receiver near an airport hears, with their usual labels, addresses,
// flight ids and texts.

#include <array>
#include <string_view>

#include "common/format.h"
#include "tools/synth/random.h"
#include "tools/synth/synth.h"

namespace korvad::synth {
namespace {

constexpr std::uint64_t kFrameStream = 3;

template <std::size_t N>
std::string_view pick(Random& r, const std::array<std::string_view, N>& items) {
    return items[r.below(N)];
}

char letter(Random& r) {
    return static_cast<char>('A' + r.below(26));
}
char digit(Random& r) {
    return static_cast<char>('0' + r.below(10));
}
char lower(Random& r) {
    return static_cast<char>('a' + r.below(26));
}

std::string letters(Random& r, int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += letter(r);
    return s;
}

std::string digits(Random& r, int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += digit(r);
    return s;
}

// Every random draw is its own statement: the order in which a compiler
// evaluates function arguments or the operands of + is unspecified, and the
// same seed must give the same frames from every compiler.

// A registration in one of the common national forms, padded to the 7 characters
// sent on the air: .N123AB, .G-EUPT, .D-AIPX, ..B-1234, ...
std::string registration(Random& r) {
    std::string reg;
    switch (r.below(12)) {
        case 0:
        case 1:
        case 2: {  // United States: N, a digit 1-9, up to three more digits, up to two letters
            reg = "N";
            reg += static_cast<char>('1' + r.below(9));
            const int more_digits = r.between(0, 3);
            reg += digits(r, more_digits);
            const int more_letters = r.between(0, 2);
            reg += letters(r, std::min(more_letters, 6 - static_cast<int>(reg.size())));
            break;
        }
        case 3:
            reg = "G-";
            reg += letters(r, 4);
            break;
        case 4:
            reg = "D-A";
            reg += letters(r, 3);
            break;
        case 5:
            reg = "F-G";
            reg += letters(r, 3);
            break;
        case 6:
            reg = "EI-";
            reg += letters(r, 3);
            break;
        case 7:
            reg = r.chance(0.5) ? "C-F" : "C-G";
            reg += letters(r, 3);
            break;
        case 8:
            reg = "VH-";
            reg += letters(r, 3);
            break;
        case 9:
            reg = "JA";
            reg += digits(r, 3);
            reg += letter(r);
            break;
        case 10:
            reg = "9V-S";
            reg += letters(r, 2);
            break;
        default:
            reg = "B-";
            reg += digits(r, 4);
            break;
    }
    return std::string(7 - reg.size(), '.') + reg;
}

constexpr std::array<std::string_view, 30> kAirlines = {
    "BA", "LH", "AF", "KL", "UA", "DL", "AA", "EI", "LX", "SK", "AY", "IB", "AZ", "QF", "SQ",
    "CX", "JL", "NH", "AC", "EK", "QR", "TK", "U2", "FR", "WN", "B6", "AS", "5X", "FX", "OS"};

constexpr std::array<std::string_view, 16> kAirports = {
    "EGLL", "EGKK", "EDDF", "LFPG", "EHAM", "EIDW", "KJFK", "KBOS",
    "KORD", "KLAX", "CYYZ", "YSSY", "RJTT", "WSSS", "LSZH", "OMDB"};

std::string flight_id(Random& r) {
    std::string id(pick(r, kAirlines));
    id += digits(r, 4);
    return id;
}

// Message sequence number: a letter, two digits, a letter (M01A, D43B, ...).
std::string sequence_number(Random& r) {
    std::string s;
    s += static_cast<char>("MDFSCQ"[r.below(6)]);
    s += digits(r, 2);
    s += static_cast<char>('A' + r.below(4));
    return s;
}

struct Range {
    int lo, hi;
};

// Values drawn in the order of the ranges (a fold over the comma operator is
// sequenced left to right), ready to be passed to a format.
template <class... Ranges>
std::array<int, sizeof...(Ranges)> draw(Random& r, Ranges... ranges) {
    std::array<int, sizeof...(Ranges)> out{};
    std::size_t i = 0;
    ((out[i++] = r.between(ranges.lo, ranges.hi)), ...);
    return out;
}

std::string position(Random& r) {
    const auto v = draw(r, Range{20, 65}, Range{0, 999}, Range{0, 1}, Range{0, 179}, Range{0, 999});
    return format_text("N%02d%03d%c%03d%03d", v[0], v[1], v[2] ? 'W' : 'E', v[3], v[4]);
}

std::string airport(Random& r) {
    return std::string(pick(r, kAirports));
}

std::string fragment(Random& r) {
    switch (r.below(16)) {
        case 0:
            return "POS" + position(r);
        case 1: {
            const auto v = draw(r, Range{0, 23}, Range{0, 59});
            return format_text("ETA %02d%02d", v[0], v[1]);
        }
        case 2:
            return format_text("FL%03d", r.between(10, 41) * 10);
        case 3: {
            const auto v = draw(r, Range{0, 35}, Range{2, 160});
            return format_text("WIND %03d/%03d", v[0] * 10, v[1]);
        }
        case 4:
            return format_text("TEMP M%02d", r.between(0, 65));
        case 5:
            return format_text("FOB %05d", r.between(1500, 95000));
        case 6:
            return "/" + airport(r) + ".TI2/";
        case 7: {
            const std::string station = airport(r);
            const auto v =
                draw(r, Range{1, 28}, Range{0, 23}, Range{0, 59}, Range{0, 35}, Range{2, 30},
                     Range{10, 50}, Range{5, 30}, Range{0, 5}, Range{990, 1035});
            return format_text("METAR %s %02d%02d%02dZ %03d%02dKT 9999 FEW0%02d %02d/%02d Q%04d",
                               station.c_str(), v[0], v[1], v[2], v[3] * 10, v[4], v[5], v[6],
                               v[6] - v[7], v[8]);
        }
        case 8: {
            const auto v = draw(r, Range{0, 23}, Range{0, 59}, Range{0, 23}, Range{0, 59});
            return format_text("OUT %02d%02d OFF %02d%02d", v[0], v[1], v[2], v[3]);
        }
        case 9: {
            const auto v = draw(r, Range{0, 5}, Range{1, 60});
            return format_text("GATE %c%d", static_cast<char>('A' + v[0]), v[1]);
        }
        case 10: {
            const auto v = draw(r, Range{1, 36}, Range{0, 2});
            return format_text("RWY %02d%c", v[0], "LRC"[v[1]]);
        }
        case 11: {
            const auto v = draw(r, Range{21, 80}, Range{10, 99});
            return format_text("MAINT MSG %02d-%02d", v[0], v[1]);
        }
        case 12: {
            const auto v = draw(r, Range{20, 380}, Range{4, 18});
            return format_text("PAX %d CREW %d", v[0], v[1]);
        }
        case 13:
            return "REQ " + airport(r) + " WX";
        case 14:
            return r.chance(0.5) ? "thanks, see you at the gate" : "ok, copy that";
        default: {  // any printable characters
            std::string s;
            const int n = r.between(1, 24);
            for (int i = 0; i < n; ++i) s += static_cast<char>(0x20 + r.below(0x5F));
            return s;
        }
    }
}

// A text of about `length` characters made of fragments with CR LF line breaks.
std::string free_text(Random& r, std::size_t length) {
    std::string s;
    while (s.size() < length) {
        if (!s.empty()) s += r.chance(0.35) ? "\r\n" : " ";
        s += fragment(r);
    }
    s.resize(length);
    if (!s.empty() && s.back() == '\r') s.back() = '.';  // no half line break at the end
    return s;
}

std::size_t text_length(Random& r) {
    const double u = r.uniform();
    if (u < 0.10) return 0;
    if (u < 0.15) return kAcarsTextChars;
    if (u < 0.65) return r.between(1, 60);
    return r.between(1, static_cast<int>(kAcarsTextChars));
}

Frame downlink(Random& r) {
    Frame f;
    f.kind = FrameKind::downlink;
    f.mode = r.chance(0.8) ? '2' : letter(r);  // category A, or B with a station letter
    f.registration = registration(r);
    f.ack =
        r.chance(0.8) ? static_cast<char>(kNak) : letter(r);  // or the uplink block acknowledged
    f.block_id = digit(r);
    f.sequence = sequence_number(r);
    f.flight = flight_id(r);
    static constexpr std::array<std::string_view, 14> kLabels = {
        "H1", "H1", "H1", "_d", "5Z", "Q0", "SA", "10", "80", "15", "16", "QP", "4N", "2Z"};
    f.label = std::string(pick(r, kLabels));
    if (f.label == "_d" || f.label == "Q0") {
        // general response and link test: no text
    } else if (f.label == "SA") {  // media advisory: link established or lost, and when
        const auto v = draw(r, Range{0, 1}, Range{0, 23}, Range{0, 59}, Range{0, 59});
        f.text = format_text("0%cV%02d%02d%02dV", v[0] ? 'E' : 'L', v[1], v[2], v[3]);
    } else if (f.label == "80") {
        const std::string number = digits(r, 4);
        const std::string destination = airport(r);
        const std::string where = position(r);
        const int altitude = r.between(5, 41) * 1000;
        f.text = format_text("3N01 POSRPT %s/%s %s\r\n/POS %s/ALT %d", number.c_str(),
                             destination.c_str(), f.registration.c_str(), where.c_str(), altitude);
    } else {
        f.text = free_text(r, text_length(r));
    }
    f.end = r.chance(0.1) ? BlockEnd::etb : BlockEnd::etx;
    return f;
}

Frame uplink(Random& r) {
    Frame f;
    f.kind = FrameKind::uplink;
    f.mode = r.chance(0.8) ? '2' : lower(r);
    f.registration = registration(r);
    f.ack =
        r.chance(0.6) ? static_cast<char>(kNak) : digit(r);  // or the downlink block acknowledged
    f.block_id = letter(r);
    static constexpr std::array<std::string_view, 7> kLabels = {"_d", "_d", "H1", "RA",
                                                                "C1", "10", "80"};
    f.label = std::string(pick(r, kLabels));
    if (f.label != "_d") f.text = free_text(r, text_length(r));
    f.end = r.chance(0.1) ? BlockEnd::etb : BlockEnd::etx;
    return f;
}

// Ground stations announce themselves: version, network, station, position,
// frequency.
Frame squitter(Random& r) {
    Frame f;
    f.kind = FrameKind::squitter;
    f.registration = ".......";
    f.label = "SQ";
    f.block_id = '0';
    static constexpr std::array<std::string_view, 8> kStations = {
        "LHREGLL", "DUBEIDW", "FRAEDDF", "CDGLFPG", "JFKKJFK", "BOSKBOS", "ORDKORD", "AMSEHAM"};
    static constexpr std::array<std::string_view, 8> kFrequencies = {
        "129125", "130025", "130450", "131125", "131450", "131550", "131725", "136900"};
    const bool arinc = r.chance(0.5);
    const std::string station(pick(r, kStations));
    const auto v = draw(r, Range{30, 60}, Range{0, 59}, Range{0, 120}, Range{0, 59}, Range{0, 1});
    const std::string frequency(pick(r, kFrequencies));
    f.text = format_text("02X%c%s1%02d%02dN%03d%02d%cV%s/", arinc ? 'A' : 'S', station.c_str(),
                         v[0], v[1], v[2], v[3], v[4] ? 'W' : 'E', frequency.c_str());
    return f;
}

}  // namespace

std::vector<Frame> generate_frames(std::uint64_t seed, int count) {
    std::vector<Frame> frames;
    if (count <= 0) return frames;
    Random r(seed, kFrameStream);
    frames.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        const double u = r.uniform();
        frames.push_back(u < 0.6 ? downlink(r) : u < 0.9 ? uplink(r) : squitter(r));
    }
    return frames;
}

}  // namespace korvad::synth
