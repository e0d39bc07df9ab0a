// The server process: start, the polling cycle, the queue, the refresh and
// the ways out.

#include "server/server.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstring>
#include <memory>

#include "common/format.h"
#include "common/version.h"
#include "control/queue/codes.h"
#include "control/queue/queue.h"
#include "server/requests.h"
#include "server/server_signals.h"
#include "server/subscriptions.h"
#include "store/collection.h"
#include "store/reference.h"

namespace korvad {
namespace {

std::string collection_path(const ServerState& server) {
    return store_file_path(server.start.folder, kCollectionFile);
}

FileStamp stamp_of(const std::string& path) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) return FileStamp{};
    return FileStamp{
        info.st_dev, info.st_ino, info.st_size,
        static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec};
}

// Both copies of the collection, one in registration order, one in flight
// order. A missing or damaged file leaves them empty.
void load_collection_lists(ServerState& server) {
    const std::string path = collection_path(server);
    server.collection_stamp = stamp_of(path);
    server.by_registration = make_contact_list(1000, 100);
    server.by_flight = make_contact_list(1000, 100);
    server.by_registration.set_compare(&compare_registration_order);
    server.by_flight.set_compare(&compare_flight_order);
    if (load_collection(server.by_registration, path) != LoadResult::loaded) {
        server.by_registration.free_all();
    }
    if (load_collection(server.by_flight, path) != LoadResult::loaded) server.by_flight.free_all();
    server.by_registration.sort();
    server.by_flight.sort();
}

void close_all_clients(ServerState& server) {
    for (int i = 0; i < MAX_CLIENTS; ++i) disconnect(server.table, i);
    g_server_signals.listener = -1;
    if (server.listener >= 0) close(server.listener);
    server.listener = -1;
}

// SIGUSR1: the main process stops the server.
[[noreturn]] void stop_server(ServerState& server) {
    save_subscribers(server);  // what clients changed since the last save stays
    server.by_registration.free_all();
    server.by_flight.free_all();
    server.chat.free_all();
    close_all_clients(server);
    _exit(100);
}

// SIGINT: the whole station stops.
[[noreturn]] void interrupt_server(ServerState& server) {
    save_subscribers(server);
    close_all_clients(server);
    if (server.start.main_pid > 0) kill(server.start.main_pid, SIGINT);
    if (server.start.dbserver_pid > 0) kill(server.start.dbserver_pid, SIGINT);
    print_to(stderr, "%s\n%s\n", "serverprocess terminated", "ACARS decoder normal finished");
    _exit(5);
}

void act_on_signals(ServerState& server) {
    if (g_server_signals.stop) stop_server(server);
    if (g_server_signals.interrupt) interrupt_server(server);
}

// The listener, on the configured port or, unless it is fixed, alternating
// between 2202 and 2203 every 10 seconds until one is free.
void listen_somewhere(ServerState& server) {
    const Settings& settings = server.start.settings;
    server.port = settings.port;
    for (;;) {
        server.listener = open_listener(settings.bind_address, server.port);
        g_server_signals.listener = server.listener;
        if (server.listener >= 0) return;
        if (settings.port_fixed) _exit(5);
        server.port = other_port(server.port);
        unsigned left = kListenRetrySeconds;
        while (left > 0) {
            left = sleep(left);
            act_on_signals(server);
        }
    }
}

bool accept_client(ServerState& server) {
    int socket = accept4(server.listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (socket < 0) return false;
    int off = 0;
    int on = 1;
    setsockopt(socket, SOL_SOCKET, SO_KEEPALIVE, &off, sizeof off);
    // Packets are whole when they are handed over: no waiting for more.
    setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    int index = assign_slot(server.table, socket);
    if (index >= 0) send_greeting(server, index);
    return true;
}

// Which sockets have something: one poll per cycle, not one read per
// client. After a cycle that did work it only looks (timeout 0); after an
// idle one it waits until a client sends, a client can take what it still
// has to get, a connection arrives or kIdleWaitMs pass (the queue cannot be
// waited on with the sockets).
void poll_sockets(ServerState& server, bool wait) {
    SlotTable& table = server.table;
    for (ClientSlot& slot : table.slots) {
        slot.readable = false;
        if (slot.occupied()) watch_slot(table, slot, slot.unsent_bytes() > 0);
    }
    server.listener_ready = false;
    epoll_event events[MAX_CLIENTS + 2];
    int n = epoll_wait(table.epoll_fd, events, MAX_CLIENTS + 2, wait ? kIdleWaitMs : 0);
    for (int k = 0; k < n; ++k) {  // n is -1 on EINTR: the signal is seen next
        const int index = static_cast<int>(events[k].data.u32);
        if (index == kListenerEvent) {
            server.listener_ready = true;
        } else if (index == kWakeEvent) {
            char bytes[256];
            while (read(server.start.wake_fd, bytes, sizeof bytes) > 0) {
            }
        } else if (index >= 0 && index < MAX_CLIENTS &&
                   (events[k].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0) {
            table.slots[index].readable = true;
        }
    }
}

// The listener and the wake-up pipe, watched with the clients.
void watch_listener(ServerState& server) {
    server.table.epoll_fd = epoll_create1(EPOLL_CLOEXEC);
    if (server.table.epoll_fd < 0) _exit(100);
    epoll_event listener{};
    listener.events = EPOLLIN;
    listener.data.u32 = kListenerEvent;
    epoll_ctl(server.table.epoll_fd, EPOLL_CTL_ADD, server.listener, &listener);
    if (server.start.wake_fd >= 0) {
        epoll_event wake{};
        wake.events = EPOLLIN;
        wake.data.u32 = kWakeEvent;
        epoll_ctl(server.table.epoll_fd, EPOLL_CTL_ADD, server.start.wake_fd, &wake);
    }
}

void set_title(ServerState& server, int& shown_count) {
    if (shown_count == server.table.client_count) return;
    shown_count = server.table.client_count;
    process_title_set(server.start.title, "%s server, %d clients connected", kProgramName,
                      shown_count);
}

// Two decimal numbers separated by one blank: reply code and slot index.
bool parse_verdict(const char* text, int& code, int& slot) {
    const char* end = text + std::strlen(text);
    auto [after_code, code_error] = std::from_chars(text, end, code);
    if (code_error != std::errc{} || after_code == end || *after_code != ' ') return false;
    auto [after_slot, slot_error] = std::from_chars(after_code + 1, end, slot);
    return slot_error == std::errc{};
}

void send_to_slot(ServerState& server, int index, int code, const char* text) {
    if (index < 0 || index >= MAX_CLIENTS || !server.table.slots[index].occupied()) return;
    (void)send_text(server.table, index, code, 0, text);
}

// True when the queue is gone: the main process removed it on its way out.
bool take_queue_message(ServerState& server, bool& gone) {
    QueueMessage msg;
    if (queue_receive_once(server.start.queue_id, ToServer, msg) < 0) {
        gone = errno == EIDRM || errno == EINVAL;
        return false;
    }
    handle_server_message(server, msg);
    return true;
}

bool one_cycle(ServerState& server, int& shown_count) {
    server.now = std::time(nullptr);
    set_title(server, shown_count);
    bool worked = false;
    bool queue_gone = false;
    worked |= take_queue_message(server, queue_gone);
    if (queue_gone) stop_server(server);
    if (server.listener_ready) worked |= accept_client(server);
    trim_chat_history(server);
    for (int i = 0; i < MAX_CLIENTS; ++i) {
        ClientSlot& slot = server.table.slots[i];
        if (!slot.occupied()) continue;
        const std::size_t unsent = slot.unsent_bytes();
        if (unsent > 0 && (!flush_unsent(server.table, i) || slot.unsent_bytes() != unsent)) {
            worked = true;
        }
        if (!slot.occupied()) continue;
        if (slot.readable || slot.browser) worked |= handle_request(server, i);
        if (slot.occupied()) worked |= stream_step(server, i);
    }
    if (server.cycle == kRefreshCycles) {
        refresh_collection(server);
        server.cycle = 0;
    } else {
        ++server.cycle;
    }
    worked |= check_report_run(server);
    return worked;
}

[[noreturn]] void serve(const ServerStart& start) {
    auto owner = std::make_unique<ServerState>();
    ServerState& server = *owner;
    server.start = start;
    server.checksum_only = start.settings.checksum_only;
    char name[kHostNameSize + 1] = {};
    if (gethostname(name, kHostNameSize) == 0) std::memcpy(server.host_name, name, kHostNameSize);

    install_server_signals(start.main_pid);
    // A main process that dies without stopping its server takes it along.
    prctl(PR_SET_PDEATHSIG, SIGUSR1);
    if (getppid() != start.main_pid) _exit(100);

    listen_somewhere(server);
    watch_listener(server);
    open_subscribers(server);
    if (start.sound_fd >= 0) close(start.sound_fd);
    detach_terminal();
    if (start.shared_ring != nullptr) shmdt(start.shared_ring);
    load_collection_lists(server);
    server.cycle = 0;

    int shown_count = -1;
    bool worked = true;
    for (;;) {
        act_on_signals(server);
        poll_sockets(server, !worked);
        worked = one_cycle(server, shown_count);
    }
}

}  // namespace

int other_port(int port) {
    return port == kDefaultPort ? kFallbackPort : kDefaultPort;
}

int open_listener(const std::optional<std::string>& address, int port) {
    const protoent* tcp = getprotobynumber(6);
    const int protocol = tcp != nullptr ? tcp->p_proto : 6;
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(static_cast<std::uint16_t>(port));
    where.sin_addr.s_addr = htonl(INADDR_ANY);
    if (address) {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        if (getaddrinfo(address->c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
            print_to(stderr, "unable to resolve hostname %s\n", address->c_str());
            return -1;
        }
        where.sin_addr = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
        freeaddrinfo(found);
    }
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol);
    if (fd < 0) return -1;
    // Before bind, so a restart finds its port again at once.
    int on = 1;
    int off = 0;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &off, sizeof off);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&where), sizeof where) != 0 ||
        listen(fd, kListenBacklog) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

void close_server_descriptors(const ServerState& server) {
    for (const ClientSlot& slot : server.table.slots) {
        if (slot.occupied()) close(slot.socket);
        if (slot.report_file >= 0) close(slot.report_file);
    }
    if (server.listener >= 0) close(server.listener);
    if (server.table.epoll_fd >= 0) close(server.table.epoll_fd);
    if (server.start.wake_fd >= 0) close(server.start.wake_fd);
}

void refresh_collection(ServerState& server) {
    if (stamp_of(collection_path(server)) != server.collection_stamp) {
        load_collection_lists(server);
        cancel_streams(server);
    }
    save_subscribers(server);
}

void handle_server_message(ServerState& server, QueueMessage& msg) {
    msg.text[kQueueMaxText] = '\0';
    switch (msg.code) {
        case queue_code::kCrcOn:
        case queue_code::kCrcOff:
            server.checksum_only = msg.code == queue_code::kCrcOn;
            broadcast_text(server.table, msg.code, msg.text);
            break;
        case queue_code::kUpdateAccepted:
        case queue_code::kUpdateRejected: {
            int code = 0;
            int slot = -1;
            if (parse_verdict(msg.text, code, slot) &&
                (code == queue_code::kUpdateAccepted || code == queue_code::kUpdateRejected)) {
                send_to_slot(server, slot, code, msg.text);
            }
            break;
        }
        case queue_code::kDeleteResult:
            send_to_slot(server, msg.client_slot, queue_code::kDeleteResult, msg.text);
            break;
        case queue_code::kUptime:
            broadcast_text(server.table, 153,
                           format_text("%s\t%d clients currently connected", msg.text,
                                       server.table.client_count));
            break;
        case queue_code::kNewDay:
            start_daily_reports(server);
            break;
        default:
            // Codes of 200 and above are binary packets to a client: no text
            // from the queue is passed on as one.
            if (msg.code < kFirstBinaryCode) broadcast_text(server.table, msg.code, msg.text);
            break;
    }
}

pid_t run_server(const ServerStart& start) {
    pid_t pid = fork();
    if (pid != 0) return pid;
    serve(start);
}

}  // namespace korvad
