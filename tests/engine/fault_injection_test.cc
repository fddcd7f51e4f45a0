// Every failure point of create, open, the two appends (and so the commit), sync and both gathers,
// one at a time: the platform seam fails the n-th call of one kind, for every n the operation
// makes. Each failure must come back as its code, give back every descriptor and allocator block
// it took, and publish nothing: the count and the next first index stay, and a store reopened
// after sync holds exactly the records that were appended successfully.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "disk_reader.h"
#include "executor.h"
#include "platform/fault.h"
#include "test_support.h"

namespace tavrill {
namespace {

using testing::DiskReader;
using testing::TempDir;
using Bytes = std::vector<uint8_t>;

constexpr FaultSite kSites[] = {
    FaultSite::kOpen,          FaultSite::kRead,          FaultSite::kWrite,
    FaultSite::kAllocate,      FaultSite::kRemap,         FaultSite::kFileSize,
    FaultSite::kSetFileEnd,    FaultSite::kListDirectory, FaultSite::kLock,
    FaultSite::kMakeDirectory, FaultSite::kStartThread,
};

const char* site_name(FaultSite site) {
  static const char* const kNames[] = {"open",  "read",           "write",        "allocate",
                                       "remap", "file size",      "set file end", "list directory",
                                       "lock",  "make directory", "start thread"};
  return kNames[static_cast<unsigned>(site)];
}

// What the one failing call must turn into. Some failures have a way around them: a refused
// worker thread or task closure means the task runs on the calling thread, and a refused remap
// means a fresh block and a copy. Those must not fail the call at all.
struct Expectation {
  bool may_succeed;
  bool may_fail;
  int32_t code;
};

Expectation expectation_for(FaultSite site, uint32_t lanes) {
  switch (site) {
    case FaultSite::kStartThread:
    case FaultSite::kRemap:
      return {true, false, 0};
    case FaultSite::kAllocate:
      // With one lane no closure or worker is ever allocated, so every allocation is needed.
      return {lanes > 1, true, ERR_OUT_OF_MEMORY};
    default:
      return {false, true, ERR_IO};
  }
}

void expect_outcome(FaultSite site, uint32_t lanes, bool fired, int32_t code) {
  const Expectation expected = expectation_for(site, lanes);
  if (!fired || code == 0) {
    EXPECT_TRUE(!fired || expected.may_succeed)
        << "a failed " << site_name(site) << " was reported as success";
    EXPECT_EQ(code, 0);
    return;
  }
  EXPECT_TRUE(expected.may_fail) << "a failed " << site_name(site) << " failed the call";
  EXPECT_EQ(code, expected.code) << "after a failed " << site_name(site);
}

// Records whose sizes differ, in text that compresses, so every codec has real work to do.
Bytes record(uint64_t tag, uint64_t size) {
  const std::string text = "{\"id\": " + std::to_string(tag) + ", \"label\": \"heron\"} ";
  Bytes bytes(size);
  for (uint64_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(text[i % text.size()]);
  return bytes;
}

Bytes dictionary() {
  Bytes bytes;
  for (uint64_t i = 0; i < 40; ++i) {
    const Bytes r = record(i, 50);
    bytes.insert(bytes.end(), r.begin(), r.end());
  }
  return bytes;
}

// A batch for one append: dense batches share one size, ragged ones vary.
std::vector<Bytes> batch(uint64_t first_tag, uint64_t count, bool dense) {
  std::vector<Bytes> records;
  for (uint64_t i = 0; i < count; ++i) {
    const uint64_t tag = first_tag + i;
    records.push_back(record(tag, dense ? 72 : 9 + (tag * 37) % 150));
  }
  return records;
}

int64_t append(StoreHandle* store, const std::vector<Bytes>& records, bool dense) {
  if (dense) {
    Bytes data;
    for (const Bytes& r : records) data.insert(data.end(), r.begin(), r.end());
    return store_dense_append(store, data.data(), records.empty() ? 1 : records[0].size(),
                              records.size());
  }
  std::vector<RaggedSlice> slices;
  uint64_t total = 0;
  for (const Bytes& r : records) {
    const auto base = reinterpret_cast<uint64_t>(r.data());
    const uint64_t header = r.size() < 8 ? 0 : 8;
    slices.push_back(RaggedSlice{base, header, base + header, r.size() - header});
    total += r.size();
  }
  return store_ragged_append(store, slices.data(), slices.size(), total);
}

// One try of an operation with the n-th call at one site failing. Everything the try makes lives
// here and is gone, executor included, before the next try starts.
struct Scenario {
  TempDir dir;
  ExecutorHandle* executor = nullptr;
  StoreHandle* store = nullptr;

  explicit Scenario(uint32_t lanes) : executor(executor_create(lanes, nullptr)) {}
  ~Scenario() {
    if (store != nullptr) store_close(store);
    executor_close(executor);
  }
  std::string path() const { return dir / "stores/one"; }
  testing::Opened create(uint8_t codec, uint8_t shards) {
    return testing::create_store(executor, path(), codec, shards, {'s'}, dictionary());
  }
  testing::Opened open() const { return testing::open_store(executor, path()); }
  // A new executor, so that the next call starts its worker threads and fills its pool itself.
  void renew_executor(uint32_t lanes) {
    executor_close(executor);
    executor = executor_create(lanes, nullptr);
  }
};

// Runs `attempt` once per failure point of `site`: first with the seam only counting calls, then
// with the n-th call failing for every n it counted (and one more, which must not fire).
void sweep(FaultSite site, const std::function<void(FaultSite, uint64_t)>& attempt) {
  SCOPED_TRACE(site_name(site));
  attempt(site, 0);
  const uint64_t calls = fault_calls();
  for (uint64_t n = 1; n <= calls + 1; ++n) {
    SCOPED_TRACE("failing call " + std::to_string(n) + " of " + std::to_string(calls));
    attempt(site, n);
    if (::testing::Test::HasFailure()) return;
  }
}

// Arms the seam around one call and says whether the armed call came.
template <typename Fn>
bool with_fault(FaultSite site, uint64_t nth, Fn&& call) {
  fault_arm(fault_bit(site), nth);
  call();
  fault_disarm();
  return fault_fired();
}

// What every try must leave behind: the descriptors and allocator blocks it started with.
class ResourceCheck {
 public:
  ResourceCheck()
      : descriptors_(testing::open_descriptors()), blocks_(fault_ledger_live_blocks()) {}
  ~ResourceCheck() {
    EXPECT_EQ(testing::open_descriptors(), descriptors_) << "descriptors left open";
    EXPECT_EQ(fault_ledger_live_blocks(), blocks_) << "allocator blocks left allocated";
  }

 private:
  uint64_t descriptors_;
  int64_t blocks_;
};

// The store on disk, read without the engine, holds exactly `records`.
void expect_store_holds(const std::string& path, const std::vector<Bytes>& records) {
  const DiskReader reader(path);
  ASSERT_EQ(reader.header_record_count(), records.size());
  for (uint64_t g = 0; g < records.size(); ++g) ASSERT_EQ(reader.decoded(g), records[g]) << g;
}

// And so does the engine, through a dense gather of every record of `size` bytes.
void expect_gather_reads(StoreHandle* store, const std::vector<Bytes>& records) {
  std::vector<uint64_t> idxs(records.size());
  for (uint64_t g = 0; g < idxs.size(); ++g) idxs[g] = g;
  const uint64_t size = records.empty() ? 1 : records[0].size();
  Bytes dst(records.size() * size);
  ASSERT_EQ(store_dense_gather(store, idxs.data(), idxs.size(), dst.data(), size), 0);
  for (uint64_t g = 0; g < records.size(); ++g) {
    ASSERT_TRUE(std::equal(records[g].begin(), records[g].end(), dst.begin() + g * size)) << g;
  }
}

class FaultInjectionTest : public ::testing::TestWithParam<uint8_t> {};

TEST_P(FaultInjectionTest, CreateGivesBackEverythingAtEveryFailure) {
  const uint8_t codec = GetParam();
  for (FaultSite site : kSites) {
    sweep(site, [&](FaultSite site, uint64_t n) {
      const ResourceCheck resources;
      Scenario scenario(2);
      int32_t code = 0;
      StoreHandle* store = nullptr;
      const bool fired = with_fault(site, n, [&] {
        const testing::Opened created = scenario.create(codec, 3);
        store = created.handle;
        code = created.code;
      });
      expect_outcome(site, 2, fired, code);
      if (store != nullptr) {
        store_close(store);
        return;
      }
      // Whatever the failed create left on disk is no store, and it holds no lock.
      const testing::Opened again = scenario.create(codec, 3);
      EXPECT_TRUE(again.code == 0 || again.code == ERR_ALREADY_EXISTS) << again.code;
      if (again.handle != nullptr) store_close(again.handle);
    });
  }
}

TEST_P(FaultInjectionTest, OpenGivesBackEverythingAtEveryFailure) {
  const uint8_t codec = GetParam();
  const std::vector<Bytes> records = batch(0, 9, true);
  for (FaultSite site : kSites) {
    sweep(site, [&](FaultSite site, uint64_t n) {
      const ResourceCheck resources;
      Scenario scenario(2);
      StoreHandle* writer = scenario.create(codec, 4).handle;
      ASSERT_EQ(append(writer, records, true), 0);
      ASSERT_EQ(store_sync(writer), 0);
      store_close(writer);

      testing::Opened opened;
      const bool fired = with_fault(site, n, [&] { opened = scenario.open(); });
      expect_outcome(site, 2, fired, opened.code);
      if (opened.handle != nullptr) store_close(opened.handle);
      // A failed open keeps no lock (create finds a store, not a busy one) and breaks nothing.
      EXPECT_EQ(scenario.create(codec, 4).code, ERR_ALREADY_EXISTS);
      scenario.store = scenario.open().handle;
      ASSERT_NE(scenario.store, nullptr);
      expect_gather_reads(scenario.store, records);
    });
  }
}

struct AppendCase {
  uint8_t codec;
  bool dense;
  uint32_t lanes;
};

void sweep_append(const AppendCase& c) {
  SCOPED_TRACE(std::string(c.dense ? "dense" : "ragged") + " append, codec " +
               std::to_string(c.codec) + ", lanes " + std::to_string(c.lanes));
  const std::vector<Bytes> before = batch(0, 5, c.dense);
  const std::vector<Bytes> failing = batch(100, 11, c.dense);
  const std::vector<Bytes> after = batch(200, 4, c.dense);
  for (FaultSite site : kSites) {
    sweep(site, [&](FaultSite site, uint64_t n) {
      const ResourceCheck resources;
      Scenario scenario(c.lanes);
      scenario.store = scenario.create(c.codec, 3).handle;
      ASSERT_EQ(append(scenario.store, before, c.dense), 0);
      ASSERT_EQ(store_sync(scenario.store), 0);

      int64_t first = 0;
      const bool fired =
          with_fault(site, n, [&] { first = append(scenario.store, failing, c.dense); });
      expect_outcome(site, c.lanes, fired, first < 0 ? static_cast<int32_t>(first) : 0);
      std::vector<Bytes> expected = before;
      if (first >= 0) {
        EXPECT_EQ(first, 5);
        expected.insert(expected.end(), failing.begin(), failing.end());
      }
      // A failed append publishes nothing: the next one gets the first index it would have had.
      ASSERT_EQ(store_length(scenario.store), expected.size());
      ASSERT_EQ(append(scenario.store, after, c.dense), static_cast<int64_t>(expected.size()));
      expected.insert(expected.end(), after.begin(), after.end());
      if (c.dense) expect_gather_reads(scenario.store, expected);
      ASSERT_EQ(store_sync(scenario.store), 0);
      store_close(scenario.store);
      scenario.store = nullptr;
      expect_store_holds(scenario.path(), expected);
    });
  }
}

TEST_P(FaultInjectionTest, DenseAppendPublishesNothingWhenItFails) {
  sweep_append({GetParam(), true, 1});
  sweep_append({GetParam(), true, 3});
}

TEST_P(FaultInjectionTest, RaggedAppendPublishesNothingWhenItFails) {
  sweep_append({GetParam(), false, 1});
  sweep_append({GetParam(), false, 3});
}

TEST_P(FaultInjectionTest, FailedSyncKeepsTheLastHeaderAndCanBeRetried) {
  const uint8_t codec = GetParam();
  const std::vector<Bytes> synced = batch(0, 6, false);
  const std::vector<Bytes> pending = batch(50, 7, false);
  for (FaultSite site : kSites) {
    for (bool retry : {false, true}) {
      sweep(site, [&](FaultSite site, uint64_t n) {
        const ResourceCheck resources;
        Scenario scenario(2);
        scenario.store = scenario.create(codec, 4).handle;
        ASSERT_EQ(append(scenario.store, synced, false), 0);
        ASSERT_EQ(store_sync(scenario.store), 0);
        // A failed append leaves bytes past the committed ends, which sync must cut off.
        fault_arm(fault_bit(FaultSite::kWrite), 2);
        ASSERT_EQ(append(scenario.store, pending, false), ERR_IO);
        fault_disarm();
        ASSERT_EQ(append(scenario.store, pending, false), 6);

        int32_t code = 0;
        const bool fired = with_fault(site, n, [&] { code = store_sync(scenario.store); });
        expect_outcome(site, 2, fired, code);
        std::vector<Bytes> expected = synced;
        if (code == 0 || retry) expected.insert(expected.end(), pending.begin(), pending.end());
        if (retry) {
          ASSERT_EQ(store_sync(scenario.store), 0);
        }
        store_close(scenario.store);
        scenario.store = nullptr;
        expect_store_holds(scenario.path(), expected);
      });
    }
  }
}

TEST_P(FaultInjectionTest, DenseGatherFailsCleanly) {
  const uint8_t codec = GetParam();
  const std::vector<Bytes> records = batch(0, 14, true);
  const std::vector<uint64_t> idxs = {3, 0, 13, 3, 7, 8, 1, 12, 5};
  for (uint32_t lanes : {1u, 3u}) {
    for (FaultSite site : kSites) {
      sweep(site, [&](FaultSite site, uint64_t n) {
        const ResourceCheck resources;
        Scenario scenario(lanes);
        StoreHandle* writer = scenario.create(codec, 4).handle;
        ASSERT_EQ(append(writer, records, true), 0);
        ASSERT_EQ(store_sync(writer), 0);
        store_close(writer);
        scenario.renew_executor(lanes);
        scenario.store = scenario.open().handle;
        ASSERT_NE(scenario.store, nullptr);

        Bytes dst(idxs.size() * 72);
        int32_t code = 0;
        const bool fired = with_fault(site, n, [&] {
          code = store_dense_gather(scenario.store, idxs.data(), idxs.size(), dst.data(), 72);
        });
        expect_outcome(site, lanes, fired, code);
        if (code == 0) {
          for (uint64_t i = 0; i < idxs.size(); ++i) {
            ASSERT_TRUE(
                std::equal(records[idxs[i]].begin(), records[idxs[i]].end(), dst.begin() + i * 72));
          }
        }
        EXPECT_LE(scenario.executor->pool_count, lanes + 1);
        expect_gather_reads(scenario.store, records);
      });
    }
  }
}

TEST_P(FaultInjectionTest, RaggedGatherFailsCleanly) {
  const uint8_t codec = GetParam();
  const std::vector<Bytes> records = batch(0, 12, false);
  const std::vector<uint64_t> idxs = {11, 2, 2, 0, 9, 4, 6};
  constexpr uint64_t kHeader = 8;
  for (uint32_t lanes : {1u, 3u}) {
    for (FaultSite site : kSites) {
      sweep(site, [&](FaultSite site, uint64_t n) {
        const ResourceCheck resources;
        Scenario scenario(lanes);
        StoreHandle* writer = scenario.create(codec, 3).handle;
        ASSERT_EQ(append(writer, records, false), 0);
        ASSERT_EQ(store_sync(writer), 0);
        store_close(writer);
        scenario.renew_executor(lanes);
        scenario.store = scenario.open().handle;
        ASSERT_NE(scenario.store, nullptr);

        std::vector<uint64_t> ends(idxs.size());
        Bytes dst;
        uint64_t values_offset = 0;
        int32_t code = 0;
        const bool fired = with_fault(site, n, [&] {
          RaggedPlan* plan = ragged_plan_create(scenario.store, idxs.data(), idxs.size(), kHeader,
                                                ends.data(), &code);
          if (plan == nullptr) return;
          values_offset = (idxs.size() * kHeader + 15) / 16 * 16;
          dst.assign(values_offset + ragged_plan_values_bytes(plan), 0);
          code = ragged_plan_gather(plan, dst.data(), dst.size(), values_offset, ends.data());
          ragged_plan_free(plan);
        });
        expect_outcome(site, lanes, fired, code);
        if (code != 0) return;
        uint64_t value_at = values_offset;
        for (uint64_t i = 0; i < idxs.size(); ++i) {
          const Bytes& r = records[idxs[i]];
          ASSERT_TRUE(std::equal(r.begin(), r.begin() + kHeader, dst.begin() + i * kHeader));
          ASSERT_TRUE(std::equal(r.begin() + kHeader, r.end(), dst.begin() + value_at));
          value_at += r.size() - kHeader;
        }
      });
    }
  }
}

std::string codec_name(const ::testing::TestParamInfo<uint8_t>& info) {
  static const char* const kNames[] = {"Raw", "Zstd", "ZstdDict"};
  return kNames[info.param];
}

INSTANTIATE_TEST_SUITE_P(EveryCodec, FaultInjectionTest,
                         ::testing::Values(CODEC_RAW, CODEC_ZSTD, CODEC_ZSTD_DICT), codec_name);

TEST(FaultInjectionExecutorTest, ExecutorCreateReportsOutOfMemory) {
  const ResourceCheck resources;
  int32_t code = ERR_IO;
  ExecutorHandle* executor = nullptr;
  ASSERT_TRUE(with_fault(FaultSite::kAllocate, 1, [&] { executor = executor_create(4, &code); }));
  EXPECT_EQ(executor, nullptr);
  EXPECT_EQ(code, ERR_OUT_OF_MEMORY);
}

}  // namespace
}  // namespace tavrill
