// A scoped spin lock over a plain 32-bit lock word, for the few process-wide
// caches that are filled once and must not depend on static constructors.
#pragma once

#include <unistd.h>

#include <atomic>
#include <cstdint>

namespace maro::templates::platform {

struct SpinLockVariableGuard {
    // Takes `lock` (0 free, 1 held). With an `owner` word that already holds
    // the calling thread's id the lock is not taken again, so the holder can
    // re-enter; this guard then does not own the lock and releases nothing.
    explicit SpinLockVariableGuard(std::atomic<int32_t>* lock,
                                   std::atomic<uint32_t>* owner = nullptr)
        : lock_(lock), owner_(owner), ownsLock_(false) {
        const uint32_t self = CurrentThreadId();
        if (owner_ != nullptr && owner_->load(std::memory_order_acquire) == self)
            return;
        int32_t expected = 0;
        while (!lock_->compare_exchange_weak(expected, 1, std::memory_order_acquire,
                                             std::memory_order_relaxed)) {
            expected = 0;
            Pause();
        }
        if (owner_ != nullptr)
            owner_->store(self, std::memory_order_release);
        ownsLock_ = true;
    }

    virtual ~SpinLockVariableGuard() {
        if (!ownsLock_)
            return;
        if (owner_ != nullptr)
            owner_->store(0, std::memory_order_release);
        lock_->exchange(0, std::memory_order_release);
    }

    SpinLockVariableGuard(const SpinLockVariableGuard&) = delete;
    SpinLockVariableGuard& operator=(const SpinLockVariableGuard&) = delete;

    bool OwnsLock() const { return ownsLock_; }

    static uint32_t CurrentThreadId() { return static_cast<uint32_t>(::gettid()); }

    std::atomic<int32_t>* lock_;
    std::atomic<uint32_t>* owner_;
    bool ownsLock_;

  private:
    static void Pause() {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#elif defined(__aarch64__) || defined(__arm__)
        __asm__ __volatile__("yield");
#endif
    }
};

}  // namespace maro::templates::platform
