#pragma once
// The client protocol as the server speaks it: the greeting, the requests,
// the streams that pay out long answers one piece per cycle, and the chat.
//
// Requests (client to server), text payloads unless noted:
//   2 end the connection          14 contacts of a registration
//   17 contacts of a flight id    19, 20 download a report file
//   30, 31, 32 database updates (to the database server)
//   50 chat line   52 enter chat (nickname)   53 leave chat (nickname)
//   60-63, 66 subscriptions       70 all registrations
//   73 full records of a registration        78 delete request (to the decoder)
//   107 accepted without effect   148 keep-alive (answered 149)
// Any other code is read and ignored.

#include "server/server.h"

namespace korvad {

inline constexpr int kNamesPerBatch = 500;         // registrations per packet 71
inline constexpr std::size_t kBatchBytes = 4095;   // longest batch text
inline constexpr std::size_t kReportChunk = 4096;  // bytes per packet 200
inline constexpr int kChatHistoryShown = 11;       // lines a newcomer to the chat gets
inline constexpr int kChatKept = 30;               // more than this are cut ...
inline constexpr int kChatKeptAfterCut = 19;       // ... down to this many

// The greeting of a new client, in its order (1, 11, 12, 152, 25/26, 21,
// 106, 65, 91).
void send_greeting(ServerState& server, int index);

// Reads what arrived for the slot and carries out a complete request.
// Returns true when it did any work (a packet, a browser answered).
bool handle_request(ServerState& server, int index);

// At most one piece of the slot's report transfer or list stream, and only
// when everything sent before has left. Returns true when it sent one.
bool stream_step(ServerState& server, int index);

// Cuts the chat history down when it grew past kChatKept entries.
void trim_chat_history(ServerState& server);

// Stops every list stream (no end marker is sent).
void cancel_streams(ServerState& server);

}  // namespace korvad
