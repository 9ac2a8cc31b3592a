// The lock every loop's relay shares. It is a plain mutex: nothing run under it takes it again.
// A closing that a rule starts under it is finished after the rule lets it go. Taking it twice
// on one thread is a fault in the relay: it stops with a line that says so, instead of
// deadlocking silently.
#pragma once

#include <atomic>
#include <mutex>
#include <thread>

namespace kavro::relay {

class SharedLock {
  public:
    void lock();
    void unlock();
    bool try_lock();
    // Whether the calling thread holds it.
    bool held_here() const {
        return owner_.load(std::memory_order_relaxed) == std::this_thread::get_id();
    }

  private:
    std::mutex mutex_;
    std::atomic<std::thread::id> owner_{};
};

}  // namespace kavro::relay
