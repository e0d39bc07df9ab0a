// Reference databases from tab-separated text and from OpenFlights' CSV.

#include "tools/refdb/refdb.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <map>
#include <memory>

#include "common/format.h"

namespace korvad {
namespace {

constexpr std::size_t kAirportFieldsOld = 12;  // before type and source were added
constexpr std::size_t kAirlineFields = 8;
constexpr std::size_t kAirportName = 1, kAirportCity = 2, kAirportIata = 4, kAirportIcao = 5;
constexpr std::size_t kAirlineName = 1, kAirlineIata = 3, kAirlineActive = 7;
// Longest line taken, in bytes: OpenFlights lines are a few hundred.
constexpr std::size_t kMaxLine = 4096;

void note(ImportReport& report, int line, std::string what) {
    if (report.notes.size() < kMaxImportNotes) report.notes.push_back({line, std::move(what)});
}

void bad_line(ImportReport& report, int line, const char* why) {
    ++report.bad_lines;
    note(report, line, format_text("bad line: %s", why));
}

// The next line without its line feed (and a carriage return before it);
// the byte-order mark of a UTF-8 file is not part of its first line.
bool next_line(std::istream& in, std::string& line, ImportReport& report) {
    if (!std::getline(in, line)) return false;
    ++report.lines;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (report.lines == 1 && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
    return true;
}

bool has_control_character(std::string_view text) {
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7F) return true;
    }
    return false;
}

// A code of exactly length letters and digits, upper-cased; none for "-",
// "N/A", an empty or missing field, or anything else.
std::optional<std::string> code_of(const CsvField& field, std::size_t length) {
    if (!field || field->size() != length) return std::nullopt;
    std::string code = *field;
    for (char& c : code) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        const bool letter_or_digit = (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!letter_or_digit) return std::nullopt;
    }
    return code;
}

std::string_view text_of(const CsvField& field) {
    return field ? std::string_view(*field) : std::string_view();
}

// The airport as a route shows it: city and name, or the name alone when it
// already holds the city ("Frankfurt am Main Airport").
std::string airport_text(std::string_view name, std::string_view city) {
    if (city.empty() || name.find(city) != std::string_view::npos) return std::string(name);
    std::string text(city);
    text += ' ';
    text += name;
    return text;
}

std::unique_ptr<ReferenceEntry> make_entry(std::string key, std::string value, int tally = 0) {
    auto entry = std::make_unique<ReferenceEntry>();
    entry->key = std::move(key);
    entry->value = std::move(value);
    entry->tally = tally;
    return entry;
}

// What one code is, while the file is read: the value, and for airlines
// whether its line was an active airline.
struct Candidate {
    std::string value;
    bool active = false;
    int line = 0;
};
using Candidates = std::map<std::string, Candidate>;

void offer(Candidates& codes, std::string code, Candidate c, bool airlines, ImportReport& report) {
    auto [at, inserted] = codes.try_emplace(code, c);
    if (inserted) return;
    ++report.duplicates;
    const bool takes_over = airlines && c.active && !at->second.active;
    note(report, c.line,
         format_text("duplicate code '%s', first on line %d: %s", code.c_str(), at->second.line,
                     takes_over ? "this active airline replaces it" : "the first stays"));
    if (takes_over) at->second = std::move(c);
}

ReferenceList list_of(Candidates& codes, std::int32_t limit, std::int32_t delta) {
    ReferenceList list = make_reference_list(limit, delta);
    for (auto& [code, c] : codes) {
        auto entry = make_entry(code, std::move(c.value));
        (void)add_or_count(list, entry, false);  // codes are unique here
    }
    return list;
}

// One line of airports.dat or airlines.dat: its codes offered, or the reason
// it is a bad line counted and noted.
void read_openflights_line(OpenFlightsFile kind, int number, std::string_view line,
                           Candidates& codes, ImportReport& report) {
    std::vector<CsvField> fields;
    if (line.size() > kMaxLine) return bad_line(report, number, "longer than 4096 bytes");
    if (!split_csv_line(line, fields)) return bad_line(report, number, "unbalanced quotes");
    const bool airlines = kind == OpenFlightsFile::kAirlines;
    const std::size_t needed = airlines ? kAirlineFields : kAirportFieldsOld;
    if (fields.size() < needed) {
        return bad_line(report, number, airlines ? "fewer than 8 fields" : "fewer than 12 fields");
    }
    std::vector<std::string> keys;
    std::string value;
    bool active = false;
    if (airlines) {
        if (auto iata = code_of(fields[kAirlineIata], 2)) keys.push_back(*iata);
        value = std::string(text_of(fields[kAirlineName]));
        active = text_of(fields[kAirlineActive]) == "Y";
    } else {
        if (auto iata = code_of(fields[kAirportIata], 3)) keys.push_back(*iata);
        if (auto icao = code_of(fields[kAirportIcao], 4)) keys.push_back(*icao);
        value = airport_text(text_of(fields[kAirportName]), text_of(fields[kAirportCity]));
    }
    if (keys.empty()) {
        ++report.without_code;
        return;
    }
    if (value.empty()) return bad_line(report, number, "no name");
    if (has_control_character(value)) return bad_line(report, number, "control character in name");
    ++report.records;
    for (std::string& key : keys)
        offer(codes, std::move(key), {value, active, number}, airlines, report);
}

// A tally of decimal digits (an optional '-') that fits 32 bits.
std::optional<int> tally_of(std::string_view text) {
    if (text.empty() || text.size() > 11) return std::nullopt;
    std::string digits(text);
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(digits.c_str(), &end, 10);
    if (errno != 0 || end != digits.c_str() + digits.size() || v < INT32_MIN || v > INT32_MAX)
        return std::nullopt;
    return static_cast<int>(v);
}

}  // namespace

bool split_csv_line(std::string_view line, std::vector<CsvField>& fields) {
    fields.clear();
    std::size_t i = 0;
    for (;;) {
        if (i < line.size() && line[i] == '"') {
            std::string text;
            ++i;
            for (;;) {
                if (i >= line.size()) return false;  // not closed
                const char c = line[i];
                if (c == '\\' && i + 1 < line.size() && line[i + 1] == '"') {
                    text.push_back('"');
                    i += 2;
                } else if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
                    text.push_back('"');
                    i += 2;
                } else if (c == '"') {
                    ++i;
                    break;
                } else {
                    text.push_back(c);
                    ++i;
                }
            }
            fields.emplace_back(std::move(text));
            if (i == line.size()) return true;
            if (line[i] != ',') return false;
            ++i;
            continue;
        }
        const std::size_t comma = line.find(',', i);
        const std::string_view text =
            line.substr(i, comma == std::string_view::npos ? line.npos : comma - i);
        if (text.find('"') != std::string_view::npos) return false;
        if (text == "\\N") {
            fields.emplace_back(std::nullopt);
        } else {
            fields.emplace_back(std::string(text));
        }
        if (comma == std::string_view::npos) return true;
        i = comma + 1;
    }
}

ReferenceList import_openflights(OpenFlightsFile kind, std::istream& in, ImportReport& report) {
    Candidates codes;
    std::string line;
    while (next_line(in, line, report)) {
        if (line.empty()) continue;
        read_openflights_line(kind, report.lines, line, codes, report);
    }
    if (kind == OpenFlightsFile::kAirlines) return list_of(codes, 5000, 100);
    return list_of(codes, 1000, 100);
}

ReferenceList import_reference_text(std::istream& in, ImportReport& report) {
    ReferenceList list = make_reference_list(1000, 100);
    std::map<std::string, int> first_line;
    std::string line;
    while (next_line(in, line, report)) {
        if (line.empty() || line[0] == '#') continue;
        const int number = report.lines;
        const std::size_t tab = line.find('\t');
        if (tab == 0 || tab == std::string::npos || tab + 1 == line.size()) {
            bad_line(report, number, "expected key<TAB>value");
            continue;
        }
        std::string key = line.substr(0, tab);
        std::string value = line.substr(tab + 1);
        int tally = 0;
        const std::size_t second = value.find('\t');
        if (second != std::string::npos) {
            std::optional<int> t = tally_of(std::string_view(value).substr(second + 1));
            if (!t || second == 0) {
                bad_line(report, number, "expected key<TAB>value<TAB>tally");
                continue;
            }
            tally = *t;
            value.resize(second);
        }
        if (has_control_character(key) || has_control_character(value)) {
            bad_line(report, number, "control character");
            continue;
        }
        auto [at, inserted] = first_line.try_emplace(key, number);
        if (!inserted) {
            ++report.duplicates;
            note(report, number,
                 format_text("duplicate key '%s', first on line %d: the first stays", key.c_str(),
                             at->second));
            continue;
        }
        auto entry = make_entry(std::move(key), std::move(value), tally);
        if (add_or_count(list, entry, false) == ReferenceList::kRefused) {
            bad_line(report, number, "the database is full");
            continue;
        }
        ++report.records;
    }
    return list;
}

bool merge_reference(ReferenceList& into, const ReferenceList& from, MergeCounts& counts) {
    for (const auto& e : from.entries()) {
        if (e == nullptr || !e->key || !e->value) continue;
        SearchResult at = into.search(*e);
        ReferenceEntry* there = at.found ? into.at(at.index) : nullptr;
        if (there != nullptr) {
            if (there->value == e->value && there->tally == e->tally) {
                ++counts.unchanged;
            } else {
                there->value = e->value;
                there->tally = e->tally;
                ++counts.replaced;
            }
            continue;
        }
        auto entry = make_entry(*e->key, *e->value, e->tally);
        if (!into.insert_at(at.index, entry)) return false;
        ++counts.added;
    }
    return true;
}

}  // namespace korvad
