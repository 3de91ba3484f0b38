#include "host/voka-host/http/listen_address.h"

#include <arpa/inet.h>

#include <charconv>
#include <cstring>

#include <fmt/format.h>

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
    // Appended piece by piece: GCC 12 at -O3 reports a false -Wrestrict in `"[" + host`.
    const bool v6 = host.find(':') != std::string::npos;
    std::string out;
    if (v6) out.append(1, '[');
    out.append(host);
    if (v6) out.append(1, ']');
    return out.append(1, ':').append(std::to_string(port));
}

std::variant<ListenAddress, std::string> parse_listen_address(std::string_view text) {
    const size_t colon = text.rfind(':');
    if (colon == std::string_view::npos) return fmt::format("must be {}", kForm);
    std::string_view host = text.substr(0, colon);
    const std::string_view port = text.substr(colon + 1);
    const bool bracketed = host.size() >= 2 && host.front() == '[' && host.back() == ']';
    if (bracketed) host = host.substr(1, host.size() - 2);

    // inet_pton reads a C string: a NUL inside would hide what follows it.
    if (host.find_first_not_of("0123456789abcdefABCDEF.:") != std::string_view::npos)
        return fmt::format("\"{}\" has no numeric address; it must be {}", text, kForm);
    ListenAddress a;
    a.host = std::string(host);
    in_addr v4{};
    in6_addr v6{};
    const bool is_v4 = !bracketed && inet_pton(AF_INET, a.host.c_str(), &v4) == 1;
    const bool is_v6 = bracketed && inet_pton(AF_INET6, a.host.c_str(), &v6) == 1;
    if (!is_v4 && !is_v6) return fmt::format("\"{}\" has no numeric address; it must be {}", text, kForm);

    unsigned value = 0;
    const auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), value);
    if (port.empty() || ec != std::errc() || end != port.data() + port.size() || value > 65535)
        return fmt::format("\"{}\" has no port from 0 to 65535; it must be {}", text, kForm);
    a.port = static_cast<uint16_t>(value);
    return a;
}
