// Ragged plans and gathers: measuring a request, the headers/values layout for every codec, and
// what the caller's buffer holds after success and failure.
#include "ragged_gather.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "disk_writer.h"
#include "test_support.h"

namespace tavrill {
namespace {

using testing::DiskWriter;

std::vector<uint8_t> record(size_t size, uint64_t seed) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>((seed * 13 + i / 3) & 0x3F);
  return bytes;
}

const std::vector<size_t> kSizes = {24, 40, 17, 33, 24, 65};

// A plan with the indices it borrows and its ends, freed on every path.
struct Plan {
  RaggedPlan* plan = nullptr;
  int32_t code = ERR_IO;
  std::vector<uint64_t> idxs;
  std::vector<uint64_t> ends;
  ~Plan() {
    if (plan != nullptr) ragged_plan_free(plan);
  }
};

class RaggedGatherTest : public testing::GatherFixture,
                         public ::testing::WithParamInterface<uint8_t> {
 protected:
  StoreHandle* create(uint8_t codec) {
    DiskWriter writer(GatherFixture::create(codec, 2, record(512, 99)));
    for (size_t g = 0; g < kSizes.size(); ++g) writer.commit(record(kSizes[g], g));
    return handle_;
  }

  void make_plan(Plan& plan, const std::vector<uint64_t>& idxs, uint64_t header_len) {
    plan.idxs = idxs;
    plan.ends.assign(idxs.size(), 0);
    plan.plan = ragged_plan_create(handle_, plan.idxs.data(), idxs.size(), header_len,
                                   plan.ends.data(), &plan.code);
    if (plan.plan != nullptr) plan.code = 0;
  }

  // The layout every codec must produce: headers, then values from `values_offset`, guard bytes
  // after.
  static std::vector<uint8_t> expected_layout(const std::vector<uint64_t>& idxs, uint64_t header,
                                              uint64_t values_offset, size_t buffer) {
    std::vector<uint8_t> out(values_offset, 0xAB);
    for (size_t i = 0; i < idxs.size(); ++i) {
      const std::vector<uint8_t> r = record(kSizes[idxs[i]], idxs[i]);
      std::copy_n(r.begin(), header, out.begin() + i * header);
      out.insert(out.end(), r.begin() + header, r.end());
    }
    out.resize(buffer, 0xAB);
    return out;
  }
};

TEST_P(RaggedGatherTest, PlanMeasuresValuesAfterTheHeader) {
  create(GetParam());
  Plan plan;
  make_plan(plan, {0, 1}, 16);
  ASSERT_EQ(plan.code, 0);
  EXPECT_EQ(plan.ends, (std::vector<uint64_t>{8, 32}));
  EXPECT_EQ(ragged_plan_values_bytes(plan.plan), 32u);
  EXPECT_EQ(plan.plan->decoded_total, 64u);

  Plan twice;
  make_plan(twice, {2, 2}, 0);
  EXPECT_EQ(twice.ends, (std::vector<uint64_t>{17, 34}));

  Plan too_short, missing, empty;
  make_plan(too_short, {1, 0}, 24);  // record 0 is exactly 24 bytes
  EXPECT_EQ(too_short.code, ERR_DECODE_FAILED);
  make_plan(missing, {0, 6}, 0);
  EXPECT_EQ(missing.code, ERR_INVALID_FORMAT);
  make_plan(empty, {}, 8);
  ASSERT_EQ(empty.code, 0);
  EXPECT_EQ(ragged_plan_values_bytes(empty.plan), 0u);
  uint8_t untouched = 0xAB;
  EXPECT_EQ(ragged_plan_gather(empty.plan, &untouched, 0, 0, empty.ends.data()), 0);
  EXPECT_EQ(untouched, 0xAB);

  int32_t code = ERR_IO;
  uint64_t ends = 7;
  EXPECT_EQ(ragged_plan_create(handle_, nullptr, uint64_t{1} << 61, 0, &ends, &code), nullptr);
  EXPECT_EQ(code, ERR_OUT_OF_MEMORY);
  EXPECT_EQ(ends, 7u);
}

TEST_P(RaggedGatherTest, EveryCodecGivesTheSameLayout) {
  create(GetParam());
  const std::vector<uint64_t> idxs = {5, 0, 3, 3, 2};
  for (uint64_t header : {0, 8, 16}) {
    Plan plan;
    make_plan(plan, idxs, header);
    ASSERT_EQ(plan.code, 0);
    const uint64_t data_total = ragged_plan_values_bytes(plan.plan);
    // Values right after the headers, not at a multiple of 16, when there are headers.
    const uint64_t values_offset = header == 0 ? 16 : idxs.size() * header;
    const uint64_t values_end = values_offset + data_total;
    std::vector<uint8_t> dst(values_end + 16, 0xAB);
    ASSERT_EQ(
        ragged_plan_gather(plan.plan, dst.data(), values_end, values_offset, plan.ends.data()), 0)
        << header;
    EXPECT_EQ(dst, expected_layout(idxs, header, values_offset, dst.size())) << header;
  }
}

TEST_P(RaggedGatherTest, BoundsAreCheckedBeforeAnythingIsRead) {
  create(GetParam());
  Plan plan;
  make_plan(plan, {1, 3}, 8);
  ASSERT_EQ(plan.code, 0);
  const uint64_t data_total = ragged_plan_values_bytes(plan.plan);
  std::vector<uint8_t> dst(64 + data_total, 0xAB);
  const std::vector<uint8_t> untouched = dst;
  const uint64_t* ends = plan.ends.data();
  EXPECT_EQ(ragged_plan_gather(plan.plan, dst.data(), 16 + data_total - 1, 16, ends),
            ERR_BUFFER_TOO_SMALL);
  EXPECT_EQ(ragged_plan_gather(plan.plan, dst.data(), dst.size(), 15, ends), ERR_BUFFER_TOO_SMALL);
  EXPECT_EQ(ragged_plan_gather(plan.plan, dst.data(), dst.size(), UINT64_MAX - 4, ends),
            ERR_STORE_FULL);
  EXPECT_EQ(dst, untouched);
}

INSTANTIATE_TEST_SUITE_P(Codecs, RaggedGatherTest,
                         ::testing::Values(CODEC_RAW, CODEC_ZSTD, CODEC_ZSTD_DICT));

class CompressedRaggedGatherTest : public RaggedGatherTest {};

TEST_P(CompressedRaggedGatherTest, AFailedDecodeLeavesHeaderedDestinationsUntouched) {
  DiskWriter writer(create(GetParam()));
  // A frame of 30 bytes recorded as 31: the plan believes it, the decode does not.
  const uint64_t liar = writer.commit_stored(writer.encode(record(30, 7)), 31);
  Plan plan;
  make_plan(plan, {0, liar, 1}, 8);
  ASSERT_EQ(plan.code, 0);
  const uint64_t values_end = 32 + ragged_plan_values_bytes(plan.plan);
  std::vector<uint8_t> dst(values_end, 0xAB);
  const std::vector<uint8_t> untouched = dst;
  EXPECT_EQ(ragged_plan_gather(plan.plan, dst.data(), values_end, 32, plan.ends.data()),
            ERR_DECODE_FAILED);
  EXPECT_EQ(dst, untouched);

  // Ends that no longer describe the plan never steer a decode outside the buffer.
  Plan good;
  make_plan(good, {0, 1}, 0);
  ASSERT_EQ(good.code, 0);
  std::vector<uint64_t> bent = good.ends;
  bent[0] = bent[1] + 100;
  EXPECT_EQ(ragged_plan_gather(good.plan, dst.data(), dst.size(), 0, bent.data()),
            ERR_DECODE_FAILED);
}

INSTANTIATE_TEST_SUITE_P(Codecs, CompressedRaggedGatherTest,
                         ::testing::Values(CODEC_ZSTD, CODEC_ZSTD_DICT));

}  // namespace
}  // namespace tavrill
