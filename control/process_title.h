#pragma once
// Process matters of every korvad process, with or without a screen: the
// title that ps shows, written over the argument area, and giving up the
// controlling terminal.

#include "common/format.h"

namespace korvad {

// The process title area: the first argument string and the block of argument
// and environment strings that follows it without a gap. One per process,
// owned by main; a forked child inherits its copy.
struct ProcessTitle {
    char** argv = nullptr;
    char* start = nullptr;  // first argument string
    char* end = nullptr;    // the NUL that ends the last string of the block
};

// The extent of the area (no side effects): argv[0], then every argument and
// environment string that starts one byte after the end so far.
ProcessTitle measure_title_area(int argc, char** argv, char* const* envp);

// Start-up: moves the environment to copies of its own (the original strings
// may then be overwritten), measures the area and sets the C library's program
// names to copies of "korvad" and argv[0].
void process_title_init(ProcessTitle& title, int argc, char** argv, char** envp);

// Writes the title over the area, at most its length less 2 bytes with the NUL,
// zeroes the rest of the area and ends the argument vector after argv[0].
// Never writes outside the measured area; does nothing without one.
void process_title_set(ProcessTitle& title, const char* format, ...) KORVAD_PRINTF(2, 3);

// Daemon mode and child processes: standard streams to /dev/null and the
// controlling terminal given up (no fork, no new session).
void detach_terminal();

}  // namespace korvad
