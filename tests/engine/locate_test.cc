// Finding records through their index entries and reading them into place: which entries are
// trusted, and where the bytes land.
#include "locate.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "disk_writer.h"
#include "test_support.h"

namespace tavrill {
namespace {

using testing::DiskWriter;

std::vector<uint8_t> pattern(size_t size, uint8_t seed) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 7);
  return bytes;
}

class LocateTest : public testing::GatherFixture {
 protected:
  int32_t locate_code(const std::vector<uint64_t>& idxs) {
    std::vector<uint64_t> raw(idxs.size()), stored(idxs.size());
    return locate_records(handle_, idxs.data(), idxs.size(), raw.data(), raw.size(), stored.data(),
                          stored.size())
        .code();
  }
};

TEST_F(LocateTest, IndicesAtOrPastTheCountAreInvalid) {
  DiskWriter writer(create(CODEC_RAW, 2));
  for (uint8_t r = 0; r < 3; ++r) writer.commit(pattern(5, r));
  EXPECT_EQ(locate_code({0, 1, 2}), 0);
  EXPECT_EQ(locate_code({3}), ERR_INVALID_FORMAT);
  EXPECT_EQ(locate_code({2, 1u << 20}), ERR_INVALID_FORMAT);

  // The position rule holds even against a count that would let any index through: the first
  // index whose entry lies past a valid file offset is refused without a read, the last one
  // below it is read and ends past meta.qv.
  ShardSnapshot lenient = take_shard_snapshot(*handle_);
  lenient.record_count = UINT64_MAX;
  const uint64_t first_unaddressable = (uint64_t{1} << 59) - 256;
  for (uint64_t g : {first_unaddressable, first_unaddressable - 1, UINT64_MAX}) {
    EXPECT_EQ(locate_record(handle_->meta_file, g, lenient).kind(), ErrorKind::InvalidFormat);
  }
  const ShardSnapshot strict = take_shard_snapshot(*handle_);
  EXPECT_EQ(strict.record_count, 3u);
  EXPECT_EQ(locate_record(handle_->meta_file, first_unaddressable - 1, strict).kind(),
            ErrorKind::InvalidFormat);
}

TEST_F(LocateTest, StaleEntriesPastTheCountAreNeverUsed) {
  DiskWriter writer(create(CODEC_RAW, 1));
  writer.commit(pattern(8, 1));
  // A failed commit's leftover entry, later covered by longer shards: it validates against the
  // lengths and names record 0's bytes, but it is not a committed record.
  writer.write_unpublished(pattern(8, 2), 8);
  writer.plant_entry(1, IndexEntry{0, 8, 8});
  writer.publish_shard_length(0, 16);
  EXPECT_EQ(locate_code({1}), ERR_INVALID_FORMAT);
  std::vector<uint8_t> dst(8, 0xAB);
  const uint64_t idx = 1;
  EXPECT_EQ(read_records(handle_, &idx, 1, ByteSpan{dst.data(), 8}, 0, 0).code(),
            ERR_INVALID_FORMAT);
  EXPECT_EQ(dst, std::vector<uint8_t>(8, 0xAB));
  writer.publish_count(2);
  EXPECT_EQ(locate_code({1}), 0);
}

TEST_F(LocateTest, UnsyncedRecordsAreGoneAfterReopen) {
  DiskWriter writer(create(CODEC_RAW, 2));
  writer.commit(pattern(4, 1));
  ASSERT_EQ(store_sync(handle_), 0);
  writer.commit(pattern(4, 2));
  writer.commit(pattern(4, 3));
  reopen();
  EXPECT_EQ(locate_code({0}), 0);
  EXPECT_EQ(locate_code({1}), ERR_INVALID_FORMAT);
  EXPECT_EQ(locate_code({2}), ERR_INVALID_FORMAT);
}

TEST_F(LocateTest, EntryFieldsAreCheckedAgainstTheFormat) {
  DiskWriter writer(create(CODEC_ZSTD, 1));
  writer.commit_stored(pattern(10, 0), 10);
  struct Case {
    IndexEntry entry;
    int32_t code;
  };
  const Case cases[] = {
      {{0, 10, 1u << 31}, 0},                         // the largest record
      {{0, 10, 0}, ERR_INVALID_FORMAT},               // no decoded byte
      {{0, 10, (1u << 31) + 1}, ERR_INVALID_FORMAT},  // over the record limit
      {{0, 0, 10}, ERR_INVALID_FORMAT},               // no stored byte
      {{0, 4, 9}, 0},                                 // compressed: sizes differ
      {{1, 9, 9}, 0},                                 // ends exactly at the shard's length
      {{1, 10, 9}, ERR_INVALID_FORMAT},               // one byte past it
      {{UINT64_MAX - 3, 8, 8}, ERR_INVALID_FORMAT},   // the end overflows
  };
  for (const Case& c : cases) {
    writer.plant_entry(0, c.entry);
    std::vector<uint64_t> raw(1), stored(1);
    const uint64_t idx = 0;
    EXPECT_EQ(locate_records(handle_, &idx, 1, raw.data(), 1, stored.data(), 1).code(), c.code)
        << c.entry.offset << " " << c.entry.stored_len << " " << c.entry.raw_len;
    if (c.code == 0) {
      EXPECT_EQ(raw[0], c.entry.raw_len);
      EXPECT_EQ(stored[0], c.entry.stored_len);
    }
  }
  std::vector<uint64_t> raw(1), stored(2);
  const uint64_t two[] = {0, 0};
  EXPECT_EQ(locate_records(handle_, two, 2, raw.data(), 1, stored.data(), 2).code(),
            ERR_BUFFER_TOO_SMALL);
}

TEST_F(LocateTest, RawEntriesMustStoreTheirDecodedSize) {
  DiskWriter writer(create(CODEC_RAW, 1));
  writer.commit(pattern(10, 0));
  writer.plant_entry(0, IndexEntry{0, 9, 10});
  EXPECT_EQ(locate_code({0}), ERR_INVALID_FORMAT);
  writer.plant_entry(0, IndexEntry{0, 9, 9});
  EXPECT_EQ(locate_code({0}), 0);
}

TEST_F(LocateTest, ReadsSplitHeadersFromValuesInRequestOrder) {
  DiskWriter writer(create(CODEC_RAW, 3));
  const std::vector<std::vector<uint8_t>> records = {pattern(6, 10), pattern(9, 20), pattern(5, 30),
                                                     pattern(12, 40)};
  for (const auto& r : records) writer.commit(r);

  // Header 4, values from 13 (a gap after 3 × 4 header bytes); record 3 named twice.
  const std::vector<uint64_t> idxs = {3, 0, 3};
  std::vector<uint8_t> dst(13 + 8 + 2 + 8 + 5, 0xAB);  // 5 guard bytes past the span
  ASSERT_EQ(
      read_records(handle_, idxs.data(), 3, ByteSpan{dst.data(), dst.size() - 5}, 4, 13).code(), 0);
  std::vector<uint8_t> expected(13, 0xAB);
  for (size_t i = 0; i < idxs.size(); ++i) {
    std::copy_n(records[idxs[i]].begin(), 4, expected.begin() + 4 * i);
  }
  for (uint64_t g : idxs) expected.insert(expected.end(), records[g].begin() + 4, records[g].end());
  expected.resize(dst.size(), 0xAB);
  EXPECT_EQ(dst, expected);

  // Every size rule is decided before the first byte moves.
  std::vector<uint8_t> untouched(dst.size(), 0xCD);
  dst = untouched;
  const ByteSpan span{dst.data(), 31};
  EXPECT_EQ(read_records(handle_, idxs.data(), 3, ByteSpan{dst.data(), 30}, 4, 13).code(),
            ERR_BUFFER_TOO_SMALL);
  EXPECT_EQ(read_records(handle_, idxs.data(), 3, span, 4, 11).code(), ERR_BUFFER_TOO_SMALL);
  EXPECT_EQ(read_records(handle_, idxs.data(), 3, span, 6, 18).code(), ERR_DECODE_FAILED);
  const uint64_t short_record = 2;
  EXPECT_EQ(read_records(handle_, &short_record, 1, span, 5, 5).code(), ERR_DECODE_FAILED);
  EXPECT_EQ(read_records(handle_, idxs.data(), 0, span, 4, 31).code(), 0);
  EXPECT_EQ(read_records(handle_, idxs.data(), 0, span, 4, 32).code(), ERR_BUFFER_TOO_SMALL);
  EXPECT_EQ(dst, untouched);
}

TEST_F(LocateTest, AShardCutShortIsADecodeFailure) {
  DiskWriter writer(create(CODEC_RAW, 1));
  writer.commit(pattern(16, 0));
  writer.commit(pattern(16, 1));
  ASSERT_EQ(ftruncate(handle_->shard_files[0].fd(), 20), 0);
  std::vector<uint8_t> dst(32);
  const uint64_t idxs[] = {0, 1};
  EXPECT_EQ(locate_code({0, 1}), 0);
  EXPECT_EQ(read_records(handle_, idxs, 2, ByteSpan{dst.data(), 32}, 0, 0).code(),
            ERR_DECODE_FAILED);
  EXPECT_EQ(std::vector<uint8_t>(dst.begin(), dst.begin() + 16), pattern(16, 0));
}

}  // namespace
}  // namespace tavrill
