#pragma once
// How voka-host's own parts are doing, for /metrics: the history database's
// write failures and each broker connection's state. Gathered when a scrape
// asks (a copy of a few counters), so the parts only count.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct PublisherFigures {
    std::string system;  // the power system whose connection it is
    bool connected = false;   // a session with the broker is up
    uint64_t queued = 0;      // messages waiting in the outbox
    uint64_t dropped_states = 0;  // dropped from the outbox so far, by kind
    uint64_t dropped_events = 0;
};

struct HostFigures {
    uint64_t history_write_failures = 0;  // statements that did not store what they were given
    std::vector<PublisherFigures> publishers;  // empty without a broker
};

// Called on the HTTP server's thread; must not block for long.
using HostFiguresSource = std::function<HostFigures()>;
