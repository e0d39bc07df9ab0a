// Fuzz target for what a client makes of the station's bytes: the stream cut
// into packets, each mapped to a JSON object and written as one line that
// must read back as an object, and the greeting and text forms built from it.
#include <cstdlib>

#include "client/events.h"
#include "client/text_forms.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    korvad::PacketReader reader;
    reader.feed(reinterpret_cast<const char*>(data), size);
    korvad::client::EventMapper mapper;
    korvad::client::Greeting greeting;
    korvad::Packet packet;
    // A few first bytes choose the search the mapper expects, as a command would.
    static const char* const kSearches[] = {"", "aircraft", "flight", "records"};
    mapper.expect_search(kSearches[size > 0 ? data[0] % 4 : 0]);
    while (reader.next(packet) == korvad::PacketReader::Status::kPacket) {
        const std::string line = korvad::client::json_line(mapper.map(packet));
        auto back = nlohmann::json::parse(line, nullptr, false);
        if (back.is_discarded() || !back.is_object() || !back.contains("event")) std::abort();
        (void)korvad::client::take_greeting_packet(greeting, packet);
        if (auto r = korvad::client::parse_message_record(packet.payload, false))
            (void)korvad::client::message_block(*r);
        if (auto r = korvad::client::parse_full_record(packet.payload))
            (void)korvad::client::record_block(*r);
        (void)korvad::client::printable(packet.payload);
    }
    (void)korvad::client::json_line(korvad::client::greeting_to_json(greeting));
    (void)korvad::client::greeting_table(greeting);
    return 0;
}
