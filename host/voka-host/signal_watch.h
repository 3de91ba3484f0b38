#pragma once
// The signals that steer a running site (SIGINT and SIGTERM stop it, SIGHUP
// reads the site file again), taken by a thread of their own asleep in
// sigwait until one comes: no thread wakes now and then to look for them, and
// a stop is seen at once.
//
// block_watched_signals() must run on the main thread before it starts any
// other thread: threads inherit the mask, so no thread ever runs a handler for
// these signals and each one waits, pending, for the watcher (also one sent
// before the watcher starts).
//
// Threads: `on_signal` runs on the watcher's thread, one signal at a time.
// Failures: making the thread throws std::system_error.
#include <atomic>
#include <functional>
#include <thread>

enum class SiteSignal : uint8_t { stop, reload };

// Blocks SIGINT, SIGTERM and SIGHUP in the calling thread.
void block_watched_signals();

class SignalWatch {
public:
    explicit SignalWatch(std::function<void(SiteSignal)> on_signal);
    // Ends the watcher's thread; signals that come later stay pending.
    ~SignalWatch();
    SignalWatch(const SignalWatch&) = delete;
    SignalWatch& operator=(const SignalWatch&) = delete;

private:
    void run();

    std::function<void(SiteSignal)> on_signal_;
    std::atomic<bool> ending_{false};
    std::thread thread_;
};
