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
// register or statistics file keeps every complete item before the damage,
// and the file itself is first moved aside to
// "<name>.damaged-YYYYMMDD-HHMMSS" (never over an earlier copy), so the next
// save does not destroy what it still holds. Something else than a regular
// file at the name (a folder, a FIFO) is not read and starts the store empty.
// A file that is there but may not be read is moved aside like a damaged one
// (its store starts empty), so that no save replaces what it holds.
// What the loads found and the saves that failed come back as texts for the
// operator; this layer shows nothing.

#include <ctime>
#include <optional>
#include <string>
#include <vector>

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

// Texts for the operator: one per file that could not be loaded as it was,
// or that could not be saved ("korvad.db: No space left on device").
using StoreNotes = std::vector<std::string>;

// Sets the folder of the stores and of the reference databases.
void set_store_folder(Stores& stores, const std::string& folder);

// Start-up steps. Each makes its store (replacing one already there) and
// loads its file; the result tells what the load found, and notes (when
// given) receive a text for every file that was damaged or not a regular
// file. `now` dates a damaged copy.
LoadResult open_collection(Stores& stores, StoreNotes* notes = nullptr,
                           std::time_t now = std::time(nullptr));
// Both lists; the result is that of the type statistics when that one
// failed, else that of the airline statistics.
LoadResult open_statistics(Stores& stores, StoreNotes* notes = nullptr,
                           std::time_t now = std::time(nullptr));
void open_repeat_register(Stores& stores);
LoadResult open_new_contacts(Stores& stores, StoreNotes* notes = nullptr,
                             std::time_t now = std::time(nullptr));

// Saves the collection to "korvad.db" now. False, with a note, when it
// could not be written (the old file stays).
[[nodiscard]] bool save_collection_now(const Stores& stores, StoreNotes* notes = nullptr);

// The stores' part of the shutdown, in this order: the collection saved to
// "korvad.db" and released; the repeat register and the reference databases
// released; the register saved to "korvad-newregs.db" and released; the
// type and airline statistics saved and released. Every store is gone
// afterwards; a second call does nothing. Saves are atomic; a file that
// cannot be written keeps its old contents, and failures get a note.
void save_and_release_stores(Stores& stores, StoreNotes* failures = nullptr);

// Moves a damaged file aside as "<path>.damaged-YYYYMMDD-HHMMSS" (local time
// of now; "-2", "-3", ... added when that name is taken). Returns the new
// name, or "" when it could not be moved.
[[nodiscard]] std::string keep_damaged_copy(const std::string& path, std::time_t now);

// The store files of the working folder whose temporary files a save can
// leave behind when it is killed ("korvad.db.tmpXXXXXX" and the others):
// removes those left in folder ("" is the working folder). Returns how many.
int remove_leftover_temporaries(const std::string& folder);

}  // namespace korvad
