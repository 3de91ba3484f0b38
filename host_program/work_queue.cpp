#include "host_program/work_queue.h"

WorkQueue::WorkQueue() : thread_([this] { run(); }) {}

WorkQueue::~WorkQueue() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void WorkQueue::push(std::function<void()> item) {
    {
        std::lock_guard lock(mutex_);
        items_.push_back(std::move(item));
    }
    wake_.notify_one();
}

void WorkQueue::drain() {
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [this] { return items_.empty() && !busy_; });
}

void WorkQueue::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !items_.empty(); });
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
