#pragma once
// A serial line for tests: records every write and delivers what the test, or
// the peer it scripts, queues. A read returns at most one queued chunk; a read
// with nothing queued is a time-out, at once (or the set read error).
#include <algorithm>
#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "host/line/serial_line.h"

class FakeLine : public ByteLine {
public:
    void queue(std::string_view bytes) { incoming.emplace_back(bytes); }

    std::error_code write_all(std::span<const uint8_t> bytes) override {
        if (write_error) return write_error;
        writes.emplace_back(bytes.begin(), bytes.end());
        if (peer) peer(*this, writes.back());
        return {};
    }

    LineRead read_some(std::span<uint8_t> out, int) override {
        if (incoming.empty()) return {0, read_error};
        std::string& chunk = incoming.front();
        const size_t n = std::min(out.size(), chunk.size());
        std::copy_n(chunk.begin(), n, out.begin());
        chunk.erase(0, n);
        if (chunk.empty()) incoming.pop_front();
        return {n, {}};
    }

    // Records what the caller said was still to come, then reads as read_some.
    LineRead read_expected(std::span<uint8_t> out, size_t expected, int timeout_ms) override {
        expected_reads.push_back(expected);
        return read_some(out, timeout_ms);
    }

    std::vector<std::string> writes;
    std::vector<size_t> expected_reads;  // the `expected` of each read_expected
    std::deque<std::string> incoming;
    // Runs after each write; may queue the answer.
    std::function<void(FakeLine&, const std::string& written)> peer;
    std::error_code write_error;
    std::error_code read_error;
};
