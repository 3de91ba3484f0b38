#pragma once
// Writes whole lines to a stream, one writer at a time, flushed at once so
// that a reader sees every event as it happens. Any thread may write; the
// writer's mutex is the last lock taken (nothing is locked under it).
#include <cstdio>
#include <string>

#include "host/voka-host/base/thread_annotations.h"

class LineWriter {
public:
    explicit LineWriter(std::FILE* out) : out_(out) {}

    void write(const std::string& line) EXCLUDES(mutex_) {
        MutexLock lock(mutex_);
        std::fputs(line.c_str(), out_);
        std::fputc('\n', out_);
        std::fflush(out_);
    }

private:
    Mutex mutex_;
    std::FILE* const out_ PT_GUARDED_BY(mutex_);
};
