#include "host/voka-host/http/auth_guard.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstring>

#include <fmt/format.h>

namespace {

long long whole_seconds(AuthGuard::Clock::duration d) { return std::chrono::ceil<std::chrono::seconds>(d).count(); }

}  // namespace

std::string client_key(const sockaddr& address) {
    // Copied out, not cast: the address the server hands over is only as
    // aligned as a sockaddr, less than the IPv4 and IPv6 forms need on ARM.
    char text[INET6_ADDRSTRLEN] = "?";
    if (address.sa_family == AF_INET) {
        sockaddr_in v4;
        std::memcpy(&v4, &address, sizeof v4);
        inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text);
        return text;
    }
    if (address.sa_family != AF_INET6) return text;
    sockaddr_in6 v6;
    std::memcpy(&v6, &address, sizeof v6);
    in6_addr prefix = v6.sin6_addr;
    std::memset(prefix.s6_addr + 8, 0, 8);
    inet_ntop(AF_INET6, &prefix, text, sizeof text);
    return std::string(text) + "/64";
}

std::chrono::seconds AuthGuard::back_off_left(const std::string& client, Clock::time_point now) const {
    const auto found = clients_.find(client);
    if (found == clients_.end() || found->second.back_off_until <= now) return std::chrono::seconds(0);
    return std::chrono::seconds(whole_seconds(found->second.back_off_until - now));
}

AuthGuard::Client& AuthGuard::client(const std::string& address, Clock::time_point now) {
    auto found = clients_.find(address);
    if (found != clients_.end()) return found->second;
    if (clients_.size() >= kMostAddresses) {
        const auto quietest = std::min_element(clients_.begin(), clients_.end(), [](const auto& a, const auto& b) {
            return a.second.last_refusal < b.second.last_refusal;
        });
        clients_.erase(quietest);
    }
    Client& c = clients_[address];
    c.window_start = now;
    return c;
}

void AuthGuard::refused(const std::string& address, Clock::time_point now) {
    failures_.fetch_add(1, std::memory_order_relaxed);
    Client& c = client(address, now);
    c.last_refusal = now;
    ++c.untold;
    if (now < c.back_off_until) {
        // Sent during a back-off: counted, and the back-off stands as it is.
    } else if (c.back_offs > 0) {
        ++c.back_offs;
    } else {
        if (now - c.window_start >= kWindow) c.window_start = now, c.in_window = 0;
        if (++c.in_window >= kRefusalsBeforeBackOff) c.back_offs = 1;
    }
    if (c.back_offs > 0 && now >= c.back_off_until) {
        const auto length = std::min<Clock::duration>(kFirstBackOff * (1LL << std::min(c.back_offs - 1, 8u)),
                                                      kLongestBackOff);
        c.back_off_until = now + length;
    }
    if (now >= c.next_line) tell(address, c, now);
}

void AuthGuard::accepted(const std::string& address) {
    const auto found = clients_.find(address);
    if (found == clients_.end()) return;
    Client& c = found->second;
    if (c.untold == 0) {
        clients_.erase(found);
        return;
    }
    c.in_window = 0;  // the log still has refusals to tell
    c.back_offs = 0;
    c.back_off_until = {};
}

void AuthGuard::tell(const std::string& address, Client& c, Clock::time_point now) {
    std::string line = fmt::format("voka-host: HTTP: {} refused credential{} from {} in the last minute", c.untold,
                                   c.untold == 1 ? "" : "s", address);
    if (c.back_off_until > now)
        line += fmt::format("; its credentials are refused unchecked (429) for {} s", whole_seconds(c.back_off_until - now));
    if (log_) log_(line);
    c.untold = 0;
    c.next_line = now + kWindow;
}

void AuthGuard::tick(Clock::time_point now) {
    for (auto it = clients_.begin(); it != clients_.end();) {
        Client& c = it->second;
        if (c.untold > 0 && now >= c.next_line) tell(it->first, c, now);
        const bool quiet = c.untold == 0 && now >= c.back_off_until && now - c.last_refusal >= kForgetAfter;
        it = quiet ? clients_.erase(it) : std::next(it);
    }
}

std::optional<AuthGuard::Clock::time_point> AuthGuard::next_due() const {
    std::optional<Clock::time_point> due;
    for (const auto& [address, c] : clients_) {
        const Clock::time_point at =
            c.untold > 0 ? c.next_line : std::max(c.back_off_until, c.last_refusal + kForgetAfter);
        if (!due || at < *due) due = at;
    }
    return due;
}
