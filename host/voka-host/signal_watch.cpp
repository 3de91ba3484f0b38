#include "host/voka-host/signal_watch.h"

#include <pthread.h>

#include <csignal>

namespace {

sigset_t watched() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    return set;
}

}  // namespace

void block_watched_signals() {
    const sigset_t set = watched();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

SignalWatch::SignalWatch(std::function<void(SiteSignal)> on_signal)
    : on_signal_(std::move(on_signal)), thread_([this] { run(); }) {}

SignalWatch::~SignalWatch() {
    ending_ = true;
    // Directed at the watcher alone: it takes it from sigwait and sees it is ending.
    pthread_kill(thread_.native_handle(), SIGHUP);
    thread_.join();
}

void SignalWatch::run() {
    const sigset_t set = watched();
    // The watcher must have them blocked itself whoever made it.
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    for (;;) {
        int signal = 0;
        if (sigwait(&set, &signal) != 0) continue;
        if (ending_) return;
        on_signal_(signal == SIGHUP ? SiteSignal::reload : SiteSignal::stop);
    }
}
