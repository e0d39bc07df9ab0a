// korvad-refdb: builds korvad's reference database files from text and from
// OpenFlights' data, adds to them, and shows what one holds.
//
//   korvad-refdb import TEXT DB          key<TAB>value[<TAB>tally] lines
//   korvad-refdb import-openflights airports|airlines FILE DB
//   korvad-refdb merge TEXT DB           adds to DB, replacing equal keys
//   korvad-refdb dump DB                 key<TAB>value<TAB>tally lines
//
// "build" is the older name of import. Lines that cannot be taken are
// reported and skipped; the database is written only when the input gave at
// least one entry, so a wrong file never empties a good database.

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "common/format.h"
#include "store/record_list.h"
#include "tools/refdb/refdb.h"

namespace {

using korvad::print_to;

int usage() {
    print_to(stderr, "%s",
             "Usage: korvad-refdb import TEXT DB       (lines: key<TAB>value[<TAB>tally])\n"
             "       korvad-refdb import-openflights airports|airlines FILE DB\n"
             "       korvad-refdb merge TEXT DB        (adds to DB, replacing equal keys)\n"
             "       korvad-refdb dump DB\n");
    return 2;
}

// What the import found: each note on standard error, the sums on standard output.
void show_report(const char* path, const korvad::ImportReport& r) {
    for (const korvad::ImportNote& n : r.notes) {
        print_to(stderr, "korvad-refdb: %s:%d: %s\n", path, n.line, n.what.c_str());
    }
    int noted = r.bad_lines + r.duplicates;
    if (noted > static_cast<int>(r.notes.size())) {
        print_to(stderr, "korvad-refdb: %s: %d more not shown\n", path,
                 noted - static_cast<int>(r.notes.size()));
    }
    print_to(stdout,
             "%s: %d lines, %d taken, %d without a code, %d duplicate codes, %d bad lines\n", path,
             r.lines, r.records, r.without_code, r.duplicates, r.bad_lines);
}

bool open_input(const char* path, std::ifstream& in) {
    in.open(path, std::ios::binary);
    if (!in) print_to(stderr, "korvad-refdb: cannot read '%s'\n", path);
    return static_cast<bool>(in);
}

int save(const korvad::ReferenceList& list, const char* db_path) {
    if (!list.save_file(db_path)) {
        print_to(stderr, "korvad-refdb: cannot write '%s'\n", db_path);
        return 1;
    }
    print_to(stdout, "%s: %d entries\n", db_path, static_cast<int>(list.count()));
    return 0;
}

int save_import(const korvad::ReferenceList& list, const char* source, const char* db_path) {
    if (list.count() == 0) {
        print_to(stderr, "korvad-refdb: no entries in '%s'; '%s' left as it was\n", source,
                 db_path);
        return 1;
    }
    return save(list, db_path);
}

int import_text(const char* text_path, const char* db_path) {
    std::ifstream in;
    if (!open_input(text_path, in)) return 1;
    korvad::ImportReport report;
    korvad::ReferenceList list = korvad::import_reference_text(in, report);
    show_report(text_path, report);
    return save_import(list, text_path, db_path);
}

int import_openflights(const char* kind, const char* path, const char* db_path) {
    korvad::OpenFlightsFile file;
    if (std::strcmp(kind, "airports") == 0) {
        file = korvad::OpenFlightsFile::kAirports;
    } else if (std::strcmp(kind, "airlines") == 0) {
        file = korvad::OpenFlightsFile::kAirlines;
    } else {
        return usage();
    }
    std::ifstream in;
    if (!open_input(path, in)) return 1;
    korvad::ImportReport report;
    korvad::ReferenceList list = korvad::import_openflights(file, in, report);
    show_report(path, report);
    return save_import(list, path, db_path);
}

// The database as it is on disk; a missing or damaged one is not replaced.
bool load_existing(korvad::ReferenceList& list, const char* db_path) {
    switch (list.load_file(db_path)) {
        case korvad::LoadResult::loaded:
            return true;
        case korvad::LoadResult::not_opened:
            print_to(stderr, "korvad-refdb: cannot read '%s'\n", db_path);
            return false;
        case korvad::LoadResult::damaged:
            print_to(stderr, "korvad-refdb: '%s' is damaged\n", db_path);
            return false;
    }
    return false;
}

int merge(const char* text_path, const char* db_path) {
    korvad::ReferenceList list = korvad::make_reference_list(1000, 100);
    if (!load_existing(list, db_path)) return 1;
    std::ifstream in;
    if (!open_input(text_path, in)) return 1;
    korvad::ImportReport report;
    korvad::ReferenceList more = korvad::import_reference_text(in, report);
    show_report(text_path, report);
    korvad::MergeCounts counts;
    if (!korvad::merge_reference(list, more, counts)) {
        print_to(stderr, "korvad-refdb: '%s' is full; left as it was\n", db_path);
        return 1;
    }
    print_to(stdout, "%s: %d added, %d replaced, %d unchanged\n", db_path, counts.added,
             counts.replaced, counts.unchanged);
    return save(list, db_path);
}

int dump(const char* db_path) {
    korvad::ReferenceList list = korvad::make_reference_list(10, 10);
    if (!load_existing(list, db_path)) return 1;
    for (const auto& e : list.entries()) {
        if (e == nullptr) continue;
        print_to(stdout, "%s\t%s\t%ld\n", e->key.value_or("").c_str(),
                 e->value.value_or("").c_str(), static_cast<long>(e->tally));
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && (std::strcmp(argv[1], "import") == 0 || std::strcmp(argv[1], "build") == 0))
        return import_text(argv[2], argv[3]);
    if (argc == 5 && std::strcmp(argv[1], "import-openflights") == 0)
        return import_openflights(argv[2], argv[3], argv[4]);
    if (argc == 4 && std::strcmp(argv[1], "merge") == 0) return merge(argv[2], argv[3]);
    if (argc == 3 && std::strcmp(argv[1], "dump") == 0) return dump(argv[2]);
    return usage();
}
