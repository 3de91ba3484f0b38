#pragma once
// Where voka-host's HTTP server listens: a numeric IPv4 or IPv6 address and
// a port, written "127.0.0.1:9108" or "[::1]:9108"; port 0 takes any free one.
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

struct ListenAddress {
    std::string host;  // numeric, without brackets
    uint16_t port = 0;

    // 127.0.0.0/8 or ::1: reachable from this machine only.
    bool loopback() const;
    // As it is written back: "127.0.0.1:9108", "[::1]:9108".
    std::string text() const;
    bool operator==(const ListenAddress&) const = default;
};

// The address, or why `text` is not one.
std::variant<ListenAddress, std::string> parse_listen_address(std::string_view text);
