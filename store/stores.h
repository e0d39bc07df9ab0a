#pragma once
// Stores: every table the main process keeps, owned by main and passed by
// reference. A store that does not exist (not yet made, option not given,
// or already released by save_and_release_stores) is an empty optional, so
// "gone" is explicit and a second release does nothing.
//
// Start-up, in the order the main process runs it:
//   databases           made with the record (reload_databases, not verbose)
//   open_collection     "korvad.db"                       then -r, -O
//   open_statistics     "type_statistics.db", "airline_statistics.db"
//   open_repeat_register
//   open_new_contacts   (-N) "korvad-newregs.db"
// A file that is missing starts its store empty. A damaged collection,
// register or statistics file also starts it empty, and is first moved aside
// to "<name>.damaged" so the next save does not destroy what it still holds.

#include <cstdio>
#include <optional>
#include <string>

#include "store/collection.h"
#include "store/record_list.h"
#include "store/record_list_contact.h"
#include "store/reference.h"
#include "store/statistics.h"

namespace korvad {

struct Stores {
    // Where the store files are: "" is the working directory (tests give
    // their own). The reference databases keep their own copy (databases.folder).
    std::string folder;

    std::optional<ReferenceDatabases> databases = ReferenceDatabases{};
    std::optional<ContactList> collection;    // the aircraft collection, 1000 / 100
    std::optional<ContactList> new_contacts;  // -N: the new-contact register, 30 / 10
    std::optional<DailyStatistics> statistics;
    // Digests of the messages shown recently (5 / 3), emptied every fifth
    // buffer by the main loop; without it no repeat check is made.
    std::optional<StringList> repeats;
};

// Sets the folder of the stores and of the reference databases.
void set_store_folder(Stores& stores, const std::string& folder);

// Start-up steps. Each makes its store (replacing one already there) and
// loads its file; the result tells what the load found.
LoadResult open_collection(Stores& stores);
// Both lists; the result is that of the type statistics when that one
// failed, else that of the airline statistics.
LoadResult open_statistics(Stores& stores);
void open_repeat_register(Stores& stores);
LoadResult open_new_contacts(Stores& stores);

// The stores' part of the shutdown, in this order: the collection saved to
// "korvad.db" and released; the repeat register and the reference databases
// released; the register saved to "korvad-newregs.db" and released; the
// type and airline statistics saved and released. Every store is gone
// afterwards; a second call does nothing. Saves are atomic; a file that
// cannot be written keeps its old contents.
void save_and_release_stores(Stores& stores);

// --- Implementation ---------------------------------------------------------

namespace stores_detail {

// A damaged file is kept beside the new one rather than overwritten by the
// next save, so whatever it still holds can be recovered by hand.
inline void keep_damaged(LoadResult result, const std::string& path) {
    if (result != LoadResult::damaged) return;
    const std::string aside = path + ".damaged";
    (void)std::rename(path.c_str(), aside.c_str());
}

inline LoadResult load_kept(ReferenceList& list, const std::string& path) {
    LoadResult result = list.load_file(path);
    keep_damaged(result, path);
    return result;
}

inline LoadResult load_contacts_kept(ContactList& list, const std::string& path) {
    LoadResult result = load_collection(list, path);
    keep_damaged(result, path);
    return result;
}

}  // namespace stores_detail

inline void set_store_folder(Stores& stores, const std::string& folder) {
    stores.folder = folder;
    if (stores.databases) stores.databases->folder = folder;
}

inline LoadResult open_collection(Stores& stores) {
    stores.collection = make_contact_list(1000, 100);
    return stores_detail::load_contacts_kept(*stores.collection,
                                             store_file_path(stores.folder, kCollectionFile));
}

inline LoadResult open_statistics(Stores& stores) {
    stores.statistics = DailyStatistics{};
    LoadResult types = stores_detail::load_kept(
        stores.statistics->types, store_file_path(stores.folder, kTypeStatisticsFile));
    LoadResult airlines = stores_detail::load_kept(
        stores.statistics->airlines, store_file_path(stores.folder, kAirlineStatisticsFile));
    return types != LoadResult::loaded ? types : airlines;
}

inline void open_repeat_register(Stores& stores) {
    stores.repeats = make_string_list(5, 3);
}

inline LoadResult open_new_contacts(Stores& stores) {
    stores.new_contacts = make_new_contact_register();
    return stores_detail::load_contacts_kept(*stores.new_contacts,
                                             store_file_path(stores.folder, kNewContactsFile));
}

inline void save_and_release_stores(Stores& stores) {
    if (stores.collection) {
        (void)save_collection(*stores.collection, store_file_path(stores.folder, kCollectionFile));
        stores.collection.reset();
    }
    stores.repeats.reset();
    stores.databases.reset();
    if (stores.new_contacts) {
        (void)save_collection(*stores.new_contacts,
                              store_file_path(stores.folder, kNewContactsFile));
        stores.new_contacts.reset();
    }
    if (stores.statistics) {
        (void)stores.statistics->types.save_file(
            store_file_path(stores.folder, kTypeStatisticsFile));
        (void)stores.statistics->airlines.save_file(
            store_file_path(stores.folder, kAirlineStatisticsFile));
        stores.statistics.reset();
    }
}

}  // namespace korvad
