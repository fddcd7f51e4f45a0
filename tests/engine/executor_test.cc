// The executor's one parallel-stage pattern: how many tasks run where, how items are divided,
// which error a stage reports, and that closing waits for queued work.
#include "executor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "codec_context.h"

namespace tavrill {
namespace {

struct Recorder {
  FirstError first_error;
  std::vector<std::atomic<int>> hits;
  std::atomic<uint32_t> task_count_seen{0};
  std::mutex mutex;
  std::set<std::thread::id> threads;
  explicit Recorder(uint64_t n) : hits(n) {}
};

void record_slice(Recorder* recorder, uint32_t task, uint32_t task_count) {
  recorder->task_count_seen.store(task_count);
  const Slice slice = contiguous_slice(recorder->hits.size(), task, task_count);
  for (uint64_t i = slice.begin; i < slice.end; ++i) recorder->hits[i].fetch_add(1);
  std::lock_guard<std::mutex> lock(recorder->mutex);
  recorder->threads.insert(std::this_thread::get_id());
}

class ExecutorTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (ExecutorHandle* executor : executors_) executor_close(executor);
  }
  ExecutorHandle* make(uint32_t lanes) {
    ExecutorHandle* executor = executor_create(lanes, nullptr);
    executors_.push_back(executor);
    return executor;
  }
  // Workers update the runtime's counts under its mutex, so the tests read them the same way.
  static uint64_t workers_of(ExecutorHandle* executor) {
    MutexLock lock(executor->runtime.mutex);
    return executor->runtime.worker_count;
  }
  std::vector<ExecutorHandle*> executors_;
};

TEST_F(ExecutorTest, ZeroLanesMeansOneAndNeverStartsAThread) {
  ExecutorHandle* executor = make(0);
  EXPECT_EQ(executor->lanes, 1u);
  Recorder recorder(8);
  ASSERT_TRUE((run_stage<record_slice>(*executor, 8, recorder)).ok());
  EXPECT_EQ(recorder.task_count_seen.load(), 1u);
  EXPECT_EQ(recorder.threads, std::set<std::thread::id>{std::this_thread::get_id()});
  EXPECT_EQ(workers_of(executor), 0u);
}

TEST_F(ExecutorTest, SlicesTileTheItemsInOrder) {
  for (uint64_t n : {1ull, 2ull, 3ull, 7ull, 8ull, 9ull, 31ull, 1000ull}) {
    for (uint32_t task_count = 1; task_count <= 9 && task_count <= n; ++task_count) {
      uint64_t expected_begin = 0;
      for (uint32_t task = 0; task < task_count; ++task) {
        const Slice slice = contiguous_slice(n, task, task_count);
        EXPECT_EQ(slice.begin, expected_begin) << n << " " << task << "/" << task_count;
        // Earlier tasks take the one extra item, so sizes never differ by more than one.
        EXPECT_EQ(slice.end - slice.begin, n / task_count + (task < n % task_count ? 1 : 0));
        expected_begin = slice.end;
      }
      EXPECT_EQ(expected_begin, n);
    }
  }
}

TEST_F(ExecutorTest, StagesCoverEveryItemExactlyOnce) {
  ExecutorHandle* executor = make(4);
  for (uint64_t n : {0ull, 1ull, 3ull, 4ull, 5ull, 1001ull}) {
    Recorder recorder(n);
    ASSERT_TRUE((run_stage<record_slice>(*executor, n, recorder)).ok());
    for (uint64_t i = 0; i < n; ++i) EXPECT_EQ(recorder.hits[i].load(), 1) << n << " " << i;
    // Fewer items than lanes: one task per item.
    if (n > 0) {
      EXPECT_EQ(recorder.task_count_seen.load(), n < 4 ? n : 4);
    }
  }
  EXPECT_LE(workers_of(executor), 4u);
}

struct Occupancy {
  FirstError first_error;
  std::thread::id caller_a;
  std::thread::id caller_b;
  std::atomic<int> on_workers{0};
  std::atomic<int> most_on_workers{0};
  std::atomic<int> tasks_run{0};
};

void occupy(Occupancy* occupancy, uint32_t, uint32_t) {
  const std::thread::id self = std::this_thread::get_id();
  const bool on_worker = self != occupancy->caller_a && self != occupancy->caller_b;
  if (on_worker) {
    const int now = occupancy->on_workers.fetch_add(1) + 1;
    int most = occupancy->most_on_workers.load();
    while (now > most && !occupancy->most_on_workers.compare_exchange_weak(most, now)) {
    }
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  if (on_worker) occupancy->on_workers.fetch_sub(1);
  occupancy->tasks_run.fetch_add(1);
}

TEST_F(ExecutorTest, TasksBeyondTheLaneLimitRunOnTheirCallers) {
  ExecutorHandle* executor = make(4);
  Occupancy occupancy;
  std::atomic<int> ready{0};
  auto stage = [&](std::thread::id* me) {
    *me = std::this_thread::get_id();
    ready.fetch_add(1);
    while (ready.load() < 2) std::this_thread::yield();
    EXPECT_TRUE((run_stage<occupy>(*executor, 4, occupancy)).ok());
  };
  std::thread a(stage, &occupancy.caller_a);
  std::thread b(stage, &occupancy.caller_b);
  a.join();
  b.join();
  EXPECT_EQ(occupancy.tasks_run.load(), 8);
  EXPECT_LE(occupancy.most_on_workers.load(), 4);
  EXPECT_LE(workers_of(executor), 4u);
}

struct Failing {
  FirstError first_error;
};

void fail_with_task_specific_kind(Failing* failing, uint32_t task, uint32_t) {
  static constexpr ErrorKind kKinds[] = {ErrorKind::StoreFull, ErrorKind::DecodeFailed,
                                         ErrorKind::Io, ErrorKind::InvalidFormat};
  failing->first_error.record(kKinds[task % 4]);
}

void fail_twice(Failing* failing, uint32_t, uint32_t) {
  failing->first_error.record(ErrorKind::BufferTooSmall);
  failing->first_error.record(ErrorKind::OutOfMemory);
}

TEST_F(ExecutorTest, TheFirstStoredFailureWins) {
  Failing one_task;
  const Status inline_status = run_stage<fail_twice>(*make(1), 5, one_task);
  ASSERT_FALSE(inline_status.ok());
  EXPECT_EQ(inline_status.kind(), ErrorKind::BufferTooSmall);

  // Several tasks failing at once: exactly one of their kinds comes back, never success.
  for (int round = 0; round < 20; ++round) {
    Failing failing;
    const Status status = run_stage<fail_with_task_specific_kind>(*make(4), 4, failing);
    ASSERT_FALSE(status.ok());
    EXPECT_TRUE(status.kind() == ErrorKind::StoreFull || status.kind() == ErrorKind::DecodeFailed ||
                status.kind() == ErrorKind::Io || status.kind() == ErrorKind::InvalidFormat);
  }

  // Racing recorders from plain threads: the slot keeps whichever came first.
  FirstError slot;
  slot.record(ErrorKind::NotFound);
  std::vector<std::thread> racers;
  for (int i = 0; i < 4; ++i) racers.emplace_back([&slot] { slot.record(ErrorKind::Busy); });
  for (std::thread& racer : racers) racer.join();
  EXPECT_EQ(slot.status().kind(), ErrorKind::NotFound);
}

struct SlowWork {
  std::atomic<int> finished{0};
};

void slow_task(void* shared, uint32_t, uint32_t) {
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  static_cast<SlowWork*>(shared)->finished.fetch_add(1);
}

TEST_F(ExecutorTest, CloseReturnsOnlyAfterQueuedTasksRan) {
  ExecutorHandle* executor = executor_create(2, nullptr);
  SlowWork work;
  TaskGroup group;
  ASSERT_TRUE(submit_task(executor->runtime, group, slow_task, &work, 0, 2));
  ASSERT_TRUE(submit_task(executor->runtime, group, slow_task, &work, 1, 2));
  // The limit is two queued or running tasks: a third is refused for the caller to run.
  EXPECT_FALSE(submit_task(executor->runtime, group, slow_task, &work, 2, 3));
  executor_close(executor);
  EXPECT_EQ(work.finished.load(), 2);
  EXPECT_EQ(group.pending.load() & TaskGroup::kCountMask, 0u);
}

TEST_F(ExecutorTest, CloseFreesPooledContextsOfAnIdleExecutor) {
  ExecutorHandle* executor = executor_create(3, nullptr);
  CodecContext* a = codec_context_acquire(executor).value();
  CodecContext* b = codec_context_acquire(executor).value();
  ASSERT_TRUE(ensure_scratch(a, 1000).ok());
  ASSERT_TRUE(ensure_dctx(b).ok());
  codec_context_release(executor, a);
  codec_context_reset_release(executor, b);
  EXPECT_EQ(executor->pool_count, 2u);
  EXPECT_EQ(workers_of(executor), 0u);
  executor_close(executor);  // the sanitizer builds prove the contexts are freed
}

TEST(ErrorTableTest, EveryKindHasItsOwnCodeAndUnknownCodesAreIo) {
  const std::pair<ErrorKind, int32_t> table[] = {
      {ErrorKind::OutOfMemory, -1},    {ErrorKind::Io, -2},
      {ErrorKind::RecordTooLarge, -4}, {ErrorKind::StoreFull, -5},
      {ErrorKind::BufferTooSmall, -6}, {ErrorKind::DecodeFailed, -7},
      {ErrorKind::InvalidFormat, -8},  {ErrorKind::DictTrainingFailed, -9},
      {ErrorKind::NotFound, -11},      {ErrorKind::AlreadyExists, -12},
      {ErrorKind::Busy, -13},
  };
  for (const auto& [kind, code] : table) {
    EXPECT_EQ(error_code(kind), code);
    EXPECT_EQ(kind_of_code(code), kind);
  }
  EXPECT_EQ(error_code(static_cast<ErrorKind>(200)), ERR_IO);
  EXPECT_EQ(kind_of_code(-3), ErrorKind::Io);
  EXPECT_EQ(kind_of_code(-10), ErrorKind::Io);
}

}  // namespace
}  // namespace tavrill
