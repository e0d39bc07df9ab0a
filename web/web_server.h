#pragma once
// The HTTP side of korvadweb: the page, the JSON interface and the event
// stream (README.md, "The web view", lists them). Read-only: every request is
// a GET (or HEAD); nothing a browser sends reaches the station except a
// checked registration or flight id of a search.
//
// Threads: cpp-httplib serves each connection on a worker of a fixed pool of
// kWorkers. A reader of /events holds its worker while it reads, so the pool
// has room for kMaxEventClients of them and kSpareWorkers for everything else;
// when every worker is busy and kQueuedConnections wait, no more connections
// are accepted until one is free (they wait in the kernel's backlog).
//
// A reader of /events that stops reading is dropped when a write has waited
// kWriteTimeoutS, or when the messages it has not taken left the store; its
// unsent messages are never buffered beyond the socket.

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>

#include "web/request_checks.h"
#include "web/station_link.h"
#include "web/traffic.h"

namespace httplib {
class Server;
}

namespace korvad::web {

inline constexpr std::size_t kSpareWorkers = 16;
inline constexpr std::size_t kWorkers = kMaxEventClients + kSpareWorkers;
inline constexpr std::size_t kQueuedConnections = 64;
inline constexpr int kReadTimeoutS = 5;
inline constexpr int kWriteTimeoutS = 5;
inline constexpr int kEventBeatS = 5;  // a comment line on a quiet stream, seconds
inline constexpr std::size_t kMessagesPerWrite = 64;
inline constexpr int kSearchWaitS = 12;  // a search's wait in the queue and for its answer

class WebServer {
  public:
    WebServer(Traffic& traffic, StationLink& link);
    ~WebServer();
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    // Binds the address (port 0: any free one). Returns the port, or -1.
    [[nodiscard]] int bind(const ListenAddress& address);
    // Serves until stop(); false when serving failed.
    [[nodiscard]] bool serve();
    // From any thread: stops accepting; open event streams end at once.
    void stop();

  private:
    void add_routes();

    Traffic& traffic_;
    StationLink& link_;
    std::unique_ptr<httplib::Server> server_;
    std::shared_ptr<std::atomic<bool>> stopping_;
    std::string listen_host_;
    bool check_host_ = false;
    int port_ = -1;
};

}  // namespace korvad::web
