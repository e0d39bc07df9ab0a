#pragma once
// The commands of korvadclient. Each connects, does its one job, ends with
// request 2 and returns the exit status (client/session.h). Arguments are
// checked before anything goes out: a request the protocol cannot carry is
// refused here with status::kUsage.

#include <csignal>
#include <string>
#include <vector>

#include "client/session.h"

namespace korvad::client {

using Arguments = std::vector<std::string>;  // after the command word

[[nodiscard]] int run_info(Session& session);
[[nodiscard]] int run_contacts(Session& session, const std::string& command,
                               const std::string& key);  // aircraft, flight, records
[[nodiscard]] int run_registrations(Session& session);

[[nodiscard]] int run_watch(Session& session);
[[nodiscard]] int run_chat(Session& session, const std::string& nick, int input_fd);

[[nodiscard]] int run_report(Session& session, const std::string& name);
[[nodiscard]] int run_subscription(Session& session, const std::string& command,
                                   const Arguments& args);
[[nodiscard]] int run_correction(Session& session, const Arguments& args);
[[nodiscard]] int run_delete(Session& session, const Arguments& args);

// Checks the command and its arguments, then runs it. An unknown command or a
// wrong number of arguments is status::kUsage with a message.
[[nodiscard]] int run_command(const ClientOptions& options, const std::string& command,
                              const Arguments& args, Output& output,
                              const volatile std::sig_atomic_t* stop);

// How long a command waits for an answer that passes through the station's
// other processes (the database server, the decoder's main loop).
inline constexpr int kCorrectionWaitS = 60;
inline constexpr int kDeleteWaitS = 120;
// How often a list is asked for again when the station stops sending it
// part-way (it reloaded its collection).
inline constexpr int kListAttempts = 3;

}  // namespace korvad::client
