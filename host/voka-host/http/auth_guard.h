#pragma once
// Password guessing made slow and seen, per client address (an IPv6 client
// by its /64, which one machine holds whole):
//
// - After kRefusalsBeforeBackOff refused credentials from an address within
//   kWindow, its further credentials are refused unchecked (the server
//   answers 429 with Retry-After, without hashing) for a back-off of
//   kFirstBackOff, doubled at each back-off up to kLongestBackOff. Once a
//   back-off is over, one more refused credential starts the next. A right
//   credential ends the back-offs; an address without a refusal for
//   kForgetAfter is forgotten.
// - Refusals are logged at most once per address per kWindow, with their
//   count: the first at once, those that follow when the window ends
//   ("12 refused credentials from 10.0.0.7 in the last minute").
// - Every refusal adds one to `failures` (voka_http_auth_failures_total).
// - At most kMostAddresses are remembered: a new address beyond that takes the
//   place of the one whose last refusal is the oldest, so an attacker with
//   many addresses cannot grow the table.
//
// Not thread-safe: the server's one thread uses it (`failures` is read by
// the /metrics handler on the same thread, and kept by the server's owner).
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>

struct sockaddr;

// The address a client is known by: "10.0.0.7", or for IPv6 its /64
// ("2001:db8:1:2::/64"); "?" for another family.
std::string client_key(const sockaddr& address);

class AuthGuard {
public:
    using Clock = std::chrono::steady_clock;
    using Log = std::function<void(const std::string&)>;
    static constexpr unsigned kRefusalsBeforeBackOff = 5;
    static constexpr std::chrono::seconds kWindow{60};
    static constexpr std::chrono::seconds kFirstBackOff{60};
    static constexpr std::chrono::seconds kLongestBackOff{300};
    static constexpr std::chrono::seconds kForgetAfter{600};
    static constexpr size_t kMostAddresses = 1024;

    AuthGuard(Log log, std::atomic<uint64_t>& failures) : log_(std::move(log)), failures_(failures) {}

    // How long `client` must still wait before a credential of its own is
    // checked (rounded up to whole seconds); 0: check it now.
    std::chrono::seconds back_off_left(const std::string& client, Clock::time_point now) const;
    // A credential of `client` was refused: wrong, or sent during a back-off.
    void refused(const std::string& client, Clock::time_point now);
    // A right credential of `client`.
    void accepted(const std::string& client);
    // Writes the log lines that are due and forgets quiet addresses.
    void tick(Clock::time_point now);
    // When tick() has something to do next.
    std::optional<Clock::time_point> next_due() const;
    size_t addresses() const { return clients_.size(); }

private:
    struct Client {
        // Toward a back-off: refusals since window_start.
        Clock::time_point window_start{};
        unsigned in_window = 0;
        unsigned back_offs = 0;  // so far; each doubles the next
        Clock::time_point back_off_until{};
        // Toward the log: refusals not told yet, and when the next line may go.
        unsigned untold = 0;
        Clock::time_point next_line{};
        Clock::time_point last_refusal{};
    };
    Client& client(const std::string& address, Clock::time_point now);
    void tell(const std::string& address, Client& c, Clock::time_point now);

    Log log_;
    std::atomic<uint64_t>& failures_;
    std::unordered_map<std::string, Client> clients_;
};
