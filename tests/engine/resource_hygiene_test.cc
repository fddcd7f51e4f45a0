// Many store lifetimes in one process: create, append, close, open, gather, close, ten thousand
// times over one executor. Open descriptors must come back to the same count after every cycle,
// resident memory must stay flat once the pools are warm, and closing the executor must give back
// every allocator block.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/fault.h"
#include "test_support.h"

namespace tavrill {
namespace {

using testing::TempDir;
using Bytes = std::vector<uint8_t>;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// Sanitizers hold freed memory back on purpose and run several times slower: fewer cycles, and
// resident memory is not theirs to judge.
constexpr uint64_t kCycles = 2000;
constexpr bool kJudgeResidentMemory = false;
#else
constexpr uint64_t kCycles = 10000;
constexpr bool kJudgeResidentMemory = true;
#endif
constexpr uint64_t kWarmUpCycles = kCycles / 10;
// Room for the allocator's own bookkeeping to settle; a leak of even one small block per cycle
// would pass it within the first few thousand cycles.
constexpr uint64_t kResidentSlackBytes = uint64_t{4} << 20;

uint64_t resident_bytes() {
  unsigned long long total_pages = 0;
  unsigned long long resident_pages = 0;
  FILE* statm = std::fopen("/proc/self/statm", "r");
  if (statm == nullptr || std::fscanf(statm, "%llu %llu", &total_pages, &resident_pages) != 2) {
    ADD_FAILURE() << "cannot read /proc/self/statm";
  }
  if (statm != nullptr) std::fclose(statm);
  return resident_pages * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
}

Bytes record(uint64_t tag, uint64_t size) {
  const std::string text = "{\"cycle\": " + std::to_string(tag) + ", \"ok\": true} ";
  Bytes bytes(size);
  for (uint64_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(text[i % text.size()]);
  return bytes;
}

// One store lifetime; every codec and shard count comes round in turn.
void run_cycle(ExecutorHandle* executor, const std::string& path, uint64_t cycle) {
  const uint8_t codec = static_cast<uint8_t>(cycle % 3);
  const uint8_t shards = static_cast<uint8_t>(1 + cycle % 4);
  const Bytes dictionary = record(cycle, 300);
  const testing::Opened created =
      testing::create_store(executor, path, codec, shards, {'s'}, dictionary);
  ASSERT_EQ(created.code, 0);
  Bytes dense;
  for (uint64_t i = 0; i < 4; ++i) {
    const Bytes r = record(cycle + i, 64);
    dense.insert(dense.end(), r.begin(), r.end());
  }
  ASSERT_EQ(store_dense_append(created.handle, dense.data(), 64, 4), 0);
  const Bytes ragged = record(cycle, 40);
  const auto base = reinterpret_cast<uint64_t>(ragged.data());
  const RaggedSlice slices[] = {{base, 8, base + 8, 12}, {base, 8, base + 8, 32}};
  ASSERT_EQ(store_ragged_append(created.handle, slices, 2, 60), 4);
  ASSERT_EQ(store_sync(created.handle), 0);
  store_close(created.handle);

  const testing::Opened opened = testing::open_store(executor, path);
  ASSERT_EQ(opened.code, 0);
  const uint64_t dense_idxs[] = {3, 0, 2, 3};
  Bytes gathered(4 * 64);
  EXPECT_EQ(store_dense_gather(opened.handle, dense_idxs, 4, gathered.data(), 64), 0);
  EXPECT_TRUE(std::equal(gathered.begin(), gathered.begin() + 64, dense.begin() + 3 * 64));
  const uint64_t ragged_idxs[] = {5, 4, 0};
  uint64_t ends[3];
  int32_t code = 0;
  RaggedPlan* plan = ragged_plan_create(opened.handle, ragged_idxs, 3, 8, ends, &code);
  EXPECT_NE(plan, nullptr) << code;
  if (plan != nullptr) {
    Bytes destination(32 + ragged_plan_values_bytes(plan));
    EXPECT_EQ(ragged_plan_gather(plan, destination.data(), destination.size(), 32, ends), 0);
    ragged_plan_free(plan);
  }
  store_close(opened.handle);
  std::filesystem::remove_all(path);
}

TEST(ResourceHygieneTest, StoreLifetimesLeaveDescriptorsAndMemoryFlat) {
  const TempDir dir;
  const std::string path = dir / "store";
  const uint64_t descriptors = testing::open_descriptors();
  const int64_t blocks = fault_ledger_live_blocks();
  ExecutorHandle* executor = executor_create(2, nullptr);
  ASSERT_NE(executor, nullptr);

  uint64_t resident_after_warm_up = 0;
  for (uint64_t cycle = 0; cycle < kCycles; ++cycle) {
    run_cycle(executor, path, cycle);
    ASSERT_FALSE(::testing::Test::HasFailure()) << "cycle " << cycle;
    ASSERT_EQ(testing::open_descriptors(), descriptors) << "descriptors grew in cycle " << cycle;
    if (cycle + 1 == kWarmUpCycles) resident_after_warm_up = resident_bytes();
  }
  const uint64_t resident_at_end = resident_bytes();
  if (kJudgeResidentMemory) {
    EXPECT_LE(resident_at_end, resident_after_warm_up + kResidentSlackBytes)
        << "resident memory grew from " << resident_after_warm_up << " to " << resident_at_end
        << " bytes over " << kCycles - kWarmUpCycles << " cycles";
  }
  executor_close(executor);
  EXPECT_EQ(fault_ledger_live_blocks(), blocks) << "allocator blocks outlived their executor";
  EXPECT_EQ(testing::open_descriptors(), descriptors);
}

}  // namespace
}  // namespace tavrill
