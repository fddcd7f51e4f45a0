// What the appends write, the gathers give back: for every codec, through the writing handle and
// through a reader opened after sync.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "disk_writer.h"
#include "test_support.h"

namespace tavrill {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes text(uint64_t tag, size_t size) {
  const std::string phrase = "{\"frame\": " + std::to_string(tag) + ", \"label\": \"cat\"} ";
  Bytes bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(phrase[i % phrase.size()]);
  return bytes;
}

class GatherRoundTripTest : public testing::GatherFixture,
                            public ::testing::WithParamInterface<uint8_t> {
 protected:
  // Dense records 0..7 of 96 bytes, then ragged records 8..13 of a 16-byte header and 5 + 9k
  // value bytes.
  void fill() {
    ASSERT_NE(create(GetParam(), 3, text(1000, 700)), nullptr);
    Bytes dense;
    for (uint64_t g = 0; g < 8; ++g) {
      const Bytes r = text(g, 96);
      dense.insert(dense.end(), r.begin(), r.end());
    }
    ASSERT_EQ(store_dense_append(handle_, dense.data(), 96, 8), 0);

    std::vector<Bytes> records;
    std::vector<RaggedSlice> slices;
    uint64_t total = 0;
    for (uint64_t g = 8; g < 14; ++g) records.push_back(text(g, 16 + 5 + 9 * (g - 8)));
    for (const Bytes& r : records) {
      slices.push_back(RaggedSlice{reinterpret_cast<uint64_t>(r.data()), 16,
                                   reinterpret_cast<uint64_t>(r.data() + 16), r.size() - 16});
      total += r.size();
    }
    ASSERT_EQ(store_ragged_append(handle_, slices.data(), slices.size(), total), 8);
  }

  static Bytes record(uint64_t g) { return g < 8 ? text(g, 96) : text(g, 16 + 5 + 9 * (g - 8)); }

  void expect_gathers_match() {
    const std::vector<uint64_t> dense_idxs = {7, 0, 3, 3};
    Bytes dst(dense_idxs.size() * 96), expected;
    for (uint64_t g : dense_idxs) {
      const Bytes r = record(g);
      expected.insert(expected.end(), r.begin(), r.end());
    }
    ASSERT_EQ(store_dense_gather(handle_, dense_idxs.data(), 4, dst.data(), 96), 0);
    EXPECT_EQ(dst, expected);

    const std::vector<uint64_t> ragged_idxs = {13, 8, 2, 10, 10};
    for (uint64_t header : {0, 16}) {
      std::vector<uint64_t> ends(ragged_idxs.size());
      int32_t code = ERR_IO;
      RaggedPlan* plan = ragged_plan_create(handle_, ragged_idxs.data(), ragged_idxs.size(), header,
                                            ends.data(), &code);
      ASSERT_NE(plan, nullptr) << code;
      const uint64_t values_offset = (ragged_idxs.size() * header + 15) / 16 * 16;
      const uint64_t values_end = values_offset + ragged_plan_values_bytes(plan);
      Bytes out(values_end, 0xAB), want(values_offset, 0xAB);
      for (size_t i = 0; i < ragged_idxs.size(); ++i) {
        const Bytes r = record(ragged_idxs[i]);
        std::copy_n(r.begin(), header, want.begin() + i * header);
        want.insert(want.end(), r.begin() + header, r.end());
      }
      EXPECT_EQ(ragged_plan_gather(plan, out.data(), values_end, values_offset, ends.data()), 0);
      ragged_plan_free(plan);
      EXPECT_EQ(out, want) << header;
    }
  }
};

TEST_P(GatherRoundTripTest, WriterAndReaderGatherWhatWasAppended) {
  fill();
  expect_gathers_match();
  ASSERT_EQ(store_sync(handle_), 0);
  reopen();
  expect_gathers_match();
}

// Readers ask for the records at and just past the count they saw, which the appender may be
// committing at that moment: each comes back whole and right, or is refused, never other bytes.
TEST_P(GatherRoundTripTest, GathersRacingAppendsGetWholeRecordsOrNone) {
  ASSERT_NE(create(GetParam(), 2, text(1000, 700)), nullptr);
  std::thread appender([&] {
    for (uint64_t first = 0; first < 400; first += 4) {
      Bytes batch;
      for (uint64_t g = first; g < first + 4; ++g) {
        const Bytes r = text(g, 64);
        batch.insert(batch.end(), r.begin(), r.end());
      }
      EXPECT_EQ(store_dense_append(handle_, batch.data(), 64, 4), static_cast<int64_t>(first));
    }
  });
  std::atomic<int> wrong{0};
  std::vector<std::thread> readers;
  for (uint64_t t = 0; t < 2; ++t) {
    readers.emplace_back([&, t] {
      Bytes dst(64);
      for (int round = 0; round < 300; ++round) {
        const uint64_t g = store_length(handle_) + (round + t) % 3;
        const int32_t code = store_dense_gather(handle_, &g, 1, dst.data(), 64);
        if (code == 0 ? dst != text(g, 64) : code != ERR_INVALID_FORMAT) ++wrong;
      }
    });
  }
  appender.join();
  for (std::thread& reader : readers) reader.join();
  EXPECT_EQ(wrong.load(), 0);
}

INSTANTIATE_TEST_SUITE_P(Codecs, GatherRoundTripTest,
                         ::testing::Values(CODEC_RAW, CODEC_ZSTD, CODEC_ZSTD_DICT));

}  // namespace
}  // namespace tavrill
