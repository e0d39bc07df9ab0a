#pragma once
// Running an external program (zip, mimencode, sendmail) without a shell:
// the path and an argument vector, so no text is ever interpreted and a
// folder with blanks or quotes is just a folder.

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace korvad {

struct Program {
    pid_t pid = -1;
    int fd = -1;  // its standard input (writer) or output (reader); -1: none
};

enum class ProgramPipe {
    kNone,    // standard input and output to /dev/null
    kInput,   // fd writes to its standard input; its output to /dev/null
    kOutput,  // fd reads its standard output; its input from /dev/null
};

// Starts path with args (args[0] is the program's name). None when it could
// not be started (no such program, not executable, no process).
[[nodiscard]] std::optional<Program> start_program(const std::string& path,
                                                   const std::vector<std::string>& args,
                                                   ProgramPipe pipe);

// Closes the pipe and waits for the program: its exit status, -1 when it
// did not end normally.
int finish_program(Program& program);

// Reads the whole output of a kOutput program, then finishes it.
std::string read_all_output(Program& program);

// Writes all of text to a kInput program; false on a write error.
bool write_all_input(const Program& program, const std::string& text);

}  // namespace korvad
