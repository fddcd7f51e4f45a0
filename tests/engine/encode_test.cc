// The encode stage on its own: how task ranges tile the scratch buffer, the capacity rule, and
// which failure a stage reports.
#include "encode.h"

#include <gtest/gtest.h>
#include <zstd.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "store.h"
#include "test_support.h"

namespace tavrill {
namespace {

struct StageRun {
  std::vector<RecordLengths> lengths;
  std::vector<uint64_t> offsets;
  std::vector<uint8_t> scratch;
  Status status;
};

StageRun run_dense(StoreHandle& store, const std::vector<uint8_t>& data, uint64_t record_bytes,
                   uint64_t capacity) {
  const uint64_t n = data.size() / record_bytes;
  StageRun run{std::vector<RecordLengths>(n), std::vector<uint64_t>(n),
               std::vector<uint8_t>(capacity), Status::Ok()};
  EncodeStage stage;
  stage.store = &store;
  stage.dense_data = data.data();
  stage.record_bytes = record_bytes;
  stage.batch =
      EncodedBatch{n, run.lengths.data(), n, run.offsets.data(), n, run.scratch.data(), capacity};
  run.status = encode_records(stage);
  return run;
}

// Each task's records follow each other in one range, a slot of `slot` bytes each; the ranges
// of all tasks tile [0, n × slot) in whatever order their reservations won.
TEST(EncodeStageTest, TaskRangesTileTheScratch) {
  testing::TestExecutor executor(4);
  StoreHandle store(executor.get());
  std::vector<uint8_t> data(10 * 1000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 / 300);
  for (const uint8_t codec : {CODEC_RAW, CODEC_ZSTD}) {
    store.codec = codec;
    const uint64_t slot = codec == CODEC_RAW ? 1000 : ZSTD_compressBound(1000);
    const StageRun run = run_dense(store, data, 1000, 10 * slot + 64);
    ASSERT_TRUE(run.status.ok());
    std::vector<std::pair<uint64_t, uint64_t>> ranges;  // {start, end} of each task
    for (uint32_t t = 0; t < 4; ++t) {
      const Slice slice = contiguous_slice(10, t, 4);
      for (uint64_t i = slice.begin + 1; i < slice.end; ++i) {
        EXPECT_EQ(run.offsets[i], run.offsets[i - 1] + slot);
      }
      ranges.emplace_back(run.offsets[slice.begin], run.offsets[slice.end - 1] + slot);
    }
    std::sort(ranges.begin(), ranges.end());
    uint64_t end = 0;
    for (const auto& [start, stop] : ranges) {
      EXPECT_EQ(start, end);
      end = stop;
    }
    EXPECT_EQ(end, 10 * slot);
    if (codec == CODEC_RAW) {
      for (uint64_t i = 0; i < 10; ++i) {
        EXPECT_TRUE(std::equal(data.begin() + i * 1000, data.begin() + (i + 1) * 1000,
                               run.scratch.begin() + run.offsets[i]));
      }
    }
  }
}

TEST(EncodeStageTest, CapacityRule) {
  EXPECT_EQ(encode_scratch_capacity(CODEC_RAW, 12345, 7).value(), 12345u);
  EXPECT_EQ(encode_scratch_capacity(CODEC_ZSTD, 1000, 3).value(), 1000u + 3 + 384 + 64);
  EXPECT_EQ(encode_scratch_capacity(CODEC_ZSTD_DICT, 0, 3).value(), 448u);
  EXPECT_EQ(encode_scratch_capacity(CODEC_ZSTD, 0, uint64_t{1} << 57).kind(), ErrorKind::StoreFull);
  EXPECT_EQ(encode_scratch_capacity(CODEC_ZSTD, UINT64_MAX - 100, 1).kind(), ErrorKind::StoreFull);
}

// One task finds an empty record, the other runs out of scratch: the stage reports one of the
// two and never success.
TEST(EncodeStageTest, FailingTasksReportTheFirstStoredCode) {
  testing::TestExecutor executor(2);
  StoreHandle store(executor.get());
  const uint8_t bytes[8] = {};
  const auto address = reinterpret_cast<uint64_t>(bytes);
  const RaggedSlice slices[] = {{address, 0, address, 0}, {address, 8, address, 0}};
  RecordLengths lengths[2];
  uint64_t offsets[2];
  EncodeStage stage;
  stage.store = &store;
  stage.input = EncodeStage::Input::kRagged;
  stage.ragged = slices;
  stage.batch = EncodedBatch{2, lengths, 2, offsets, 2, nullptr, 0};
  const Status status = encode_records(stage);
  ASSERT_FALSE(status.ok());
  EXPECT_TRUE(status.kind() == ErrorKind::RecordTooLarge ||
              status.kind() == ErrorKind::BufferTooSmall);
}

}  // namespace
}  // namespace tavrill
