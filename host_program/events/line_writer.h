#pragma once
// Writes whole lines to a stream, one writer at a time, flushed at once so
// that a reader sees every event as it happens.
#include <cstdio>
#include <mutex>
#include <string>

class LineWriter {
public:
    explicit LineWriter(std::FILE* out) : out_(out) {}

    void write(const std::string& line) {
        std::lock_guard lock(mutex_);
        std::fputs(line.c_str(), out_);
        std::fputc('\n', out_);
        std::fflush(out_);
    }

private:
    std::mutex mutex_;
    std::FILE* out_;
};
