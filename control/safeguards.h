#pragma once
// What keeps the main process from losing data without a word, from running
// on where it cannot work, and from being reached by other users: the checks
// of the audio source at start, the store notes shown to the operator, the
// timed save of the collection, the removal of queue messages nobody reads,
// and the watch on the terminal.

#include <ctime>
#include <string>

#include "store/stores.h"

namespace korvad {

struct Decoder;

// Why the -d source cannot be used ("" when it can): it must be a device, a
// FIFO, a regular file, "-" or a radio name. Nothing is opened.
[[nodiscard]] std::string source_problem(const char* path);

// Each note on the status window (red, bold) and on standard error.
void show_store_notes(Decoder& d, const StoreNotes& notes);

// Duties of every cycle of the main loop and of every wait for audio:
// - additions to the collection that have been unsaved for
//   collection_save_seconds are saved (a failure is shown);
// - while no server process (or no database server) runs, the queue
//   messages addressed to it are taken out, so nobody can fill the queue;
// - outside daemon mode, a terminal that is gone (hung up, or failing)
//   ends korvad orderly.
void run_upkeep(Decoder& d, std::time_t now);

// True when standard input or output was a terminal at start and is now
// hung up or failing.
[[nodiscard]] bool terminal_gone(bool input_is_terminal, bool output_is_terminal);

}  // namespace korvad
