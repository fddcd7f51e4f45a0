// The executor record, its worker runtime, and the one parallel-stage pattern every stage of the
// engine runs through.
#ifndef TAVRILL_ENGINE_EXECUTOR_H_
#define TAVRILL_ENGINE_EXECUTOR_H_

#include <pthread.h>

#include <atomic>
#include <cstdint>

#include "engine.h"
#include "errors.h"
#include "platform/allocator.h"
#include "platform/futex.h"

namespace tavrill {

struct CodecContext;

inline constexpr uint64_t kWorkerStackSize = 16 * 1024 * 1024;

// Every task of every stage has this form; failures go to the stage's FirstError.
using TaskFunction = void (*)(void* shared, uint32_t task, uint32_t task_count);

// The shared error slot of one stage: the first failure in time stays, later ones are dropped.
// Safe from any thread. Relaxed order suffices: the stage's join (TaskGroup) orders every task's
// writes before the caller reads the slot.
class FirstError final {
 public:
  void record(ErrorKind kind) {
    int32_t expected = 0;
    code_.compare_exchange_strong(expected, error_code(kind), std::memory_order_relaxed);
  }
  Status status() const {
    const int32_t code = code_.load(std::memory_order_relaxed);
    return code == 0 ? Status::Ok() : Status(kind_of_code(code));
  }

 private:
  std::atomic<int32_t> code_{0};
};

// The waiting side of one stage, on the stage caller's frame for the duration of the stage.
struct TaskGroup {
  static constexpr uint64_t kWaiting = uint64_t{1} << 63;
  static constexpr uint64_t kCountMask = kWaiting - 1;
  // Queued tasks not yet finished, plus kWaiting once the caller sleeps on `event`. One word, so
  // "last task done" and "caller waiting" are decided by a single atomic operation.
  std::atomic<uint64_t> pending{0};
  std::atomic<uint32_t> event{0};
};

struct TaskClosure {
  TaskFunction function;
  TaskGroup* group;
  void* shared;
  uint32_t task;
  uint32_t task_count;
  TaskClosure* next;
};

struct WorkerRecord {
  pthread_t thread;
  WorkerRecord* next;
};

// Worker threads and their queue. `mutex` guards every field below it; it is never held while a
// task runs.
struct Runtime {
  Mutex mutex;
  CondVar work_available;
  TaskClosure* run_queue = nullptr;  // LIFO: pushed and taken at the head
  bool join_requested = false;
  uint64_t busy_count = 0;    // tasks queued or running, over every caller of the executor
  uint64_t worker_count = 0;  // live workers; never above `limit`
  WorkerRecord* workers = nullptr;
  uint64_t stack_size = kWorkerStackSize;
  uint32_t limit = 1;
  Allocator allocator;  // for closures and worker records
};

// The engine record behind one Python Executor. Safe to share between any number of stores and
// threads; closed once, by executor_close, after every store made with it.
struct ExecutorHandle {
  Allocator allocator;
  Runtime runtime;
  CodecContext* pool_head = nullptr;  // guarded by pool_mutex
  uint32_t lanes = 1;
  Mutex pool_mutex;
  uint32_t pool_count = 0;  // guarded by pool_mutex
};

// Queues one task. False when it was refused (no memory for the closure, `lanes` tasks already
// queued or running, or no worker could be started): the caller must run it itself.
bool submit_task(Runtime& runtime, TaskGroup& group, TaskFunction function, void* shared,
                 uint32_t task, uint32_t task_count);

// Items [begin, end) of task t of T under the contiguous division of n items.
struct Slice {
  uint64_t begin;
  uint64_t end;
};
inline Slice contiguous_slice(uint64_t n, uint32_t task, uint32_t task_count) {
  const uint64_t quotient = n / task_count;
  const uint64_t remainder = n % task_count;
  const uint64_t begin = task * quotient + (task < remainder ? task : remainder);
  return Slice{begin, begin + quotient + (task < remainder ? 1 : 0)};
}

// Runs T = min(lanes, n) tasks of `function` over `shared` and waits for all of them; returns the
// first failure recorded in `first_error`. T = 1 runs on the calling thread; refused tasks run on
// the calling thread at once.
Status run_stage_tasks(ExecutorHandle& executor, uint64_t n, TaskFunction function, void* shared,
                       const FirstError& first_error);

// Typed form: `Task` is void(Shared*, uint32_t t, uint32_t T) and Shared has a `first_error`.
template <auto Task, typename Shared>
Status run_stage(ExecutorHandle& executor, uint64_t n, Shared& shared) {
  constexpr TaskFunction trampoline = [](void* state, uint32_t task, uint32_t task_count) {
    Task(static_cast<Shared*>(state), task, task_count);
  };
  return run_stage_tasks(executor, n, trampoline, &shared, shared.first_error);
}

}  // namespace tavrill

#endif  // TAVRILL_ENGINE_EXECUTOR_H_
