#pragma once
// What korvadweb accepts from a browser and from its command line. Everything
// in a request is hostile: a path part or query value that fails these checks
// is answered with 400 and never reaches the station.

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvad::web {

inline constexpr std::size_t kMaxRegistration = 7;  // characters, without leading dots
inline constexpr std::size_t kMaxFlightId = 6;
inline constexpr std::size_t kMaxPath = 256;  // bytes of a request path, decoded

// A registration or flight id to search for: 1 to kMaxRegistration (or
// kMaxFlightId) of A-Z, a-z, 0-9, '-', '.' and '_' (a squitter's registration
// is underscores). The station compares them byte for byte.
[[nodiscard]] bool is_registration(std::string_view text);
[[nodiscard]] bool is_flight_id(std::string_view text);

// A message id: 1 to 19 decimal digits, nothing else.
[[nodiscard]] std::optional<std::uint64_t> read_id(std::string_view text);
// A count of messages: 1 to max, decimal.
[[nodiscard]] std::optional<std::size_t> read_count(std::string_view text, std::size_t max);

// A query that names only allowed parameters, each at most once. Returns the
// fault for the answer, or "" when the query is good.
[[nodiscard]] std::string check_query(const std::multimap<std::string, std::string>& params,
                                      const std::vector<std::string_view>& allowed);

// A request path of printable ASCII, at most kMaxPath bytes.
[[nodiscard]] bool is_plain_path(std::string_view path);

// --listen ADDR:PORT: an IPv4 address or host name, or an IPv6 address in
// brackets ("[::1]:8080"); PORT 0 to 65535 (0: any free port).
struct ListenAddress {
    std::string host;
    int port = 0;
};
[[nodiscard]] std::optional<ListenAddress> parse_listen(std::string_view text);
[[nodiscard]] bool is_loopback_host(std::string_view host);

// Names a browser may use for a server listening on loopback, so a page of
// another site that had its name pointed at 127.0.0.1 cannot read ours. The
// Host header must be one of the loopback names with the bound port, or the
// listen host itself.
[[nodiscard]] bool is_allowed_host_header(std::string_view header, std::string_view listen_host,
                                          int port);

}  // namespace korvad::web
