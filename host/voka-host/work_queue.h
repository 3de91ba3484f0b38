#pragma once
// The host's worker thread: runs the devices' work items in the order they
// were queued, away from the polling threads. Polling threads push (a
// device's CheckThresholdWork); the main thread drains at shut-down. Items
// run outside the queue's mutex, which is a leaf lock.
#include <condition_variable>
#include <deque>
#include <functional>
#include <thread>

#include "host/voka-host/base/thread_annotations.h"

class WorkQueue {
public:
    WorkQueue();
    // Runs what is still queued, then stops the thread.
    ~WorkQueue();
    WorkQueue(const WorkQueue&) = delete;
    WorkQueue& operator=(const WorkQueue&) = delete;

    void push(std::function<void()> item) EXCLUDES(mutex_);
    // Waits until every item queued so far has run.
    void drain() EXCLUDES(mutex_);

private:
    void run() EXCLUDES(mutex_);

    Mutex mutex_;
    std::condition_variable_any wake_;
    std::condition_variable_any idle_;
    std::deque<std::function<void()>> items_ GUARDED_BY(mutex_);
    bool busy_ GUARDED_BY(mutex_) = false;
    bool stopping_ GUARDED_BY(mutex_) = false;
    std::thread thread_;
};
