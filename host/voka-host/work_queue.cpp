#include "host/voka-host/work_queue.h"

WorkQueue::WorkQueue() : thread_([this] { run(); }) {}

WorkQueue::~WorkQueue() {
    {
        MutexLock lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void WorkQueue::push(std::function<void()> item) {
    {
        MutexLock lock(mutex_);
        items_.push_back(std::move(item));
    }
    wake_.notify_one();
}

void WorkQueue::drain() {
    MutexLock lock(mutex_);
    while (!items_.empty() || busy_) idle_.wait(lock);
}

void WorkQueue::run() {
    MutexLock lock(mutex_);
    for (;;) {
        while (!stopping_ && items_.empty()) wake_.wait(lock);
        if (items_.empty()) return;  // stopping, nothing left
        auto item = std::move(items_.front());
        items_.pop_front();
        busy_ = true;
        lock.unlock();
        item();
        item = nullptr;  // release what the item holds (a device) before reporting idle
        lock.lock();
        busy_ = false;
        if (items_.empty()) idle_.notify_all();
    }
}
