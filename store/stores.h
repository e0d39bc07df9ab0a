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
    std::optional<ContactList> collection;     // the aircraft collection, 1000 / 100
    std::optional<ContactList> new_contacts;   // -N: the new-contact register, 30 / 10
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

}  // namespace korvad
