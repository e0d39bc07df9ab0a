// korvad-refdb: builds korvad's reference database files from text and shows
// what one holds.
//
//   korvad-refdb build TEXT DB   lines "key<TAB>value"; '#' lines and blank
//                                lines are skipped
//   korvad-refdb dump DB         one "key<TAB>value<TAB>tally" line per entry

#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>

#include "common/format.h"
#include "store/record_list.h"

namespace {

using korvad::print_to;

int usage() {
    print_to(stderr, "%s",
             "Usage: korvad-refdb build TEXT DB   (lines: key<TAB>value)\n"
             "       korvad-refdb dump DB\n");
    return 2;
}

int build(const char* text_path, const char* db_path) {
    std::ifstream in(text_path);
    if (!in) {
        print_to(stderr, "korvad-refdb: cannot read '%s'\n", text_path);
        return 1;
    }
    korvad::ReferenceList list = korvad::make_reference_list(1000, 100);
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        std::size_t tab = line.find('\t');
        if (tab == 0 || tab == std::string::npos || tab + 1 == line.size()) {
            print_to(stderr, "korvad-refdb: %s:%d: expected key<TAB>value\n", text_path, number);
            return 1;
        }
        auto entry = std::make_unique<korvad::ReferenceEntry>();
        entry->key = line.substr(0, tab);
        entry->value = line.substr(tab + 1);
        std::int32_t at = korvad::add_or_count(list, entry, false);
        if (at >= 0) {
            print_to(stderr, "korvad-refdb: %s:%d: key '%s' given twice\n", text_path, number,
                     line.substr(0, tab).c_str());
            return 1;
        }
    }
    if (!list.save_file(db_path)) {
        print_to(stderr, "korvad-refdb: cannot write '%s'\n", db_path);
        return 1;
    }
    return 0;
}

int dump(const char* db_path) {
    korvad::ReferenceList list = korvad::make_reference_list(10, 10);
    switch (list.load_file(db_path)) {
        case korvad::LoadResult::loaded:
            break;
        case korvad::LoadResult::not_opened:
            print_to(stderr, "korvad-refdb: cannot read '%s'\n", db_path);
            return 1;
        case korvad::LoadResult::damaged:
            print_to(stderr, "korvad-refdb: '%s' is damaged\n", db_path);
            return 1;
    }
    for (const auto& e : list.entries()) {
        if (e == nullptr) continue;
        print_to(stdout, "%s\t%s\t%ld\n", e->key.value_or("").c_str(),
                 e->value.value_or("").c_str(), static_cast<long>(e->tally));
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "build") == 0) return build(argv[2], argv[3]);
    if (argc == 3 && std::strcmp(argv[1], "dump") == 0) return dump(argv[2]);
    return usage();
}
