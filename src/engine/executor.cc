#include "executor.h"

#include "codec_context.h"
#include "platform/thread.h"

namespace tavrill {
namespace {

void run_closure(Runtime& runtime, TaskClosure* closure) {
  closure->function(closure->shared, closure->task, closure->task_count);
  TaskGroup* group = closure->group;
  allocator_delete(runtime.allocator, closure);
  // Acq_rel: our task's writes are released to whoever sees the count drop, and the last task
  // acquires the writes of the ones before it before it wakes the caller.
  const uint64_t before = group->pending.fetch_sub(1, std::memory_order_acq_rel);
  if ((before & TaskGroup::kCountMask) == 1 && (before & TaskGroup::kWaiting) != 0) {
    // The caller may return and drop the group as soon as it sees the event; the wake below
    // only names the address and touches no memory.
    group->event.store(1, std::memory_order_release);
    futex_wake_one(&group->event);
  }
}

void* worker_main(void* argument) {
  Runtime& runtime = *static_cast<Runtime*>(argument);
  runtime.mutex.lock();
  for (;;) {
    if (runtime.run_queue != nullptr) {
      TaskClosure* closure = runtime.run_queue;
      runtime.run_queue = closure->next;
      runtime.mutex.unlock();
      run_closure(runtime, closure);
      runtime.mutex.lock();
      --runtime.busy_count;
      continue;
    }
    // The queue is drained before a join request is honoured, so close waits for every task.
    if (runtime.join_requested) break;
    runtime.work_available.wait(runtime.mutex);
  }
  --runtime.worker_count;
  runtime.mutex.unlock();
  return nullptr;
}

void wait_for_group(TaskGroup& group) {
  const uint64_t before = group.pending.fetch_or(TaskGroup::kWaiting, std::memory_order_acq_rel);
  if ((before & TaskGroup::kCountMask) == 0) return;
  while (group.event.load(std::memory_order_acquire) == 0) futex_wait(&group.event, 0);
}

}  // namespace

bool submit_task(Runtime& runtime, TaskGroup& group, TaskFunction function, void* shared,
                 uint32_t task, uint32_t task_count) {
  TaskClosure* closure = allocator_new<TaskClosure>(
      runtime.allocator, TaskClosure{function, &group, shared, task, task_count, nullptr});
  if (closure == nullptr) return false;

  runtime.mutex.lock();
  if (runtime.busy_count >= runtime.limit) {
    runtime.mutex.unlock();
    allocator_delete(runtime.allocator, closure);
    return false;
  }
  const uint64_t busy_before = runtime.busy_count;
  runtime.busy_count = busy_before + 1;
  // Start a worker only when every live one already has a task; so there are never more
  // workers than `limit`.
  if (runtime.worker_count == busy_before) {
    WorkerRecord* worker = allocator_new<WorkerRecord>(runtime.allocator);
    ++runtime.worker_count;
    if (worker == nullptr ||
        !start_thread(worker_main, &runtime, runtime.stack_size, &worker->thread)) {
      --runtime.worker_count;
      runtime.busy_count = busy_before;
      runtime.mutex.unlock();
      if (worker != nullptr) allocator_delete(runtime.allocator, worker);
      allocator_delete(runtime.allocator, closure);
      return false;
    }
    worker->next = runtime.workers;
    runtime.workers = worker;
  }
  // Relaxed: the count is only compared by this group's tasks and caller, which meet through the
  // runtime mutex (push and pop) and the acq_rel operations on `pending` itself.
  group.pending.fetch_add(1, std::memory_order_relaxed);
  closure->next = runtime.run_queue;
  runtime.run_queue = closure;
  runtime.mutex.unlock();
  runtime.work_available.notify_one();
  return true;
}

Status run_stage_tasks(ExecutorHandle& executor, uint64_t n, TaskFunction function, void* shared,
                       const FirstError& first_error) {
  if (n == 0) return Status::Ok();
  const uint32_t task_count = n < executor.lanes ? static_cast<uint32_t>(n) : executor.lanes;
  if (task_count == 1) {
    function(shared, 0, 1);
  } else {
    TaskGroup group;
    for (uint32_t task = 0; task < task_count; ++task) {
      if (!submit_task(executor.runtime, group, function, shared, task, task_count)) {
        function(shared, task, task_count);
      }
    }
    wait_for_group(group);
  }
  return first_error.status();
}

ExecutorHandle* executor_create(uint32_t lanes, int32_t* code) noexcept {
  const Allocator allocator = default_allocator();
  ExecutorHandle* executor = allocator_new<ExecutorHandle>(allocator);
  if (executor == nullptr) {
    if (code != nullptr) *code = ERR_OUT_OF_MEMORY;
    return nullptr;
  }
  executor->allocator = allocator;
  executor->lanes = lanes == 0 ? 1 : lanes;
  executor->runtime.limit = executor->lanes;
  executor->runtime.allocator = allocator;
  return executor;
}

void executor_close(ExecutorHandle* executor) noexcept {
  Runtime& runtime = executor->runtime;
  runtime.mutex.lock();
  runtime.join_requested = true;
  WorkerRecord* workers = runtime.workers;
  runtime.workers = nullptr;
  runtime.mutex.unlock();
  runtime.work_available.notify_all();

  // Joining every worker is the wait for the last one: each drains the queue before it exits,
  // and after the join no worker can touch the record we are about to free.
  while (workers != nullptr) {
    WorkerRecord* next = workers->next;
    join_thread(workers->thread);
    allocator_delete(runtime.allocator, workers);
    workers = next;
  }

  // No other thread can reach the pool any more, so its mutex is not needed.
  CodecContext* context = executor->pool_head;
  while (context != nullptr) {
    CodecContext* next = context->next;
    codec_context_free(context);
    allocator_delete(executor->allocator, context);
    context = next;
  }
  allocator_delete(default_allocator(), executor);
}

}  // namespace tavrill
