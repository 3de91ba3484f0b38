#include "host_program/http/listen_address.h"

#include <arpa/inet.h>

#include <charconv>
#include <cstring>

namespace {

constexpr const char* kForm = "ADDR:PORT, e.g. 127.0.0.1:9108 or [::1]:9108";

}  // namespace

bool ListenAddress::loopback() const {
    in_addr v4{};
    if (inet_pton(AF_INET, host.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
    in6_addr v6{};
    return inet_pton(AF_INET6, host.c_str(), &v6) == 1 && std::memcmp(&v6, &in6addr_loopback, sizeof v6) == 0;
}

std::string ListenAddress::text() const {
    const std::string port_text = std::to_string(port);
    return host.find(':') == std::string::npos ? host + ":" + port_text : "[" + host + "]:" + port_text;
}

std::variant<ListenAddress, std::string> parse_listen_address(std::string_view text) {
    const size_t colon = text.rfind(':');
    if (colon == std::string_view::npos) return std::string("must be ") + kForm;
    std::string_view host = text.substr(0, colon);
    const std::string_view port = text.substr(colon + 1);
    const bool bracketed = host.size() >= 2 && host.front() == '[' && host.back() == ']';
    if (bracketed) host = host.substr(1, host.size() - 2);

    ListenAddress a;
    a.host = std::string(host);
    in_addr v4{};
    in6_addr v6{};
    const bool is_v4 = !bracketed && inet_pton(AF_INET, a.host.c_str(), &v4) == 1;
    const bool is_v6 = bracketed && inet_pton(AF_INET6, a.host.c_str(), &v6) == 1;
    if (!is_v4 && !is_v6) return "\"" + std::string(text) + "\" has no numeric address; it must be " + kForm;

    unsigned value = 0;
    const auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), value);
    if (port.empty() || ec != std::errc() || end != port.data() + port.size() || value > 65535)
        return "\"" + std::string(text) + "\" has no port from 0 to 65535; it must be " + kForm;
    a.port = static_cast<uint16_t>(value);
    return a;
}
