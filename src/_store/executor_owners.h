// Who keeps an engine executor alive: the Python Executor until its close(), and every store
// opened with it until that store closes. The executor shuts down when the last of them lets go,
// so closing an Executor while its stores are open never frees what those stores use.
#ifndef TAVRILL_STORE_EXECUTOR_OWNERS_H_
#define TAVRILL_STORE_EXECUTOR_OWNERS_H_

#include <atomic>
#include <cstdint>

#include "engine.h"

namespace tavrill::store_module {

// Thread safety: every member may be called from any thread at any time. Each transition is one
// atomic step on `state_`, so exactly one caller is told to shut the executor down.
class ExecutorOwners final {
 public:
  ExecutorOwners() = default;
  ExecutorOwners(const ExecutorOwners&) = delete;
  ExecutorOwners& operator=(const ExecutorOwners&) = delete;

  // Takes ownership of a new executor. Called once, before the owners are shared.
  void adopt(ExecutorHandle* handle) {
    handle_ = handle;
    state_.store(kOpen, std::memory_order_relaxed);
  }

  // A hold for a new store: the executor, or nullptr once close() has run.
  ExecutorHandle* acquire_store_hold() {
    // Acquire on success pairs with the release of the hold that adopt() published.
    uint64_t state = state_.load(std::memory_order_acquire);
    do {
      if ((state & kOpen) == 0) return nullptr;
    } while (!state_.compare_exchange_weak(state, state + 1, std::memory_order_acq_rel,
                                           std::memory_order_acquire));
    return handle_;
  }

  // Ends a hold from acquire_store_hold(). Returns the executor when the caller must shut it
  // down (the Executor was closed and this was the last store), else nullptr.
  ExecutorHandle* release_store_hold() {
    // acq_rel: whoever shuts down must see every store's work on the executor.
    return state_.fetch_sub(1, std::memory_order_acq_rel) == 1 ? handle_ : nullptr;
  }

  // The Executor's own close: refuses new holds from now on. Returns the executor when the
  // caller must shut it down (no store holds it), else nullptr; nullptr on every later call.
  ExecutorHandle* close() {
    const uint64_t before = state_.fetch_and(~kOpen, std::memory_order_acq_rel);
    return before == kOpen ? handle_ : nullptr;
  }

 private:
  // The Executor's own hold, as one bit beside the count of store holds.
  static constexpr uint64_t kOpen = uint64_t{1} << 63;

  ExecutorHandle* handle_ = nullptr;
  std::atomic<uint64_t> state_{0};
};

}  // namespace tavrill::store_module

#endif  // TAVRILL_STORE_EXECUTOR_OWNERS_H_
