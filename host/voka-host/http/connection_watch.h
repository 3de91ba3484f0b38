#pragma once
// Deadlines of the HTTP server's open connections, counted from fixed
// moments rather than from the last byte: a client that trickles its head one
// byte at a time is still cut off when its time is up.
//
//   opened      → waiting for a head, until opened + head_timeout
//   head_arrived → answering, until then + answer_timeout
//   answered    → waiting for the next head (keep-alive), until then + head_timeout
//
// overdue() hands out each connection past its deadline once, for the
// server to close. Not thread-safe: the server's one thread uses it.
#include <chrono>
#include <optional>
#include <unordered_map>
#include <vector>

class ConnectionWatch {
public:
    using Clock = std::chrono::steady_clock;
    using Id = const void*;

    ConnectionWatch(Clock::duration head_timeout, Clock::duration answer_timeout)
        : head_timeout_(head_timeout), answer_timeout_(answer_timeout) {}

    void opened(Id id, int fd, Clock::time_point now);
    void head_arrived(Id id, Clock::time_point now);
    void answered(Id id, Clock::time_point now);
    void closed(Id id);

    // The descriptors of connections past their deadline, not handed out before.
    std::vector<int> overdue(Clock::time_point now);
    // The earliest deadline not handed out yet.
    std::optional<Clock::time_point> next_deadline() const;
    size_t size() const { return connections_.size(); }

private:
    struct Watched {
        int fd;
        Clock::time_point deadline;
        bool cut = false;
    };
    void set(Id id, Clock::time_point deadline);

    Clock::duration head_timeout_, answer_timeout_;
    std::unordered_map<Id, Watched> connections_;  // as many as the connection limit
};
