#include "server/slots.h"

#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>

namespace korvad {
namespace {

constexpr char kProgramsPage[] = "https://korvad.example/clients";

// A send that never blocks and never raises SIGPIPE. Returns the bytes the
// kernel took (0 when it takes nothing now), or -1 when the connection failed.
ssize_t send_now(int socket, const char* data, std::size_t size) {
    for (;;) {
        ssize_t n = send(socket, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n >= 0) return n;
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        return -1;
    }
}

// Reads without blocking: bytes read, 0 when nothing is there, -1 when the
// peer closed or the connection failed.
ssize_t read_now(int socket, unsigned char* into, std::size_t size) {
    for (;;) {
        ssize_t n = recv(socket, into, size, MSG_DONTWAIT);
        if (n > 0) return n;
        if (n == 0) return -1;
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        return -1;
    }
}

// Closing a socket whose receive queue still holds bytes makes the kernel
// reset the connection, and the peer may lose what was sent last: read what
// is there first.
void close_socket(int socket) {
    unsigned char sink[1024];
    for (int i = 0; i < 64 && read_now(socket, sink, sizeof sink) > 0; ++i) {
    }
    shutdown(socket, SHUT_RDWR);
    close(socket);
}

}  // namespace

bool flush_unsent(SlotTable& table, int index) {
    ClientSlot& slot = table.slots[index];
    while (slot.occupied() && slot.unsent_bytes() > 0) {
        ssize_t n =
            send_now(slot.socket, slot.unsent.data() + slot.unsent_taken, slot.unsent_bytes());
        if (n < 0) {
            disconnect(table, index);
            return false;
        }
        if (n == 0) break;
        slot.unsent_taken += static_cast<std::size_t>(n);
    }
    if (slot.unsent_taken == slot.unsent.size()) {
        slot.unsent.clear();
        slot.unsent_taken = 0;
    } else if (slot.unsent_taken > slot.unsent.size() / 2) {
        slot.unsent.erase(0, slot.unsent_taken);
        slot.unsent_taken = 0;
    }
    return slot.occupied();
}

bool queue_wire(SlotTable& table, int index, std::string_view wire) {
    ClientSlot& slot = table.slots[index];
    if (!slot.occupied()) return false;
    if (slot.unsent_bytes() + wire.size() > kDisconnectBytes) {
        disconnect(table, index);
        return false;
    }
    slot.unsent.append(wire);
    return flush_unsent(table, index);
}

bool send_text(SlotTable& table, int index, std::int32_t code, std::int32_t argument,
               std::string_view text) {
    return queue_wire(table, index, encode_text_packet(code, argument, text));
}

bool send_format(SlotTable& table, int index, std::int32_t code, const char* format, ...) {
    char text[kTextFormatSize];
    va_list args;
    va_start(args, format);
    std::size_t n = vformat_into(text, sizeof text, format, args);
    va_end(args);
    return send_text(table, index, code, 0, std::string_view(text, n));
}

bool send_binary(SlotTable& table, int index, std::int32_t code, std::string_view bytes) {
    return queue_wire(table, index, encode_binary_packet(code, bytes));
}

void broadcast_text(SlotTable& table, std::int32_t code, std::string_view text) {
    const std::string wire = encode_text_packet(code, 0, text);
    for (int i = 0; i < MAX_CLIENTS; ++i) {
        ClientSlot& slot = table.slots[i];
        if (!slot.occupied() || slot.unsent_bytes() > kBroadcastSkipBytes) continue;
        (void)queue_wire(table, i, wire);
    }
}

int assign_slot(SlotTable& table, int socket) {
    for (int i = 0; i < MAX_CLIENTS; ++i) {
        ClientSlot& slot = table.slots[i];
        if (slot.occupied()) continue;
        slot = ClientSlot{};
        slot.socket = socket;
        if (table.epoll_fd >= 0) {
            epoll_event event{};
            event.events = EPOLLIN;
            event.data.u32 = static_cast<std::uint32_t>(i);
            epoll_ctl(table.epoll_fd, EPOLL_CTL_ADD, socket, &event);
        }
        ++table.client_count;
        return i;
    }
    char text[kTextFormatSize];
    std::size_t n =
        format_into(text, sizeof text, "all %d slots are busy. please try later!", MAX_CLIENTS);
    std::string wire = encode_text_packet(100, 0, std::string_view(text, n));
    (void)send_now(socket, wire.data(), wire.size());
    close_socket(socket);
    return -1;
}

void watch_slot(SlotTable& table, ClientSlot& slot, bool out) {
    if (table.epoll_fd < 0 || slot.watching_out == out) return;
    epoll_event event{};
    event.events = EPOLLIN | (out ? EPOLLOUT : 0u);
    event.data.u32 = static_cast<std::uint32_t>(&slot - table.slots.data());
    epoll_ctl(table.epoll_fd, EPOLL_CTL_MOD, slot.socket, &event);
    slot.watching_out = out;
}

void disconnect(SlotTable& table, int index) {
    ClientSlot& slot = table.slots[index];
    if (!slot.occupied()) return;
    // Explicitly: a forked child holding a copy of the socket would keep it
    // registered.
    if (table.epoll_fd >= 0) epoll_ctl(table.epoll_fd, EPOLL_CTL_DEL, slot.socket, nullptr);
    close_socket(slot.socket);
    if (slot.report_file >= 0) close(slot.report_file);
    slot = ClientSlot{};
    --table.client_count;
}

void release_packet(ClientSlot& slot) {
    // The area stays with the slot; zeroing what was used keeps it zero-filled.
    if (slot.packet) std::memset(slot.packet.get(), 0, slot.received);
    slot.received = 0;
}

std::string browser_page() {
    return std::string(
               "HTTP/1.0 200 OK\nContent-Type: text/html\n\n<html><head><title>E R R O R</title>"
               "</head><body bgcolor='#ffffff'>This server is only for special clients.<p>You'll "
               "find clients for Windows and LINUX <a href='") +
           kProgramsPage + "'>here</a></body></html>";
}

int receive_packet(SlotTable& table, int index) {
    ClientSlot& slot = table.slots[index];
    if (slot.browser) {
        const std::string page = browser_page();
        (void)send_now(slot.socket, page.data(), page.size());
        disconnect(table, index);
        return kBrowserAnswered;
    }
    if (!slot.packet) {
        slot.packet = std::make_unique<unsigned char[]>(kReceiveAreaSize);  // zero-filled
        slot.received = 0;
    }
    unsigned char* area = slot.packet.get();
    while (slot.received < kPacketHeaderSize) {
        ssize_t n = read_now(slot.socket, area + slot.received, kPacketHeaderSize - slot.received);
        if (n < 0) {
            disconnect(table, index);
            return kConnectionFailed;
        }
        if (n == 0) return kNothingYet;
        slot.received += static_cast<std::size_t>(n);
    }
    if (looks_like_browser(area, kPacketHeaderSize)) {
        slot.browser = true;
        release_packet(slot);
        return kBrowserDetected;
    }
    const PacketHeader header = decode_header(area);
    if (check_header(header) != HeaderVerdict::kOk) {
        disconnect(table, index);
        return kConnectionFailed;
    }
    const std::size_t whole = kPacketHeaderSize + static_cast<std::size_t>(header.length);
    if (header.length == 0) {
        release_packet(slot);
        return kNothingYet;
    }
    while (slot.received < whole) {
        ssize_t n = read_now(slot.socket, area + slot.received, whole - slot.received);
        if (n < 0) {
            disconnect(table, index);
            return kConnectionFailed;
        }
        if (n == 0) return kNothingYet;
        slot.received += static_cast<std::size_t>(n);
    }
    return kPacketComplete;
}

}  // namespace korvad
