#include "web/request_checks.h"

#include <arpa/inet.h>

#include <algorithm>

#include "common/format.h"

namespace korvad::web {

namespace {

bool is_key_character(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_';
}

bool is_key(std::string_view text, std::size_t max) {
    return !text.empty() && text.size() <= max &&
           std::all_of(text.begin(), text.end(), is_key_character);
}

std::optional<std::uint64_t> read_digits(std::string_view text, std::size_t max_digits) {
    if (text.empty() || text.size() > max_digits) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return value;
}

}  // namespace

bool is_registration(std::string_view text) {
    return is_key(text, kMaxRegistration);
}

bool is_flight_id(std::string_view text) {
    return is_key(text, kMaxFlightId);
}

std::optional<std::uint64_t> read_id(std::string_view text) {
    return read_digits(text, 19);  // below 2^63
}

std::optional<std::size_t> read_count(std::string_view text, std::size_t max) {
    auto n = read_digits(text, 9);
    if (!n || *n < 1 || *n > max) return std::nullopt;
    return static_cast<std::size_t>(*n);
}

std::string check_query(const std::multimap<std::string, std::string>& params,
                        const std::vector<std::string_view>& allowed) {
    for (const auto& [name, value] : params) {
        if (std::find(allowed.begin(), allowed.end(), name) == allowed.end())
            return "unknown query parameter";
        if (params.count(name) > 1) return "a query parameter given twice";
    }
    return "";
}

bool is_plain_path(std::string_view path) {
    return !path.empty() && path.size() <= kMaxPath && path[0] == '/' &&
           std::all_of(path.begin(), path.end(), [](char c) { return c > 0x20 && c < 0x7f; });
}

std::optional<ListenAddress> parse_listen(std::string_view text) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos || colon == 0) return std::nullopt;
    std::string_view host = text.substr(0, colon);
    auto port = read_digits(text.substr(colon + 1), 5);
    if (!port || *port > 65535) return std::nullopt;
    if (host.front() == '[') {
        if (host.size() < 3 || host.back() != ']') return std::nullopt;
        host = host.substr(1, host.size() - 2);
        in6_addr a6;
        if (inet_pton(AF_INET6, std::string(host).c_str(), &a6) != 1) return std::nullopt;
    } else if (host.find(':') != std::string_view::npos ||
               !std::all_of(host.begin(), host.end(), is_key_character)) {
        return std::nullopt;
    }
    return ListenAddress{std::string(host), static_cast<int>(*port)};
}

bool is_loopback_host(std::string_view host) {
    if (host == "localhost" || host == "::1") return true;
    in_addr a4;
    if (inet_pton(AF_INET, std::string(host).c_str(), &a4) == 1)
        return (ntohl(a4.s_addr) >> 24) == 127;
    return false;
}

bool is_allowed_host_header(std::string_view header, std::string_view listen_host, int port) {
    const std::string listen = listen_host.find(':') != std::string_view::npos
                                   ? format_text("[%s]", std::string(listen_host).c_str())
                                   : std::string(listen_host);
    for (const std::string& name :
         {listen, std::string("localhost"), std::string("127.0.0.1"), std::string("[::1]")}) {
        if (header == format_text("%s:%d", name.c_str(), port)) return true;
        if (port == 80 && header == name) return true;
    }
    return false;
}

}  // namespace korvad::web
