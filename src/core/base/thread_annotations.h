// Which lock guards which data, said in the code: clang's thread-safety annotations, which
// the clang build checks (-Wthread-safety, as errors) and other compilers read as nothing,
// and a mutex and a scoped lock that carry them (the standard ones carry none here).
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define VB_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define VB_THREAD_ANNOTATION(x)
#endif

// A type that is a lock.
#define CAPABILITY(name) VB_THREAD_ANNOTATION(capability(name))
// A type that holds a lock for its scope.
#define SCOPED_CAPABILITY VB_THREAD_ANNOTATION(scoped_lockable)
// Data read or written only with the lock held.
#define GUARDED_BY(lock) VB_THREAD_ANNOTATION(guarded_by(lock))
// A function called only with the lock held.
#define REQUIRES(...) VB_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
// A function that takes, or lets go of, the lock.
#define ACQUIRE(...) VB_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) VB_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
// A function called only without the lock (it takes it itself).
#define EXCLUDES(...) VB_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
// A function the check leaves out; its comment says why it is safe.
#define NO_THREAD_SAFETY_ANALYSIS VB_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace vornback {

class CAPABILITY("mutex") Mutex {
  public:
    void Lock() ACQUIRE() { mutex_.lock(); }
    void Unlock() RELEASE() { mutex_.unlock(); }

  private:
    friend class MutexLock;
    std::mutex mutex_;
};

// Holds a Mutex from its construction to the end of its scope; it may let go of it and take
// it again in between, and wait on a condition variable (the lock is held again when the
// wait returns).
class SCOPED_CAPABILITY MutexLock {
  public:
    explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : lock_(mutex.mutex_) {}
    ~MutexLock() RELEASE() {}
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

    void Unlock() RELEASE() { lock_.unlock(); }
    void Lock() ACQUIRE() { lock_.lock(); }

    // Waits for a notification (or a spurious wake-up).
    void Wait(std::condition_variable& cv) { cv.wait(lock_); }
    // As Wait, but false once the time has come without one.
    bool WaitUntil(std::condition_variable& cv, std::chrono::steady_clock::time_point until) {
        return cv.wait_until(lock_, until) == std::cv_status::no_timeout;
    }

  private:
    std::unique_lock<std::mutex> lock_;
};

}  // namespace vornback
