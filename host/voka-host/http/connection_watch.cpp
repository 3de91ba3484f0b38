#include "host/voka-host/http/connection_watch.h"

void ConnectionWatch::opened(Id id, int fd, Clock::time_point now) {
    connections_[id] = Watched{fd, now + head_timeout_};
}

void ConnectionWatch::head_arrived(Id id, Clock::time_point now) { set(id, now + answer_timeout_); }

void ConnectionWatch::answered(Id id, Clock::time_point now) { set(id, now + head_timeout_); }

void ConnectionWatch::closed(Id id) { connections_.erase(id); }

void ConnectionWatch::set(Id id, Clock::time_point deadline) {
    const auto found = connections_.find(id);
    if (found != connections_.end() && !found->second.cut) found->second.deadline = deadline;
}

std::vector<int> ConnectionWatch::overdue(Clock::time_point now) {
    std::vector<int> fds;
    for (auto& [id, c] : connections_)
        if (!c.cut && c.deadline <= now) {
            c.cut = true;
            fds.push_back(c.fd);
        }
    return fds;
}

std::optional<ConnectionWatch::Clock::time_point> ConnectionWatch::next_deadline() const {
    std::optional<Clock::time_point> earliest;
    for (const auto& [id, c] : connections_)
        if (!c.cut && (!earliest || c.deadline < *earliest)) earliest = c.deadline;
    return earliest;
}
