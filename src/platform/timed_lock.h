// timed_lock.h -- taking a std::timed_mutex by a deadline on the monotonic
// clock, in a way ThreadSanitizer follows.
//
// libstdc++ waits for such a deadline in pthread_mutex_clocklock, which
// ThreadSanitizer does not intercept: it would see the unlock without the
// lock, report "unlock of an unlocked mutex", and miss the ordering the lock
// gives, so every access the lock guards would look like a race. Under
// ThreadSanitizer the wait is announced through its mutex annotations, as
// its own wrappers of the other pthread locks do; elsewhere it is a plain
// try_lock_until.
#ifndef PEERDIR_PLATFORM_TIMED_LOCK_H
#define PEERDIR_PLATFORM_TIMED_LOCK_H

#include <chrono>
#include <mutex>

#if defined(__SANITIZE_THREAD__)
#define PEERDIR_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define PEERDIR_THREAD_SANITIZER 1
#endif
#endif

#ifdef PEERDIR_THREAD_SANITIZER
#include <sanitizer/tsan_interface.h>
#endif

namespace peerdir {

// Takes lock unless deadline comes first; true when it was taken.
inline bool lockBefore(std::timed_mutex& lock, std::chrono::steady_clock::time_point deadline) {
#ifdef PEERDIR_THREAD_SANITIZER
    // The unlock goes through the intercepted pthread_mutex_unlock on the
    // same address, so the lock is announced on it too.
    void* handle = lock.native_handle();
    __tsan_mutex_pre_lock(handle, __tsan_mutex_try_lock);
    const bool locked = lock.try_lock_until(deadline);
    __tsan_mutex_post_lock(handle,
                           __tsan_mutex_try_lock | (locked ? 0 : __tsan_mutex_try_lock_failed), 0);
    return locked;
#else
    return lock.try_lock_until(deadline);
#endif
}

}  // namespace peerdir

#endif
