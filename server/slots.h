#pragma once
// The server's 64 client slots and their socket I/O, on top of the packet
// codec (server/packet.h).
//
// Sending: every byte for a client goes through the slot's unsent queue, so a
// packet is never cut on the wire: what the kernel did not take now goes out
// in later cycles, before anything sent after it. A client that stops reading
// first misses broadcasts (unsent data above kBroadcastSkipBytes), then is
// disconnected (above kDisconnectBytes).
//
// Receiving: one packet at a time per slot, in a zero-filled area of
// 12 + 4096 bytes and a terminator, so a payload shorter than 4096 bytes reads
// as a NUL-terminated text. A header with a negative length or one above 4096
// disconnects the client; nothing is ever written beyond the area.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "common/format.h"
#include "server/packet.h"

namespace korvad {

inline constexpr int MAX_CLIENTS = 64;
inline constexpr std::size_t kBroadcastSkipBytes = 256 * 1024;  // unsent bytes
inline constexpr std::size_t kDisconnectBytes = 1024 * 1024;    // unsent bytes
inline constexpr std::size_t kReceiveAreaSize = kPacketHeaderSize + kPacketPayloadMax + 1;
// A text is formatted into 4093 bytes, so at most 4092 characters.
inline constexpr std::size_t kTextFormatSize = 4093;

// Which list stream a slot runs (request 14, 17, 70, 73).
enum StreamKind : int {
    kStreamByRegistration = 0,
    kStreamByFlight = 1,
    kStreamRegistrations = 2,
    kStreamFullRecords = 3,
};

struct ClientSlot {
    int socket = -1;           // connected socket; -1: the slot is free
    std::size_t received = 0;  // bytes of the current packet so far, header first
    bool chat_mode = false;
    int report_file = -1;               // report being sent; -1: none
    std::int32_t stream_position = -1;  // next list index; -1: no stream
    std::int32_t stream_end = -1;
    int stream_kind = kStreamByRegistration;
    bool browser = false;                     // the first header bytes were "GET /"
    bool readable = false;                    // the last poll saw bytes (or the end) waiting
    bool watching_out = false;                // the poll also waits for room to send
    std::unique_ptr<unsigned char[]> packet;  // kReceiveAreaSize, zero-filled past `received`
    std::string unsent;            // packets (or the rest of one) the kernel has not taken yet
    std::size_t unsent_taken = 0;  // bytes at the front of unsent already sent

    bool occupied() const { return socket >= 0; }
    std::size_t unsent_bytes() const { return unsent.size() - unsent_taken; }
    // The complete packet's header and payload (valid after receive_packet gave 1).
    PacketHeader header() const { return decode_header(packet.get()); }
    const char* text() const {
        return reinterpret_cast<const char*>(packet.get() + kPacketHeaderSize);
    }
    std::string_view payload() const {
        return std::string_view(text(), static_cast<std::size_t>(header().length));
    }
};

struct SlotTable {
    std::array<ClientSlot, MAX_CLIENTS> slots;
    int client_count = 0;
    // Watches the listener, the wake-up pipe and every client socket; an
    // event carries the slot index or one of the two marks below. -1: none.
    int epoll_fd = -1;
};
inline constexpr std::uint32_t kListenerEvent = 1000;
inline constexpr std::uint32_t kWakeEvent = 1001;

// Makes the poll wait for the slot's input, and for room to send when
// `out`; a socket is added when it is taken into its slot.
void watch_slot(SlotTable& table, ClientSlot& slot, bool out);

// Puts wire bytes behind what the slot still has to send and sends as much as
// the kernel takes now. A failed send or unsent data above kDisconnectBytes
// disconnects the client. Returns false when it was disconnected.
bool queue_wire(SlotTable& table, int index, std::string_view wire);

// Sends what the unsent queue holds, as far as the kernel takes it. Returns
// false when the client was disconnected (failed send).
bool flush_unsent(SlotTable& table, int index);

// A text packet (code below 200) to one slot; the text is cut to 4092 bytes.
bool send_text(SlotTable& table, int index, std::int32_t code, std::int32_t argument,
               std::string_view text);
bool send_format(SlotTable& table, int index, std::int32_t code, const char* format, ...)
    KORVAD_PRINTF(4, 5);
// A binary packet (code 200 and above).
bool send_binary(SlotTable& table, int index, std::int32_t code, std::string_view bytes);

// A text packet to every occupied slot, except those whose unsent data is
// above kBroadcastSkipBytes: they miss it.
void broadcast_text(SlotTable& table, std::int32_t code, std::string_view text);

// Takes a freshly accepted socket (non-blocking) into the first free slot and
// returns its index; all slots busy: sends the code-100 refusal, closes the
// socket and returns -1.
int assign_slot(SlotTable& table, int socket);

// Shuts the socket down, closes it and the slot's report file, frees the
// slot. Does nothing to a free slot.
void disconnect(SlotTable& table, int index);

// Receive results.
inline constexpr int kPacketComplete = 1;
inline constexpr int kNothingYet = -2;
inline constexpr int kConnectionFailed = -1;  // the client was disconnected
inline constexpr int kBrowserDetected = -3;   // the page goes out in the next cycle
inline constexpr int kBrowserAnswered = -4;   // page sent, slot freed

// Reads what has arrived of the slot's current packet. A length-0 packet is
// dropped (kNothingYet); a header beginning "GET /" marks a browser, whose
// refusal page the next call sends before it frees the slot.
int receive_packet(SlotTable& table, int index);

// Empties the slot's receive area after a request was carried out.
void release_packet(ClientSlot& slot);

// The refusal page for web browsers (no packet header).
std::string browser_page();

}  // namespace korvad
