// Dense gathers: raw records straight into place, compressed ones decoded into fixed slots, the
// store's own dictionary on both kinds of handle, and many gathers on one handle at once.
#include <gtest/gtest.h>
#include <zstd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "disk_writer.h"
#include "store.h"
#include "test_support.h"

namespace tavrill {
namespace {

using testing::DiskWriter;

// Text-like bytes that compress, and share phrases with kDictionary.
std::vector<uint8_t> record(size_t size, uint64_t seed) {
  static const char* const kWords[] = {"tensor ", "shard ", "record ", "gather ", "index "};
  std::string text;
  while (text.size() < size) text += kWords[(seed * 7 + text.size()) % 5];
  text.resize(size);
  text[0] = static_cast<char>('A' + seed % 26);
  return std::vector<uint8_t>(text.begin(), text.end());
}

std::vector<uint8_t> dictionary() {
  std::vector<uint8_t> bytes;
  for (uint64_t seed = 0; seed < 8; ++seed) {
    const std::vector<uint8_t> r = record(256, seed);
    bytes.insert(bytes.end(), r.begin(), r.end());
  }
  return bytes;
}

class DenseGatherTest : public testing::GatherFixture {
 protected:
  StoreHandle* create(uint8_t codec) { return GatherFixture::create(codec, 3, dictionary()); }

  int32_t gather(const std::vector<uint64_t>& idxs, std::vector<uint8_t>& dst,
                 uint64_t record_bytes) {
    return store_dense_gather(handle_, idxs.data(), idxs.size(), dst.data(), record_bytes);
  }
};

TEST_F(DenseGatherTest, RawRecordsLandBackToBackAndOnlyTheirSumIsChecked) {
  DiskWriter writer(create(CODEC_RAW));
  const std::vector<std::vector<uint8_t>> records = {record(4, 0), record(8, 1), record(4, 2)};
  for (const auto& r : records) writer.commit(r);

  std::vector<uint8_t> dst(3 * 8, 0xAB);
  ASSERT_EQ(gather({1, 0, 2}, dst, 8), 0);
  std::vector<uint8_t> expected = records[1];
  expected.insert(expected.end(), records[0].begin(), records[0].end());
  expected.insert(expected.end(), records[2].begin(), records[2].end());
  expected.resize(24, 0xAB);
  EXPECT_EQ(dst, expected);

  const std::vector<uint8_t> untouched(24, 0xCD);
  dst = untouched;
  EXPECT_EQ(gather({1, 1, 1}, dst, 7), ERR_BUFFER_TOO_SMALL);
  EXPECT_EQ(gather({0}, dst, 0), ERR_BUFFER_TOO_SMALL);
  EXPECT_EQ(gather({0, 3}, dst, 8), ERR_INVALID_FORMAT);
  EXPECT_EQ(store_dense_gather(handle_, nullptr, 0, nullptr, 1u << 20), 0);
  EXPECT_EQ(store_dense_gather(handle_, nullptr, 2, nullptr, UINT64_MAX), ERR_STORE_FULL);
  EXPECT_EQ(dst, untouched);
}

class CompressedDenseGatherTest : public DenseGatherTest,
                                  public ::testing::WithParamInterface<uint8_t> {};

TEST_P(CompressedDenseGatherTest, ARecordOfAnotherSizeFailsAloneAndTheRestLand) {
  DiskWriter writer(create(GetParam()));
  for (uint64_t g = 0; g < 6; ++g) writer.commit(record(g == 3 ? 47 : g == 4 ? 49 : 48, g));

  const std::vector<uint64_t> idxs = {0, 3, 1, 1, 4, 5, 2};
  std::vector<uint8_t> dst(idxs.size() * 48, 0xAB);
  EXPECT_EQ(gather(idxs, dst, 48), ERR_DECODE_FAILED);
  for (size_t i = 0; i < idxs.size(); ++i) {
    if (idxs[i] == 3 || idxs[i] == 4) continue;
    EXPECT_EQ(std::vector<uint8_t>(dst.begin() + 48 * i, dst.begin() + 48 * (i + 1)),
              record(48, idxs[i]))
        << "slot " << i;
  }
  EXPECT_EQ(gather({3}, dst, 47), 0);
  EXPECT_EQ(std::vector<uint8_t>(dst.begin(), dst.begin() + 47), record(47, 3));
  EXPECT_EQ(gather({0, 1}, dst, 0), ERR_DECODE_FAILED);
  EXPECT_EQ(gather({0, 6}, dst, 48), ERR_INVALID_FORMAT);
}

TEST_P(CompressedDenseGatherTest, WriterAndLaterReadersDecodeTheSameRecords) {
  DiskWriter writer(create(GetParam()));
  for (uint64_t g = 0; g < 5; ++g) writer.commit(record(200, g));
  if (GetParam() == CODEC_ZSTD_DICT) {
    // The frames lean on the dictionary: without it they do not decode to the record.
    const std::vector<uint8_t> frame = writer.encode(record(200, 1));
    std::vector<uint8_t> out(200);
    const size_t got = ZSTD_decompress(out.data(), out.size(), frame.data(), frame.size());
    EXPECT_TRUE(ZSTD_isError(got) || out != record(200, 1));
  }
  const std::vector<uint64_t> idxs = {4, 0, 2, 2};
  std::vector<uint8_t> expected;
  for (uint64_t g : idxs) {
    const std::vector<uint8_t> r = record(200, g);
    expected.insert(expected.end(), r.begin(), r.end());
  }
  std::vector<uint8_t> dst(expected.size());
  ASSERT_EQ(gather(idxs, dst, 200), 0);
  EXPECT_EQ(dst, expected);

  ASSERT_EQ(store_sync(handle_), 0);
  reopen();
  std::fill(dst.begin(), dst.end(), 0);
  ASSERT_EQ(gather(idxs, dst, 200), 0);
  EXPECT_EQ(dst, expected);
}

INSTANTIATE_TEST_SUITE_P(Codecs, CompressedDenseGatherTest,
                         ::testing::Values(CODEC_ZSTD, CODEC_ZSTD_DICT));

// Readers gather what they have seen committed while the writer keeps committing on the same
// handle; every gather must see whole, correct records.
TEST_F(DenseGatherTest, ManyGathersOnOneGrowingHandle) {
  for (uint8_t codec : {CODEC_RAW, CODEC_ZSTD_DICT}) {
    testing::TempDir dir;
    testing::Opened created =
        testing::create_store(executor_.get(), dir / "s", codec, 4, {'s'}, dictionary());
    ASSERT_NE(created.handle, nullptr);
    StoreHandle* handle = created.handle;
    DiskWriter writer(handle);
    for (uint64_t g = 0; g < 8; ++g) writer.commit(record(64, g));

    std::atomic<int> failures{0};
    std::thread committer([&] {
      for (uint64_t g = 8; g < 200; ++g) writer.commit(record(64, g));
    });
    std::vector<std::thread> readers;
    for (uint64_t t = 0; t < 3; ++t) {
      readers.emplace_back([&, t] {
        std::vector<uint64_t> idxs(16);
        std::vector<uint8_t> dst(16 * 64);
        for (int round = 0; round < 40; ++round) {
          const uint64_t seen = store_length(handle);
          for (size_t i = 0; i < idxs.size(); ++i) idxs[i] = (t * 31 + round * 17 + i * 5) % seen;
          if (store_dense_gather(handle, idxs.data(), idxs.size(), dst.data(), 64) != 0) {
            ++failures;
            continue;
          }
          for (size_t i = 0; i < idxs.size(); ++i) {
            if (!std::equal(dst.begin() + 64 * i, dst.begin() + 64 * (i + 1),
                            record(64, idxs[i]).begin())) {
              ++failures;
            }
          }
        }
      });
    }
    committer.join();
    for (std::thread& reader : readers) reader.join();
    EXPECT_EQ(failures.load(), 0) << int{codec};
    store_close(handle);
  }
}

}  // namespace
}  // namespace tavrill
