#include "store/stores.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/atomic_file.h"
#include "common/format.h"
#include "common/local_time.h"

namespace korvad {

namespace {

// Every file of the working folder that korvad or its database server saves.
constexpr const char* kSavedFiles[] = {
    kCollectionFile, kNewContactsFile, kTypeStatisticsFile, kAirlineStatisticsFile, kFlightsFile,
    kAirlinesFile,   kTypesFile,       kModesFile,          kAirportsFile,          kGroundFile,
};

void note(StoreNotes* notes, std::string text) {
    if (notes != nullptr) notes->push_back(std::move(text));
}

// What the load of one file found, as a note; the damaged file moved aside.
void report_load(const LoadReport& report, const std::string& path, const char* name,
                 std::time_t now, StoreNotes* notes) {
    if (report.result == LoadResult::not_opened) {
        if (report.problem == FileProblem::unreadable) {
            // A file korvad may not read would be replaced by the store's
            // first save with what this run collects: moved aside instead.
            const std::string aside = keep_damaged_copy(path, now);
            note(notes,
                 format_text(
                     "%s could not be read (%s); it is kept as %s", name, report.reason.c_str(),
                     aside.empty() ? "it was (it could not be moved aside)" : aside.c_str()));
        } else if (report.problem != FileProblem::missing && report.problem != FileProblem::none) {
            note(notes, format_text("%s not loaded: %s", name, report.reason.c_str()));
        }
        return;
    }
    if (report.result != LoadResult::damaged) return;
    const std::string aside = keep_damaged_copy(path, now);
    note(notes,
         format_text("%s is damaged: %d entries kept, %d dropped; the damaged file is kept as %s",
                     name, static_cast<int>(report.kept), static_cast<int>(report.dropped),
                     aside.empty() ? "(it could not be moved aside)" : aside.c_str()));
}

template <typename T>
LoadResult load_kept(RecordList<T>& list, const std::string& folder, const char* name,
                     std::time_t now, StoreNotes* notes) {
    const std::string path = store_file_path(folder, name);
    const LoadReport report = list.recover_file(path);
    report_load(report, path, name, now, notes);
    return report.result;
}

template <typename T>
void save_noted(const RecordList<T>& list, const std::string& folder, const char* name,
                StoreNotes* failures) {
    std::string reason;
    if (!list.save_file(store_file_path(folder, name), &reason)) {
        note(failures, format_text("%s: %s", name, reason.c_str()));
    }
}

bool is_temporary_of(const char* entry, const char* store) {
    const std::size_t store_length = std::strlen(store);
    const std::size_t suffix_length = std::strlen(kTemporarySuffix);
    return std::strlen(entry) == store_length + suffix_length + kTemporaryRandomLength &&
           std::strncmp(entry, store, store_length) == 0 &&
           std::strncmp(entry + store_length, kTemporarySuffix, suffix_length) == 0;
}

}  // namespace

void set_store_folder(Stores& stores, const std::string& folder) {
    stores.folder = folder;
    if (stores.databases) stores.databases->folder = folder;
}

LoadResult open_collection(Stores& stores, StoreNotes* notes, std::time_t now) {
    stores.collection = make_contact_list(1000, 100);
    return load_kept(*stores.collection, stores.folder, kCollectionFile, now, notes);
}

LoadResult open_statistics(Stores& stores, StoreNotes* notes, std::time_t now) {
    stores.statistics = DailyStatistics{};
    LoadResult types =
        load_kept(stores.statistics->types, stores.folder, kTypeStatisticsFile, now, notes);
    LoadResult airlines =
        load_kept(stores.statistics->airlines, stores.folder, kAirlineStatisticsFile, now, notes);
    return types != LoadResult::loaded ? types : airlines;
}

void open_repeat_register(Stores& stores) {
    stores.repeats = make_string_list(5, 3);
}

LoadResult open_new_contacts(Stores& stores, StoreNotes* notes, std::time_t now) {
    stores.new_contacts = make_new_contact_register();
    return load_kept(*stores.new_contacts, stores.folder, kNewContactsFile, now, notes);
}

bool save_collection_now(const Stores& stores, StoreNotes* notes) {
    if (!stores.collection) return false;
    StoreNotes failures;
    save_noted(*stores.collection, stores.folder, kCollectionFile, &failures);
    for (std::string& text : failures) note(notes, std::move(text));
    return failures.empty();
}

void save_and_release_stores(Stores& stores, StoreNotes* failures) {
    if (stores.collection) {
        save_noted(*stores.collection, stores.folder, kCollectionFile, failures);
        stores.collection.reset();
    }
    stores.repeats.reset();
    stores.databases.reset();
    if (stores.new_contacts) {
        save_noted(*stores.new_contacts, stores.folder, kNewContactsFile, failures);
        stores.new_contacts.reset();
    }
    if (stores.statistics) {
        save_noted(stores.statistics->types, stores.folder, kTypeStatisticsFile, failures);
        save_noted(stores.statistics->airlines, stores.folder, kAirlineStatisticsFile, failures);
        stores.statistics.reset();
    }
}

std::string keep_damaged_copy(const std::string& path, std::time_t now) {
    const std::string base = path + ".damaged-" + local_time_text(now, "%Y%m%d-%H%M%S");
    for (int attempt = 1; attempt < 1000; ++attempt) {
        const std::string aside = attempt == 1 ? base : format_text("%s-%d", base.c_str(), attempt);
        struct stat info {};
        if (lstat(aside.c_str(), &info) == 0) continue;  // an earlier copy stays
        // link + unlink, not rename: a name that appeared meanwhile is never replaced.
        if (link(path.c_str(), aside.c_str()) == 0) {
            unlink(path.c_str());
            return aside;
        }
        if (errno != EEXIST) return std::rename(path.c_str(), aside.c_str()) == 0 ? aside : "";
    }
    return "";
}

int remove_leftover_temporaries(const std::string& folder) {
    DIR* dir = opendir(folder.empty() ? "." : folder.c_str());
    if (dir == nullptr) return 0;
    int removed = 0;
    const uid_t me = geteuid();
    while (const dirent* entry = readdir(dir)) {
        bool ours = false;
        for (const char* store : kSavedFiles) ours = ours || is_temporary_of(entry->d_name, store);
        if (!ours) continue;
        const std::string path = store_file_path(folder, entry->d_name);
        struct stat info {};
        // Only plain files of this user: never a link or someone else's file.
        if (lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != me)
            continue;
        if (unlink(path.c_str()) == 0) ++removed;
    }
    closedir(dir);
    return removed;
}

}  // namespace korvad
