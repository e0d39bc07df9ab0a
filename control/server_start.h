#pragma once
// Starting the server processes from the main process (with -s), and
// starting a new server after one crashed.

namespace korvad {

struct Decoder;

// SIGCHLD ignored, the server process forked and recorded (the channel to it
// is open while it lives); with -a the database server after it.
void start_server_processes(Decoder& d);

// Starts a new server process on the port now in the settings.
void restart_server(Decoder& d);

}  // namespace korvad
