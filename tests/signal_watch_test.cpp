// The site's signals reach the watcher's thread, each as what it asks for,
// while no thread ever runs a handler for them.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <vector>

#include <gtest/gtest.h>

#include "host/voka-host/signal_watch.h"

namespace {

TEST(SignalWatch, EachSignalSentToTheProcessComesAsWhatItAsks) {
    sigset_t before;
    pthread_sigmask(SIG_SETMASK, nullptr, &before);
    block_watched_signals();
    std::mutex mutex;
    std::condition_variable came;
    std::vector<SiteSignal> seen;
    {
        // One sent before the watcher starts waits for it.
        ASSERT_EQ(kill(getpid(), SIGHUP), 0);
        SignalWatch watch([&](SiteSignal s) {
            std::lock_guard lock(mutex);
            seen.push_back(s);
            came.notify_all();
        });
        const auto await = [&](size_t n) {
            std::unique_lock lock(mutex);
            return came.wait_for(lock, std::chrono::seconds(5), [&] { return seen.size() >= n; });
        };
        ASSERT_TRUE(await(1));
        for (int sig : {SIGTERM, SIGINT}) {
            const size_t n = seen.size() + 1;
            ASSERT_EQ(kill(getpid(), sig), 0);
            ASSERT_TRUE(await(n)) << sig;
        }
    }
    // The watcher ended without taking anything for itself.
    EXPECT_EQ(seen, (std::vector<SiteSignal>{SiteSignal::reload, SiteSignal::stop, SiteSignal::stop}));
    sigset_t pending;
    sigpending(&pending);
    EXPECT_FALSE(sigismember(&pending, SIGHUP));
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

}  // namespace
