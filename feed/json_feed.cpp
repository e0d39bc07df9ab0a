// The JSON feed: the object of a message, and its datagrams.

#include "feed/json_feed.h"

#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>

#include "common/format.h"
#include "common/version.h"
#include "message/message.h"
#include "signal/frame.h"

namespace korvad {
namespace {

constexpr std::uint8_t kNak = 0x15;  // no acknowledgement
constexpr std::size_t kMaxStationId = 64;

// Characters first..last of the record as received, up to a NUL.
std::string frame_characters(const FrameRecord& r, int first, int last) {
    std::string text;
    for (int i = first; i <= last && i < kFrameRecordChars; ++i) {
        if (r.chars[i].ch == 0) break;
        text.push_back(static_cast<char>(r.chars[i].ch));
    }
    return text;
}

std::string label_of(const Message& m) {
    const std::string_view label = field_text(m.label);
    if (label.size() == 2 && label[0] == '_' && label[1] == static_cast<char>(kDel)) return "_d";
    return std::string(label);
}

bool ends_with_etx(const FrameRecord& r) {
    if (r.terminated == 0 || r.end_index < 0 || r.end_index >= kFrameRecordChars) return false;
    return r.chars[r.end_index].ch == kEtx;
}

// value to the nearest multiple of 1 / parts (the nearest double to it).
double rounded(double value, double parts) {
    return std::round(value * parts) / parts;
}

}  // namespace

double audio_level_db(const std::uint8_t* samples, int count) {
    if (samples == nullptr || count <= 0) return kSilenceDb;
    double sum = 0.0;
    for (int i = 0; i < count; ++i) {
        const double v = (static_cast<double>(samples[i]) - 128.0) / 128.0;
        sum += v * v;
    }
    const double rms = std::sqrt(sum / count);
    if (rms <= 0.0) return kSilenceDb;
    return std::max(kSilenceDb, 20.0 * std::log10(rms));
}

std::string feed_object(const Message& m, const FrameRecord& r, const FrameFacts& facts,
                        const FeedStation& station) {
    nlohmann::ordered_json o;
    o["timestamp"] = rounded(facts.timestamp, 1e6);
    if (!station.station_id.empty()) o["station_id"] = station.station_id;
    o["channel"] = 0;
    o["freq"] = station.frequency_mhz;
    o["level"] = rounded(facts.level_db, 10);
    o["error"] = facts.repaired_bits;
    o["mode"] = std::string(1, m.mode);
    o["label"] = label_of(m);
    o["block_id"] = std::string(1, m.block_id);
    const std::uint8_t ack = r.chars[kAckIndex].ch;
    if (ack == kNak) {
        o["ack"] = false;
    } else {
        o["ack"] = std::string(1, static_cast<char>(ack));
    }
    o["tail"] = frame_characters(r, kAddressFirst, kAddressLast);
    if (r.uplink == 0 && r.squitter == 0) {
        o["flight"] = std::string(field_text(m.flight_id));
        o["msgno"] = std::string(field_text(m.message_number));
    }
    if (m.text) o["text"] = *m.text;
    o["end"] = ends_with_etx(r);
    o["app"] = {{"name", kProgramName}, {"ver", kVersion}};
    return o.dump(-1, ' ', true, nlohmann::ordered_json::error_handler_t::replace);
}

bool split_feed_address(std::string_view text, std::string& host, std::string& port,
                        std::string& error) {
    std::size_t colon = std::string_view::npos;
    if (!text.empty() && text[0] == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':') {
            error = "expected [IPv6 address]:PORT";
            return false;
        }
        host = std::string(text.substr(1, close - 1));
        colon = close + 1;
    } else {
        colon = text.rfind(':');
        if (colon == std::string_view::npos || text.find(':') != colon) {
            error = "expected HOST:PORT";
            return false;
        }
        host = std::string(text.substr(0, colon));
    }
    port = std::string(text.substr(colon + 1));
    if (host.empty()) {
        error = "no host before the port";
        return false;
    }
    const bool digits =
        !port.empty() && port.size() <= 5 &&
        std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; });
    const long number = digits ? std::strtol(port.c_str(), nullptr, 10) : 0;
    if (number < 1 || number > 65535) {
        error = "the port must be a number from 1 to 65535";
        return false;
    }
    return true;
}

bool valid_station_id(std::string_view id, std::string& error) {
    if (id.empty() || id.size() > kMaxStationId) {
        error = "a station id has 1 to 64 characters";
        return false;
    }
    for (unsigned char c : id) {
        if (c < 0x20 || c == 0x7F) {
            error = "a station id holds no control characters";
            return false;
        }
    }
    return true;
}

JsonFeed::~JsonFeed() {
    if (socket_ipv4 >= 0) close(socket_ipv4);
    if (socket_ipv6 >= 0) close(socket_ipv6);
}

bool open_feed(JsonFeed& feed, const std::vector<std::string>& addresses, std::string& error) {
    std::vector<FeedDestination> destinations;
    for (const std::string& text : addresses) {
        std::string host, port, why;
        if (!split_feed_address(text, host, port, why)) {
            error = format_text("%s: %s", text.c_str(), why.c_str());
            return false;
        }
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_DGRAM;
        hints.ai_flags = AI_NUMERICSERV;
        addrinfo* found = nullptr;
        const int status = getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
        if (status != 0 || found == nullptr) {
            error = format_text("%s: %s", text.c_str(),
                                status != 0 ? gai_strerror(status) : "no address");
            return false;
        }
        FeedDestination d;
        d.name = text;
        const std::size_t length = std::min<std::size_t>(found->ai_addrlen, sizeof d.address);
        std::memcpy(&d.address, found->ai_addr, length);
        d.address_length = static_cast<socklen_t>(length);
        freeaddrinfo(found);
        destinations.push_back(d);
    }
    for (FeedDestination& d : destinations) {
        const int family = d.address.ss_family;
        int& socket_of_family = family == AF_INET6 ? feed.socket_ipv6 : feed.socket_ipv4;
        if (socket_of_family < 0) {
            socket_of_family = socket(family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            if (socket_of_family < 0) {
                error = format_text("%s: %s", d.name.c_str(), std::strerror(errno));
                return false;
            }
        }
        d.socket = socket_of_family;
    }
    feed.destinations = std::move(destinations);
    return true;
}

std::vector<FeedFailure> feed_send(JsonFeed& feed, std::string_view datagram) {
    std::vector<FeedFailure> failures;
    for (FeedDestination& d : feed.destinations) {
        const ssize_t n =
            sendto(d.socket, datagram.data(), datagram.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                   reinterpret_cast<const sockaddr*>(&d.address), d.address_length);
        if (n == static_cast<ssize_t>(datagram.size())) {
            ++d.sent;
            continue;
        }
        const int why = n < 0 ? errno : EMSGSIZE;
        failures.push_back({&d, why, d.failed == 0});
        ++d.failed;
    }
    return failures;
}

}  // namespace korvad
