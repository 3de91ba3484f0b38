#pragma once
// The host's worker thread: runs the devices' work items in the order they
// were queued, away from the polling threads.
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

class WorkQueue {
public:
    WorkQueue();
    // Runs what is still queued, then stops the thread.
    ~WorkQueue();
    WorkQueue(const WorkQueue&) = delete;
    WorkQueue& operator=(const WorkQueue&) = delete;

    void push(std::function<void()> item);
    // Waits until every item queued so far has run.
    void drain();

private:
    void run();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::deque<std::function<void()>> items_;
    bool busy_ = false;
    bool stopping_ = false;
    std::thread thread_;
};
