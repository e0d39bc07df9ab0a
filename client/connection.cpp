#include "client/connection.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>

#include "common/format.h"

namespace korvad::client {

namespace {

using Clock = std::chrono::steady_clock;

int ms_left(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

bool stopped(const volatile std::sig_atomic_t* stop) {
    return stop != nullptr && *stop != 0;
}

Outcome fail(Failure failure, std::string detail) {
    return Outcome{failure, std::move(detail)};
}

// A request of the resolver that may still be in the resolver's hands when
// we stop waiting for it: then it is left to the resolver, never freed under it.
struct Lookup {
    std::string host;
    std::string service;
    addrinfo hints{};
    gaicb request{};
};

// Looks host up within timeout_ms (the resolver works beside us).
Outcome resolve(const std::string& host, int port, int timeout_ms,
                const volatile std::sig_atomic_t* stop, addrinfo** result) {
    auto lookup = std::make_unique<Lookup>();
    lookup->host = host;
    lookup->service = std::to_string(port);
    lookup->hints.ai_family = AF_UNSPEC;
    lookup->hints.ai_socktype = SOCK_STREAM;
    lookup->hints.ai_flags = AI_NUMERICSERV;
    lookup->request.ar_name = lookup->host.c_str();
    lookup->request.ar_service = lookup->service.c_str();
    lookup->request.ar_request = &lookup->hints;
    gaicb* list[1] = {&lookup->request};
    int started = getaddrinfo_a(GAI_NOWAIT, list, 1, nullptr);
    if (started != 0)
        return fail(Failure::kUnknownHost,
                    format_text("cannot look up host %s: %s", host.c_str(), gai_strerror(started)));
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        int status = gai_error(&lookup->request);
        if (status != EAI_INPROGRESS) {
            if (status != 0)
                return fail(Failure::kUnknownHost, format_text("unknown host %s (%s)", host.c_str(),
                                                               gai_strerror(status)));
            *result = lookup->request.ar_result;
            return Outcome{};
        }
        const int left = ms_left(deadline);
        if (left == 0 || stopped(stop)) {
            if (gai_cancel(&lookup->request) != EAI_CANCELED) (void)lookup.release();
            if (stopped(stop)) return fail(Failure::kInterrupted, "interrupted");
            return fail(Failure::kUnknownHost,
                        format_text("no answer looking up host %s within %d s", host.c_str(),
                                    timeout_ms / 1000));
        }
        timespec wait{0, 1000000L * (left < kStopCheckMs ? left : kStopCheckMs)};
        const gaicb* waiting[1] = {&lookup->request};
        (void)gai_suspend(waiting, 1, &wait);
    }
}

// One connect attempt within the deadline; the socket on success.
Outcome connect_to(const addrinfo& address, Clock::time_point deadline,
                   const volatile std::sig_atomic_t* stop, int& socket_out) {
    int s = ::socket(address.ai_family, address.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                     address.ai_protocol);
    if (s < 0) return fail(Failure::kUnreachable, std::strerror(errno));
    if (::connect(s, address.ai_addr, address.ai_addrlen) != 0 && errno != EINPROGRESS) {
        int error = errno;
        ::close(s);
        return fail(error == ECONNREFUSED ? Failure::kRefused : Failure::kUnreachable,
                    std::strerror(error));
    }
    for (;;) {
        if (stopped(stop)) {
            ::close(s);
            return fail(Failure::kInterrupted, "interrupted");
        }
        const int left = ms_left(deadline);
        if (left == 0) {
            ::close(s);
            return fail(Failure::kConnectTimeout, "no answer to the connection request");
        }
        pollfd p{s, POLLOUT, 0};
        int n = ::poll(&p, 1, left < kStopCheckMs ? left : kStopCheckMs);
        if (n < 0 && errno != EINTR) {
            int error = errno;
            ::close(s);
            return fail(Failure::kUnreachable, std::strerror(error));
        }
        if (n > 0) break;
    }
    int error = 0;
    socklen_t size = sizeof error;
    if (getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &size) != 0) error = errno;
    if (error != 0) {
        ::close(s);
        return fail(error == ECONNREFUSED ? Failure::kRefused : Failure::kUnreachable,
                    std::strerror(error));
    }
    int on = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    socket_out = s;
    return Outcome{};
}

}  // namespace

Connection::~Connection() {
    close();
}

Connection::Connection(Connection&& other) noexcept {
    take_over(other);
}

Connection& Connection::operator=(Connection&& other) noexcept {
    if (this != &other) {
        close();
        take_over(other);
    }
    return *this;
}

void Connection::take_over(Connection& other) noexcept {
    socket_ = other.socket_;
    stop_ = other.stop_;
    reader_ = std::move(other.reader_);
    at_end_ = other.at_end_;
    other.socket_ = -1;
    other.reader_ = PacketReader();
    other.at_end_ = false;
}

void Connection::close() {
    if (socket_ >= 0) ::close(socket_);
    socket_ = -1;
    reader_ = PacketReader();
    at_end_ = false;
}

Outcome Connection::open(const std::string& host, int port, int timeout_ms,
                         const volatile std::sig_atomic_t* stop, Connection& out) {
    out.close();
    addrinfo* addresses = nullptr;
    Outcome looked_up = resolve(host, port, timeout_ms, stop, &addresses);
    if (!looked_up.ok()) return looked_up;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    Outcome last = fail(Failure::kUnknownHost, "the host has no address");
    for (const addrinfo* a = addresses; a != nullptr; a = a->ai_next) {
        int s = -1;
        last = connect_to(*a, deadline, stop, s);
        if (last.ok()) {
            out.socket_ = s;
            out.stop_ = stop;
            break;
        }
        if (last.failure == Failure::kInterrupted || last.failure == Failure::kConnectTimeout)
            break;
    }
    freeaddrinfo(addresses);
    return last;
}

Connection Connection::adopt(int socket, const volatile std::sig_atomic_t* stop) {
    Connection c;
    int flags = fcntl(socket, F_GETFL);
    if (flags >= 0) fcntl(socket, F_SETFL, flags | O_NONBLOCK);
    c.socket_ = socket;
    c.stop_ = stop;
    return c;
}

Outcome Connection::send(std::int32_t code, std::int32_t argument, std::string_view text,
                         int timeout_ms) {
    if (socket_ < 0) return fail(Failure::kSendFailed, "not connected");
    const std::string wire = encode_text_packet(code, argument, text);
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    std::size_t sent = 0;
    while (sent < wire.size()) {
        ssize_t n =
            ::send(socket_, wire.data() + sent, wire.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return fail(Failure::kSendFailed, std::strerror(errno));
        if (stopped(stop_)) return fail(Failure::kInterrupted, "interrupted");
        const int left = ms_left(deadline);
        if (left == 0) return fail(Failure::kTimeout, "the station takes no more data");
        pollfd p{socket_, POLLOUT, 0};
        (void)::poll(&p, 1, left < kStopCheckMs ? left : kStopCheckMs);
    }
    return Outcome{};
}

Outcome Connection::receive(Packet& out, int timeout_ms, int extra_fd, bool* extra_ready) {
    if (extra_ready != nullptr) *extra_ready = false;
    if (socket_ < 0) return fail(Failure::kClosed, "not connected");
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        switch (reader_.next(out)) {
            case PacketReader::Status::kPacket:
                return Outcome{};
            case PacketReader::Status::kBadHeader:
                return fail(Failure::kNotProtocol, describe_foreign_bytes(reader_.pending_bytes()));
            case PacketReader::Status::kNeedMore:
                break;
        }
        if (at_end_) {
            if (reader_.pending() == 0)
                return fail(Failure::kClosed, "the station closed the connection");
            return fail(Failure::kClosed,
                        format_text("the station closed the connection in the middle of a packet "
                                    "(%zu bytes of it came: %s)",
                                    reader_.pending(),
                                    describe_foreign_bytes(reader_.pending_bytes()).c_str()));
        }
        if (stopped(stop_)) return fail(Failure::kInterrupted, "interrupted");
        const int left = ms_left(deadline);
        if (left == 0) return fail(Failure::kTimeout, "no answer in time");
        pollfd p[2] = {{socket_, POLLIN, 0}, {extra_fd, POLLIN, 0}};
        int n = ::poll(p, extra_fd >= 0 ? 2 : 1, left < kStopCheckMs ? left : kStopCheckMs);
        if (n < 0 && errno != EINTR) return fail(Failure::kClosed, std::strerror(errno));
        if (n <= 0) continue;
        if (p[0].revents != 0) {
            char buffer[65536];
            ssize_t got = ::recv(socket_, buffer, sizeof buffer, MSG_DONTWAIT);
            if (got > 0) {
                reader_.feed(buffer, static_cast<std::size_t>(got));
            } else if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
                at_end_ = true;
            }
            continue;
        }
        if (extra_fd >= 0 && p[1].revents != 0) {
            if (extra_ready != nullptr) *extra_ready = true;
            return Outcome{};
        }
    }
}

std::string describe_foreign_bytes(std::string_view bytes) {
    bytes = bytes.substr(0, 64);
    if (bytes.substr(0, 5) == "HTTP/") {
        std::size_t end = bytes.find_first_of("\r\n");
        return format_text("a web server answered (\"%s\")",
                           std::string(bytes.substr(0, end)).c_str());
    }
    std::string shown;
    std::string hex;
    for (std::size_t i = 0; i < bytes.size() && i < 16; ++i) {
        auto c = static_cast<unsigned char>(bytes[i]);
        shown.push_back(c >= 0x20 && c < 0x7f ? static_cast<char>(c) : '.');
        hex += format_text("%s%02x", i == 0 ? "" : " ", c);
    }
    return format_text("it sent \"%s\" (%s)", shown.c_str(), hex.c_str());
}

}  // namespace korvad::client
