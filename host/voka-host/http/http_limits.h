#pragma once
// What voka-host's HTTP server grants one client, whatever it sends. The two
// connection limits are settings of the "http" element (http_config.h); the
// rest are fixed here, and tests shorten the times.
#include <chrono>
#include <cstddef>

struct HttpLimits {
    // Connections served at once, in all and per client address; one more
    // is closed as soon as it is accepted.
    unsigned max_connections = 64;
    unsigned max_connections_per_address = 8;

    // A request's head: the request line and header fields. Beyond these it is
    // answered 414 (target) or 431 (head, fields) and the connection closed;
    // a head is never stored beyond max_head_bytes and some slack of the
    // connection's fixed memory.
    size_t max_target_bytes = 2048;
    size_t max_head_bytes = 16 * 1024;
    size_t max_header_fields = 64;

    // Times counted from a fixed start, not restarted by each byte: the whole
    // head must arrive within head_timeout of the connection's start (or of
    // the previous answer's end), and an answer must be sent within
    // answer_timeout of its head; past either the connection is closed.
    std::chrono::milliseconds head_timeout{10'000};
    std::chrono::milliseconds answer_timeout{60'000};
    // A connection on which nothing moves for this long is closed.
    std::chrono::seconds idle_timeout{10};

    bool operator==(const HttpLimits&) const = default;
};
