#pragma once
// korvadm: hands one line of text to a running korvad, which passes it to
// every connected client (queue type ToServer, code 90).

#include <cstdio>

namespace korvad {

// Longest text sent whole; a longer one is cut to kBroadcastCutLength.
inline constexpr unsigned kBroadcastMaxWhole = 2999;   // characters
inline constexpr unsigned kBroadcastCutLength = 2998;  // characters

// The whole program: banner on out, the text of argv[1] (later arguments are
// ignored) sent to the queue named by the control file at control_path,
// messages on err. Only a queue made by the owner of the control file is sent
// to. Returns the exit status: 1 without a text, 2 when the control file
// cannot be read or is not one (the message says which), 3 when the message
// was not sent, 0 when it was.
int run_korvadm(int argc, char** argv, const char* control_path, std::FILE* out, std::FILE* err);

}  // namespace korvad
