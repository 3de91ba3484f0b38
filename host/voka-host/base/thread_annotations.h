#pragma once
// Clang's thread-safety analysis (-Wthread-safety): which mutex guards which
// member, and which functions must or must not hold it, checked when the
// host is built with clang (the thread-safety preset). The attributes are
// nothing under GCC.
//
// libstdc++'s std::mutex carries no attributes, so guarded state uses Mutex
// and MutexLock below; a condition wait takes a MutexLock through
// std::condition_variable_any.
//
// Lock order in voka-host (a lock may be taken while holding the ones before it):
//   PowerSystem::devices_ -> HostController::record_types_mutex_, LineWriter
//   AlarmEngine -> HistoryDb -> LineWriter (a database problem is reported under its lock)
// WorkQueue's mutex is a leaf: items run outside it, and no thread waits for
// another while it holds any of these.
#include <mutex>

#if defined(__clang__)
#define VOKA_THREAD_ATTRIBUTE(x) __attribute__((x))
#else
#define VOKA_THREAD_ATTRIBUTE(x)
#endif

#define CAPABILITY(x) VOKA_THREAD_ATTRIBUTE(capability(x))
#define SCOPED_CAPABILITY VOKA_THREAD_ATTRIBUTE(scoped_lockable)
#define GUARDED_BY(x) VOKA_THREAD_ATTRIBUTE(guarded_by(x))
#define PT_GUARDED_BY(x) VOKA_THREAD_ATTRIBUTE(pt_guarded_by(x))
#define REQUIRES(...) VOKA_THREAD_ATTRIBUTE(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) VOKA_THREAD_ATTRIBUTE(acquire_capability(__VA_ARGS__))
#define RELEASE(...) VOKA_THREAD_ATTRIBUTE(release_capability(__VA_ARGS__))
#define EXCLUDES(...) VOKA_THREAD_ATTRIBUTE(locks_excluded(__VA_ARGS__))

class CAPABILITY("mutex") Mutex {
public:
    void lock() ACQUIRE() { mutex_.lock(); }
    void unlock() RELEASE() { mutex_.unlock(); }

private:
    std::mutex mutex_;
};

class SCOPED_CAPABILITY MutexLock {
public:
    explicit MutexLock(Mutex& m) ACQUIRE(m) : mutex_(m) { mutex_.lock(); }
    ~MutexLock() RELEASE() { mutex_.unlock(); }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

    // For std::condition_variable_any, which lets go of the lock while it
    // waits and takes it again before it returns.
    void lock() ACQUIRE() { mutex_.lock(); }
    void unlock() RELEASE() { mutex_.unlock(); }

private:
    Mutex& mutex_;
};
