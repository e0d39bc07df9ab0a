// The requests of the client protocol, the greeting, the streams and the chat.

#include "server/requests.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/format.h"
#include "common/version.h"
#include "control/queue/codes.h"
#include "control/queue/queue.h"
#include "server/subscriptions.h"
#include "store/collection.h"

namespace korvad {
namespace {

constexpr char kGreetingNotice[] = "ACARS traffic as it is received, live";
constexpr char kUnknown[] = "-unknown-";

// Request codes.
constexpr int kEndConnection = 2;
constexpr int kSearchRegistration = 14;
constexpr int kSearchFlight = 17;
constexpr int kReportDownload = 19;
constexpr int kReportDownloadToo = 20;
constexpr int kChatLine = 50;
constexpr int kChatEnter = 52;
constexpr int kChatLeave = 53;
constexpr int kAllRegistrations = 70;
constexpr int kFullRecords = 73;
constexpr int kIgnoredNumber = 107;
constexpr int kKeepAlive = 148;

void reply(ServerState& server, int index, std::int32_t code, std::int32_t argument,
           const std::string& text) {
    (void)send_text(server.table, index, code, argument, text);
}

const char* text_or(const std::optional<std::string>& text, const char* absent) {
    return text ? text->c_str() : absent;
}

void search_contacts(ServerState& server, int index, int request, std::string_view key) {
    ClientSlot& slot = server.table.slots[index];
    const bool by_flight = request == kSearchFlight;
    const ContactList& list = by_flight ? server.by_flight : server.by_registration;
    const ContactRange range =
        contact_range(list, key, by_flight ? ContactKey::flight_id : ContactKey::registration);
    const std::string searched(key);
    if (range.status != 0) {
        reply(server, index, request == kFullRecords ? 74 : 104, 0, searched);
        return;
    }
    slot.stream_position = range.first;
    slot.stream_end = range.last;
    slot.stream_kind = request == kSearchRegistration ? kStreamByRegistration
                       : by_flight                    ? kStreamByFlight
                                                      : kStreamFullRecords;
    const std::string found = format_text("%d\t%s", range.last - range.first + 1, searched.c_str());
    if (request == kFullRecords) {
        reply(server, index, 75, 0, found);
    } else {
        reply(server, index, 16, by_flight ? 1 : 0, found);
    }
}

void list_registrations(ServerState& server, int index) {
    ClientSlot& slot = server.table.slots[index];
    slot.stream_position = 0;
    slot.stream_end = server.by_registration.count();
    slot.stream_kind = kStreamRegistrations;
    reply(server, index, 72, 0,
          format_text("%d\t%d", server.by_registration.count(), kNamesPerBatch));
}

// A report name names a file in the report folder and nothing else.
bool plain_report_name(std::string_view name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos;
}

void download_report(ServerState& server, int index, const std::string& name) {
    const std::optional<std::string>& folder = server.start.settings.reports_path;
    if (!folder) return;
    ClientSlot& slot = server.table.slots[index];
    std::string path = *folder;
    if (path.empty() || path.back() != '/') path += '/';
    path += name;
    struct stat info {};
    if (!plain_report_name(name) || lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        reply(server, index, 105, 0, format_text("No report for %s", name.c_str()));
        return;
    }
    // O_NOFOLLOW: a link put there since the lstat still leads nowhere.
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY);
    if (fd < 0 || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        if (fd >= 0) close(fd);
        reply(server, index, 105, 0, format_text("Error opening report for %s", name.c_str()));
        return;
    }
    if (slot.report_file >= 0) close(slot.report_file);
    slot.report_file = fd;
    reply(server, index, 22, 0, format_text("%d", static_cast<int>(info.st_size)));
    reply(server, index, 23, 0, name);
}

void forward_update(ServerState& server, int index, int request, const char* text) {
    if (!server.start.settings.clients_may_modify) {
        reply(server, index, 106, 0, " ");
        return;
    }
    // The queue carries at most 2999 characters: longer texts are cut.
    (void)queue_send_text(server.start.queue_id, ToDatabaseServer, request, text, index);
}

void forward_delete(ServerState& server, int index, const char* text) {
    if (text[0] == '\0') {
        reply(server, index, 105, 0, "Missing data in your request!");
    } else if (!server.start.settings.delete_code) {
        reply(server, index, 105, 0, "Delete on this server is not allowed!");
    } else {
        (void)queue_send_text(server.start.queue_id, ToDecoder, queue_code::kDeleteRequest, text,
                              index);
    }
}

void chat_enter(ServerState& server, int index, const std::string& nickname) {
    SlotTable& table = server.table;
    int shown = 0;
    for (const auto& entry : server.chat.entries()) {
        if (shown++ == kChatHistoryShown) break;
        if (entry) reply(server, index, 51, 0, entry->text);
    }
    for (int i = 0; i < MAX_CLIENTS; ++i) {
        if (i == index || !table.slots[i].occupied()) continue;
        if (table.slots[i].chat_mode) {
            reply(server, i, 51, 0, format_text("SYSTEM\t%s logged in", nickname.c_str()));
        }
        reply(server, i, 54, 0, format_text("%s\t%s\t1", nickname.c_str(), "is now in chatmode"));
    }
    if (table.slots[index].occupied()) table.slots[index].chat_mode = true;
}

void chat_leave(ServerState& server, int index, const std::string& nickname) {
    SlotTable& table = server.table;
    table.slots[index].chat_mode = false;
    constexpr char kClosed[] = "has closed chat window";
    for (int i = 0; i < MAX_CLIENTS; ++i) {
        if (i == index || !table.slots[i].occupied()) continue;
        if (table.slots[i].chat_mode) {
            reply(server, i, 51, 0, format_text("SYSTEM\t%s %s", nickname.c_str(), kClosed));
        }
        reply(server, i, 54, 0, format_text("%s\t%s\t0", nickname.c_str(), kClosed));
    }
}

void chat_line(ServerState& server, const std::string& line) {
    for (int i = 0; i < MAX_CLIENTS; ++i) {
        if (server.table.slots[i].occupied() && server.table.slots[i].chat_mode) {
            reply(server, i, 51, 0, line);
        }
    }
    auto entry = std::make_unique<ChatEntry>(ChatEntry{line, server.now});
    (void)server.chat.add(entry);  // an equal line of the same second is kept once
}

void carry_out(ServerState& server, int index) {
    ClientSlot& slot = server.table.slots[index];
    const PacketHeader header = slot.header();
    // The payload as a text: up to its first NUL (the area is zero-filled).
    const char* text = slot.text();
    const std::string request(text);
    switch (header.code) {
        case kEndConnection:
            disconnect(server.table, index);
            return;
        case kSearchRegistration:
        case kSearchFlight:
        case kFullRecords:
            search_contacts(server, index, header.code, request);
            break;
        case kReportDownload:
        case kReportDownloadToo:
            download_report(server, index, request);
            break;
        case queue_code::kUpdateFlight:
        case queue_code::kUpdateAirline:
        case queue_code::kUpdateType:
            forward_update(server, index, header.code, text);
            break;
        case kChatLine:
            chat_line(server, request);
            break;
        case kChatEnter:
            chat_enter(server, index, request);
            break;
        case kChatLeave:
            chat_leave(server, index, request);
            break;
        case kAllRegistrations:
            list_registrations(server, index);
            break;
        case queue_code::kDeleteRequest:
            forward_delete(server, index, text);
            break;
        case kKeepAlive:
            reply(server, index, 149, 0, " ");
            break;
        case kIgnoredNumber:
        default:
            if (is_subscription_request(header.code)) {
                handle_subscription(server, index, header.code, header.argument, request);
            }
            break;  // unknown requests are read and ignored
    }
    if (server.table.slots[index].occupied()) release_packet(server.table.slots[index]);
}

void end_stream(ClientSlot& slot) {
    slot.stream_position = -1;
    slot.stream_end = -1;
    slot.stream_kind = kStreamByRegistration;
}

void send_report_chunk(ServerState& server, int index) {
    ClientSlot& slot = server.table.slots[index];
    char chunk[kReportChunk];
    std::size_t got = 0;
    while (got < sizeof chunk) {
        ssize_t n = read(slot.report_file, chunk + got, sizeof chunk - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // the end, or a read error: the transfer ends here
        got += static_cast<std::size_t>(n);
    }
    if (got < sizeof chunk) {
        close(slot.report_file);
        slot.report_file = -1;
    }
    (void)send_binary(server.table, index, 200, std::string_view(chunk, got));
}

void send_registration_batch(ServerState& server, int index) {
    ClientSlot& slot = server.table.slots[index];
    std::string batch;
    int names = 0;
    for (;;) {
        if (slot.stream_position >= slot.stream_end) {
            end_stream(slot);
            break;
        }
        const Message* entry = server.by_registration.at(slot.stream_position);
        std::string_view registration =
            entry != nullptr ? field_text(entry->registration) : std::string_view();
        if (batch.size() + registration.size() + 1 > kBatchBytes) break;
        batch.append(registration);
        batch += '|';
        ++slot.stream_position;
        if (++names == kNamesPerBatch) break;
    }
    reply(server, index, 71, 0, batch);
}

void send_list_entry(ServerState& server, int index) {
    ClientSlot& slot = server.table.slots[index];
    const bool by_flight = slot.stream_kind == kStreamByFlight;
    const ContactList& list = by_flight ? server.by_flight : server.by_registration;
    const Message* entry = list.at(slot.stream_position);
    if (entry == nullptr) {
        end_stream(slot);  // the list changed under the stream
        return;
    }
    if (slot.stream_kind == kStreamFullRecords) {
        reply(server, index, 76, 0, contact_to_text(*entry));
    } else {
        const std::string other(by_flight ? field_text(entry->registration)
                                          : field_text(entry->flight_id));
        const char* looked_up =
            by_flight ? text_or(entry->aircraft_type, kUnknown) : text_or(entry->route, kUnknown);
        reply(server, index, 15, 0,
              format_text("%ld\t%s\t%s", static_cast<long>(entry->time), other.c_str(), looked_up));
    }
    if (++slot.stream_position > slot.stream_end) {
        const bool full_records = slot.stream_kind == kStreamFullRecords;
        end_stream(slot);
        if (full_records) reply(server, index, 77, 0, "!");
    }
}

}  // namespace

int compare_chat_entries(const ChatEntry& a, const ChatEntry& b) {
    if (a.time != b.time) return a.time < b.time ? -1 : 1;
    return a.text.compare(b.text);
}

void send_greeting(ServerState& server, int index) {
    const Settings& settings = server.start.settings;
    const std::int32_t* counts = server.start.database_counts;
    reply(server, index, 1, 0, format_text("%s\t%d", server.host_name, server.port));
    reply(server, index, 11, 0,
          format_text("%d\t%d\t%d\t%d", counts[0], counts[1], counts[2], counts[3]));
    reply(server, index, 12, 0, format_text("%d", server.by_registration.count()));
    reply(server, index, 152, 0,
          format_text("%s %s\n%s\t ", kProgramName, kVersion, kGreetingNotice));
    reply(server, index, server.checksum_only ? 25 : 26, 0, " ");
    if (!settings.reports_path) reply(server, index, 21, 0, " ");
    if (!settings.clients_may_modify) reply(server, index, 106, 0, " ");
    if (!server.subscribers) reply(server, index, 65, 0, " ");
    if (settings.frequency) reply(server, index, 91, 0, *settings.frequency);
}

bool handle_request(ServerState& server, int index) {
    switch (receive_packet(server.table, index)) {
        case kPacketComplete:
            carry_out(server, index);
            return true;
        case kNothingYet:
            return false;
        default:
            return true;  // a browser, or a client gone
    }
}

bool stream_step(ServerState& server, int index) {
    ClientSlot& slot = server.table.slots[index];
    // One piece at a time, and only once the last one has left: a client
    // that reads slowly slows its own stream, not the server's memory.
    if (!slot.occupied() || slot.unsent_bytes() > 0) return false;
    if (slot.report_file >= 0) {
        send_report_chunk(server, index);
        return true;
    }
    if (slot.stream_position < 0) return false;
    if (slot.stream_kind == kStreamRegistrations) {
        send_registration_batch(server, index);
    } else {
        send_list_entry(server, index);
    }
    return true;
}

void trim_chat_history(ServerState& server) {
    if (server.chat.count() <= kChatKept) return;
    while (server.chat.count() > kChatKeptAfterCut) server.chat.remove_at(0);
}

void cancel_streams(ServerState& server) {
    for (ClientSlot& slot : server.table.slots) {
        slot.stream_position = -1;
        slot.stream_end = -1;
    }
}

}  // namespace korvad
