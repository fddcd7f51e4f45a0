#include "platform/futex.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

namespace tavrill {
namespace {

long futex(std::atomic<uint32_t>* word, int op, uint32_t value) {
  static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t));
  // Words are private to this process, which lets the kernel skip the shared-mapping lookup.
  return syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), op | FUTEX_PRIVATE_FLAG, value,
                 nullptr, nullptr, 0);
}

}  // namespace

void futex_wait(std::atomic<uint32_t>* word, uint32_t expected) {
  // EAGAIN (the word already changed) and EINTR both mean "look again", which every caller does.
  futex(word, FUTEX_WAIT, expected);
}

void futex_wake_one(std::atomic<uint32_t>* word) { futex(word, FUTEX_WAKE, 1); }

void futex_wake_all(std::atomic<uint32_t>* word) { futex(word, FUTEX_WAKE, INT32_MAX); }

void Mutex::lock_contended(uint32_t seen) {
  // Mark the word as having waiters before sleeping, so the holder's unlock wakes one of us.
  // Whoever swaps a 0 out of the word owns the mutex.
  if (seen != 2) seen = word_.exchange(2, std::memory_order_acquire);
  while (seen != 0) {
    futex_wait(&word_, 2);
    seen = word_.exchange(2, std::memory_order_acquire);
  }
}

uint64_t monotonic_nanoseconds() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

}  // namespace tavrill
