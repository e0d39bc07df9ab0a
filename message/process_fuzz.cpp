// Fuzz target: arbitrary frames through frame decoding and message
// processing, or arbitrary bytes taken as a frame record table (as a damaged
// or hostile table would look). Nothing may crash or read outside a record.
//
// Input: one option byte, then
//   bit 3 clear: frames, each a 2-byte little-endian length and its bytes,
//                decoded into one pass's table;
//   bit 3 set:   a fill count byte (signed) and the bytes of the records.
// Option bits: 0 extended, 1 checksum only (-k), 2 with a screen record
// (not daemon; there is no terminal, so the texts are only formatted),
// 4 ANAD log, 5 no repeat register.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

#include "message/process.h"

namespace {

using namespace korvad;

void add(ReferenceList& list, const char* key, const char* value) {
    auto entry = std::make_unique<ReferenceEntry>();
    entry->key = key;
    if (value != nullptr) entry->value = value;
    (void)list.add(entry);
}

struct Fixture {
    Fixture() {
        // The collection is made anew for every input and never reaches its
        // 31st addition, so nothing is saved; were it saved, it would fail here.
        set_store_folder(stores, "/nonexistent/korvad-fuzz");
        ReferenceDatabases& db = *stores.databases;
        add(db.types, "N123AB", "B747-400");
        add(db.types, "D-ABCD", nullptr);
        add(db.flights, "UA0123", "FRA-ORD-JFK");
        add(db.flights, "LH0400", "FRA-");
        add(db.airlines, "UA", "United");
        add(db.airports, "FRA", "Frankfurt");
        add(db.airports, "ORD", "Chicago");
        add(db.modes, "H1", "Position");
        add(db.ground, "2", "Station two");
        message_file = std::fopen("/dev/null", "w");
        anad_file = std::fopen("/dev/null", "w");
        screen.daemon = true;
    }
    MessageOptions settings;
    Counters counters;
    Screen screen;
    ServerChannel channel;  // no server: nothing leaves the process
    Stores stores;
    std::FILE* message_file = nullptr;
    std::FILE* anad_file = nullptr;
    std::unique_ptr<FrameTable> table = std::make_unique<FrameTable>();
    std::uint8_t frame[kFrameBufferSize] = {};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Fixture f;
    if (size < 1) return 0;
    const std::uint8_t options = data[0];
    ++data;
    --size;

    f.settings.extended = (options & 0x01) != 0;
    f.settings.checksum_only = (options & 0x02) != 0;
    f.settings.daemon = (options & 0x04) == 0;
    f.screen.daemon = f.settings.daemon;
    f.settings.anad_log = (options & 0x10) != 0;
    // Fresh per input, so that no input depends on the ones before it.
    f.stores.collection = make_contact_list(1000, 100);
    f.stores.new_contacts = make_new_contact_register();
    f.stores.statistics = DailyStatistics{};
    if ((options & 0x20) != 0) {
        f.stores.repeats.reset();
    } else {
        f.stores.repeats = make_string_list(5, 3);
    }
    f.counters = Counters{};

    FrameTable& table = *f.table;
    table.clear();
    if ((options & 0x08) != 0) {
        if (size < 1) return 0;
        table.count = static_cast<std::int8_t>(data[0]);
        std::size_t n = std::min(size - 1, sizeof table.records);
        std::memcpy(static_cast<void*>(table.records), data + 1, n);
    } else {
        while (size >= 2 && table.count < kFrameTableSize) {
            std::size_t length = data[0] | (static_cast<std::size_t>(data[1]) << 8);
            data += 2;
            size -= 2;
            length = std::min({length, size, static_cast<std::size_t>(kFrameBufferSize)});
            std::memset(f.frame, 0, sizeof f.frame);
            std::memcpy(f.frame, data, length);
            decode_frame(table, f.frame, static_cast<int>(length));
            data += length;
            size -= length;
        }
    }

    MessageContext context{f.settings, f.counters, f.screen,
                           f.channel,  f.stores,   MessageLogs{&f.message_file, &f.anad_file},
                           1796703330};
    (void)process_message(context, table);
    (void)process_message(context, table);  // the same pass again: a repeat
    return 0;
}
