// Whatever a client sends: the bytes through a real socket into a slot,
// every request carried out, streams paid out, until the client is gone.

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "message/message_test_util.h"
#include "server/requests.h"
#include "store/collection.h"

namespace {

void add_contact(korvad::ContactList& list, const char* registration, const char* flight) {
    auto m = korvad::testing::build_message(
        {.registration = registration, .flight_id = flight, .route = "FRA-JFK"});
    (void)list.add(m);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace korvad;
    ServerState server;
    server.start.settings.clients_may_modify = true;
    server.start.settings.delete_code = "code";
    server.start.settings.reports_path = "/nonexistent";
    server.by_registration.set_compare(&compare_registration_order);
    server.by_flight.set_compare(&compare_flight_order);
    for (const char* r : {"D-ABCD", "D-ABCD", "G-EUPT"}) {
        add_contact(server.by_registration, r, "LH0400");
        add_contact(server.by_flight, r, "LH0400");
    }
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, ends) != 0) return 0;
    const std::size_t sent = std::min<std::size_t>(size, 65536);
    if (sent > 0 && write(ends[1], data, sent) < 0) {
    }
    shutdown(ends[1], SHUT_WR);
    const int index = assign_slot(server.table, ends[0]);
    char sink[65536];
    for (int i = 0; i < 2000 && index >= 0 && server.table.slots[index].occupied(); ++i) {
        server.table.slots[index].readable = true;
        (void)handle_request(server, index);
        if (server.table.slots[index].occupied()) (void)stream_step(server, index);
        trim_chat_history(server);
        while (read(ends[1], sink, sizeof sink) > 0) {
        }
    }
    if (index >= 0) disconnect(server.table, index);
    close(ends[1]);
    return 0;
}
