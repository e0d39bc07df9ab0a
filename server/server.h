#pragma once
// The server process: owns every TCP connection to remote clients. It learns
// everything from the main process through the message queue (type
// ToServer) and from the collection file the main process writes, and
// answers the clients' requests (server/requests.h).
//
// One polling cycle, no threads. A cycle that found nothing to do (no new
// connection, no queue message, no packet, no stream piece, nothing sent)
// waits in poll() on the listener and every client socket for at most
// kIdleWaitMs, so an idle server costs next to nothing and a busy one never
// stalls; work per client and cycle stays one request and one stream piece.

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <deque>
#include <map>
#include <optional>
#include <string>

#include "control/process_title.h"
#include "control/settings.h"
#include "server/slots.h"
#include "server/subscriber.h"
#include "store/record_list.h"
#include "store/record_list_contact.h"

namespace korvad {

inline constexpr int kIdleWaitMs = 10;       // longest wait of an idle cycle
inline constexpr int kRefreshCycles = 4000;  // the collection is refreshed every 4001 cycles
inline constexpr int kListenBacklog = 32;    // connections
inline constexpr unsigned kListenRetrySeconds = 10;
inline constexpr std::size_t kHostNameSize = 32;  // bytes of the host name kept

// What the main process hands to a server process it starts.
struct ServerStart {
    Settings settings;
    int queue_id = -1;
    pid_t main_pid = 0;
    pid_t dbserver_pid = 0;  // 0 when the database server was not started before
    // Entries of the flights, airlines, types and airports databases.
    std::int32_t database_counts[4] = {0, 0, 0, 0};
    ProcessTitle title;
    std::string folder;  // of "korvad.db" and "korvad-reports.db": "" = working directory
    // Inherited from the main process and of no use here: the shared audio
    // ring is detached, the sound source closed.
    void* shared_ring = nullptr;
    int sound_fd = -1;
    // Read end of the main process's wake-up pipe (ServerChannel); -1: none.
    int wake_fd = -1;
};

// A chat line kept for newcomers.
struct ChatEntry {
    std::string text;
    std::time_t time = 0;
};

// Time ascending, then the texts byte-wise.
int compare_chat_entries(const ChatEntry& a, const ChatEntry& b);

// The collection file as last read: a save by the main process (a new file
// through a rename) changes it.
struct FileStamp {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = -1;
    std::int64_t modified_ns = 0;
    bool operator==(const FileStamp&) const = default;
};

// The code mails sent lately: a client cannot make the station mail an
// address more than once per kCodeMailAgainSeconds, nor more than
// kCodeMailsPerHour in all.
inline constexpr std::time_t kCodeMailAgainSeconds = 600;
inline constexpr std::size_t kCodeMailsPerHour = 30;
struct CodeMailLog {
    std::map<std::string, std::time_t> last_by_address;  // lower-case address
    std::deque<std::time_t> sent;                        // within the last hour
};

struct ServerState {
    ServerStart start;
    SlotTable table;
    int listener = -1;
    bool listener_ready = false;  // the last poll saw a connection waiting
    int port = 0;
    char host_name[kHostNameSize + 1] = {};
    bool checksum_only = false;                 // queue codes 25 and 26 keep it current
    pid_t report_run = 0;                       // a daily report run in progress
    int cycle = 0;                              // 0 .. kRefreshCycles
    std::optional<SubscriberList> subscribers;  // with daily mailing only
    bool subscribers_changed = false;           // since the last save
    CodeMailLog code_mails;
    RecordList<ChatEntry> chat = make_sorted_list<ChatEntry>(30, 10, &compare_chat_entries);
    ContactList by_registration = make_contact_list(1000, 100);
    ContactList by_flight = make_contact_list(1000, 100);
    FileStamp collection_stamp;
    std::time_t now = 0;  // time of the current cycle
};

// Forks the server process. The caller gets the child's id (-1 when the fork
// failed); the child serves until a signal ends it and never returns.
pid_t run_server(const ServerStart& start);

// The listening socket (SO_REUSEADDR before bind, non-blocking, close on
// exec) on address (none: every address) and port, or -1. An address that
// does not resolve prints "unable to resolve hostname %s\n" to standard
// error.
[[nodiscard]] int open_listener(const std::optional<std::string>& address, int port);

// The port tried after a failure or a crash: 2203 after 2202, else 2202.
[[nodiscard]] int other_port(int port);

// Loads both collection lists again when the file changed since the last
// load, and then cancels every running list stream (their positions would
// point into the old lists); saves a changed subscriber list.
void refresh_collection(ServerState& server);

// In a child the server forked (report run, code mail): closes its copies of
// the listener and the client sockets, leaving the connections to the server.
void close_server_descriptors(const ServerState& server);

// One message of type ToServer.
void handle_server_message(ServerState& server, struct QueueMessage& msg);

}  // namespace korvad
