#pragma once
// Every type and code that travels over korvad's message queue.
//
// Type 1 is read by the server process, type 2 by the database server, type 3
// by the main decoder. Codes are stored in 8 bits. A reader drops codes it
// does not know.

namespace korvad {

enum QueueType : long {
    ToServer = 1,
    ToDatabaseServer = 2,
    ToDecoder = 3,
};

namespace queue_code {
// ToServer
inline constexpr int kCounters = 4;           // "Good: %ld, Upl: %ld, Err parity: ..."
inline constexpr int kVolume = 5;             // "=[ Vol: %d, Extended: %s ]="
inline constexpr int kUplink = 6;             // an uplink in client form
inline constexpr int kContactHistory = 8;     // "First contact with this aircraft", ...
inline constexpr int kContactRecord = 9;      // "%s\t%s\t%s\t%s" aircraft summary
inline constexpr int kTypeStatistic = 10;     // type name of a new collection entry
inline constexpr int kAirlineStatistic = 13;  // airline name of a new collection entry
inline constexpr int kMessage = 18;           // a message that is not an uplink, in client form
inline constexpr int kCrcOn = 25;             // " "
inline constexpr int kCrcOff = 26;            // " "
inline constexpr int kUpdateAccepted = 35;    // "%d %d" from the database server
inline constexpr int kUpdateRejected = 36;    // "%d %d" from the database server
inline constexpr int kBroadcast = 90;         // text from korvadm
inline constexpr int kDeleteResult = 105;     // answer to kDeleteRequest
inline constexpr int kUptime = 150;           // "%ld" seconds since start
inline constexpr int kNewDay = 155;           // "-"
// ToDatabaseServer
inline constexpr int kUpdateFlight = 30;  // key \t value
inline constexpr int kUpdateAirline = 31;
inline constexpr int kUpdateType = 32;
// ToDecoder
inline constexpr int kDeleteRequest = 78;      // registration \t flight \t time \t code
inline constexpr int kSoundBuffersFull = 109;  // "All %d soundbuffers are nearly full"
inline constexpr int kReloadDatabases = 156;   // " "
}  // namespace queue_code

}  // namespace korvad
