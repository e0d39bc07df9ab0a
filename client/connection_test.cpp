#include "client/connection.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace korvad::client {
namespace {

using namespace std::string_literals;

// A connection whose station is the other end of a socket pair: the test
// writes the station's bytes by hand.
struct Pair {
    Connection client;
    int station = -1;
    volatile std::sig_atomic_t stop = 0;
    Pair() {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0) {
            client = Connection::adopt(fds[0], &stop);
            station = fds[1];
        }
    }
    ~Pair() {
        if (station >= 0) close(station);
    }
    void write_bytes(const std::string& bytes) const {
        ASSERT_EQ(write(station, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    void hang_up() {
        close(station);
        station = -1;
    }
};

TEST(Connection, PacketsWrittenByHandArriveWhole) {
    Pair pair;
    // code 1, length 10, argument 0, "tower\t2202"; then code 149, length 1, " "
    pair.write_bytes("\x01\x00\x00\x00\x0a\x00\x00\x00\x00\x00\x00\x00tower\t2202"s);
    pair.write_bytes("\x95\x00\x00\x00\x01\x00\x00"s);  // a header in two pieces
    Packet p;
    Outcome o = pair.client.receive(p, 1000);
    ASSERT_TRUE(o.ok()) << o.detail;
    EXPECT_EQ(p.header.code, 1);
    EXPECT_EQ(p.payload, "tower\t2202");
    o = pair.client.receive(p, 50);
    EXPECT_EQ(o.failure, Failure::kTimeout);
    pair.write_bytes("\x00\x00\x00\x00\x00 "s);
    o = pair.client.receive(p, 1000);
    ASSERT_TRUE(o.ok()) << o.detail;
    EXPECT_EQ(p.header.code, 149);
    EXPECT_EQ(p.payload, " ");

    // What the client sends: code 52, length 4, argument 0, "anna".
    ASSERT_TRUE(pair.client.send(52, 0, "anna", 1000).ok());
    char got[16] = {};
    ASSERT_EQ(read(pair.station, got, sizeof got), 16);
    EXPECT_EQ(std::string(got, 16),
              "\x34\x00\x00\x00\x04\x00\x00\x00\x00\x00\x00\x00"
              "anna"s);
}

TEST(Connection, StreamsThatAreNotThisProtocol) {
    struct Case {
        const char* what;
        std::string bytes;
        Failure failure;
        const char* detail_has;
    };
    const std::vector<Case> cases = {
        {"negative length", "\x12\x00\x00\x00\xff\xff\xff\xff\x00\x00\x00\x00"s,
         Failure::kNotProtocol, "(12 00 00 00 ff ff ff ff"},
        {"length 4097", "\x12\x00\x00\x00\x01\x10\x00\x00\x00\x00\x00\x00"s, Failure::kNotProtocol,
         "01 10 00 00"},
        {"length 2^31-1", "\x12\x00\x00\x00\xff\xff\xff\x7f\x00\x00\x00\x00"s,
         Failure::kNotProtocol, "ff ff ff 7f"},
        {"a web page", "HTTP/1.0 200 OK\nContent-Type: text/html\n\n<html>"s, Failure::kNotProtocol,
         "a web server answered (\"HTTP/1.0 200 OK\")"},
        {"a header cut short", "\x01\x00\x00\x00\x05\x00"s, Failure::kClosed,
         "in the middle of a packet (6 bytes of it came"},
        {"a payload cut short",
         "\x01\x00\x00\x00\x05\x00\x00\x00\x00\x00\x00\x00"
         "abc"s,
         Failure::kClosed, "15 bytes of it came"},
        {"nothing at all", ""s, Failure::kClosed, "the station closed the connection"},
    };
    for (const Case& c : cases) {
        Pair pair;
        pair.write_bytes(c.bytes);
        pair.hang_up();
        Packet p;
        Outcome o = pair.client.receive(p, 1000);
        EXPECT_EQ(o.failure, c.failure) << c.what;
        EXPECT_NE(o.detail.find(c.detail_has), std::string::npos) << c.what << ": " << o.detail;
        // Asking again gives the same answer, never a packet.
        EXPECT_EQ(pair.client.receive(p, 10).failure, c.failure) << c.what;
    }
}

TEST(Connection, ALargestPacketThenAnEmptyOne) {
    Pair pair;
    std::string wire = encode_binary_packet(200, std::string(4096, 'r'));
    wire += encode_binary_packet(200, "");
    pair.write_bytes(wire);
    Packet p;
    ASSERT_TRUE(pair.client.receive(p, 1000).ok());
    EXPECT_EQ(p.payload, std::string(4096, 'r'));
    ASSERT_TRUE(pair.client.receive(p, 1000).ok());
    EXPECT_EQ(p.header.code, 200);
    EXPECT_EQ(p.payload, "");
}

TEST(Connection, AStopAndTheKeyboardEndTheWait) {
    Pair pair;
    Packet p;
    pair.stop = 1;
    EXPECT_EQ(pair.client.receive(p, 60000).failure, Failure::kInterrupted);
    pair.stop = 0;

    int keyboard[2];
    ASSERT_EQ(pipe(keyboard), 0);
    ASSERT_EQ(write(keyboard[1], "hi\n", 3), 3);
    bool typed = false;
    Outcome o = pair.client.receive(p, 60000, keyboard[0], &typed);
    EXPECT_TRUE(o.ok());
    EXPECT_TRUE(typed);
    close(keyboard[0]);
    close(keyboard[1]);
}

TEST(Connection, RefusedAndUnresolvableAndBusyBacklog) {
    volatile std::sig_atomic_t stop = 0;
    // A port nobody listens on: bind one, take its number, close it.
    int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    socklen_t size = sizeof address;
    ASSERT_EQ(getsockname(probe, reinterpret_cast<sockaddr*>(&address), &size), 0);
    const int port = ntohs(address.sin_port);
    close(probe);
    Connection c;
    Outcome o = Connection::open("127.0.0.1", port, 2000, &stop, c);
    EXPECT_EQ(o.failure, Failure::kRefused) << o.detail;
    EXPECT_FALSE(c.is_open());

    o = Connection::open("", port, 2000, &stop, c);
    EXPECT_EQ(o.failure, Failure::kUnknownHost) << o.detail;

    // A listener that never accepts, its backlog full: the connect is not
    // answered and gives up at the time-out.
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    address.sin_port = 0;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 0), 0);
    size = sizeof address;
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size), 0);
    std::vector<Connection> queued(4);
    bool timed_out = false;
    for (Connection& q : queued) {
        o = Connection::open("127.0.0.1", ntohs(address.sin_port), 300, &stop, q);
        if (o.failure == Failure::kConnectTimeout) timed_out = true;
    }
    EXPECT_TRUE(timed_out);
    close(listener);
}

}  // namespace
}  // namespace korvad::client
