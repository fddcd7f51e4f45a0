// Sleeping on 32-bit words, and the engine's one mutex protocol built on it.
#ifndef TAVRILL_ENGINE_PLATFORM_FUTEX_H_
#define TAVRILL_ENGINE_PLATFORM_FUTEX_H_

#include <atomic>
#include <cstdint>

namespace tavrill {

// Sleeps while *word holds `expected`. May return spuriously: callers re-check their condition.
void futex_wait(std::atomic<uint32_t>* word, uint32_t expected);
void futex_wake_one(std::atomic<uint32_t>* word);
void futex_wake_all(std::atomic<uint32_t>* word);

// Mutex on one word: 0 free, 1 locked, 2 locked with (possible) waiters. An uncontended lock and
// unlock are one atomic each and never enter the kernel. Safe to use from any thread; not
// recursive.
class Mutex final {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() {
    uint32_t seen = 0;
    // Acquire: everything the previous holder wrote before its unlock is visible to us.
    if (word_.compare_exchange_strong(seen, 1, std::memory_order_acquire,
                                      std::memory_order_relaxed)) {
      return;
    }
    lock_contended(seen);
  }

  void unlock() {
    // Release pairs with the acquire in lock(). Only a word of 2 can have sleepers.
    if (word_.exchange(0, std::memory_order_release) == 2) futex_wake_one(&word_);
  }

 private:
  void lock_contended(uint32_t seen);

  std::atomic<uint32_t> word_{0};
};

class MutexLock final {
 public:
  explicit MutexLock(Mutex& mutex) : mutex_(mutex) { mutex_.lock(); }
  ~MutexLock() { mutex_.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& mutex_;
};

// Condition variable on a sequence word. wait() must be called with `mutex` held; a notify that
// comes after the waiter released the mutex changes the word, so it is never lost.
class CondVar final {
 public:
  CondVar() = default;
  CondVar(const CondVar&) = delete;
  CondVar& operator=(const CondVar&) = delete;

  void wait(Mutex& mutex) {
    // Relaxed: the mutex orders the data; the word only has to change to end the sleep.
    const uint32_t seen = sequence_.load(std::memory_order_relaxed);
    mutex.unlock();
    futex_wait(&sequence_, seen);
    mutex.lock();
  }
  void notify_one() {
    sequence_.fetch_add(1, std::memory_order_relaxed);
    futex_wake_one(&sequence_);
  }
  void notify_all() {
    sequence_.fetch_add(1, std::memory_order_relaxed);
    futex_wake_all(&sequence_);
  }

 private:
  std::atomic<uint32_t> sequence_{0};
};

// A one-shot event: 0 until set, then nonzero for good. One thread waits, another sets it.
class Event final {
 public:
  void set() {
    // Release: what the setter wrote before set() is visible to the waiter that sees it set.
    word_.store(1, std::memory_order_release);
    futex_wake_all(&word_);
  }
  void wait() {
    while (word_.load(std::memory_order_acquire) == 0) futex_wait(&word_, 0);
  }
  bool is_set() const { return word_.load(std::memory_order_acquire) != 0; }

 private:
  std::atomic<uint32_t> word_{0};
};

uint64_t monotonic_nanoseconds();

}  // namespace tavrill

#endif  // TAVRILL_ENGINE_PLATFORM_FUTEX_H_
