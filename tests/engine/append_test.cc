// Dense and ragged appends seen from the disk: where each record lands, what each codec stores,
// the size rules, failures that must publish nothing, and appends racing on one handle.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <zdict.h>
#include <zstd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "disk_reader.h"
#include "store.h"
#include "test_support.h"

namespace tavrill {
namespace {

using testing::DiskReader;
using testing::TempDir;
using testing::TestExecutor;
using Bytes = std::vector<uint8_t>;

constexpr uint64_t kMaxRecord = uint64_t{1} << 31;

// Text-like bytes that compress and that a trained dictionary knows; `tag` makes them unique.
Bytes record(uint64_t tag, uint64_t size) {
  const std::string text = "{\"sensor\": " + std::to_string(tag) + ", \"unit\": \"kelvin\"} ";
  Bytes bytes(size);
  for (uint64_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(text[i % text.size()]);
  return bytes;
}

const Bytes& trained_dictionary() {
  static const Bytes dictionary = [] {
    Bytes samples;
    std::vector<size_t> sizes;
    for (uint64_t i = 0; i < 2000; ++i) {
      const Bytes sample = record(i * 7919 % 5000, 60 + i % 90);
      samples.insert(samples.end(), sample.begin(), sample.end());
      sizes.push_back(sample.size());
    }
    Bytes out(4096);
    const size_t n = ZDICT_trainFromBuffer(out.data(), out.size(), samples.data(), sizes.data(),
                                           static_cast<unsigned>(sizes.size()));
    if (ZDICT_isError(n)) std::abort();
    out.resize(n);
    return out;
  }();
  return dictionary;
}

// Appends records [begin, end) as ragged records: up to 8 header bytes, the rest as values.
int64_t append_ragged(StoreHandle* store, const std::vector<Bytes>& records, size_t begin,
                      size_t end) {
  std::vector<RaggedSlice> slices;
  uint64_t total = 0;
  for (size_t i = begin; i < end; ++i) {
    const uint64_t header = records[i].size() < 8 ? records[i].size() : 8;
    const auto base = reinterpret_cast<uint64_t>(records[i].data());
    slices.push_back(RaggedSlice{base, header, base + header, records[i].size() - header});
    total += records[i].size();
  }
  return store_ragged_append(store, slices.data(), slices.size(), total);
}

// Checks a store whose shards hold nothing past their records: record g in shard g mod
// data_shards, right behind the records before it there; its entry's lengths; for zstd one whole
// frame with the content size, no checksum and the dictionary's ID; its decoded bytes; and for
// raw, each shard file is exactly its records back to back.
void expect_on_disk(const std::string& directory, const std::vector<Bytes>& records) {
  const DiskReader reader(directory);
  std::vector<uint64_t> ends(reader.data_shards(), 0);
  const unsigned dict_id =
      reader.codec() == CODEC_ZSTD_DICT
          ? ZDICT_getDictID(reader.dictionary().data(), reader.dictionary().size())
          : 0;
  for (uint64_t g = 0; g < records.size(); ++g) {
    SCOPED_TRACE("record " + std::to_string(g));
    const testing::DiskEntry entry = reader.entry(g);
    EXPECT_EQ(entry.offset, ends[g % ends.size()]);
    ends[g % ends.size()] += entry.stored_len;
    EXPECT_EQ(entry.raw_len, records[g].size());
    if (reader.codec() == CODEC_RAW) {
      EXPECT_EQ(entry.stored_len, entry.raw_len);
    } else {
      const Bytes frame = reader.stored(g);
      EXPECT_EQ(ZSTD_findFrameCompressedSize(frame.data(), frame.size()), frame.size());
      EXPECT_EQ(ZSTD_getFrameContentSize(frame.data(), frame.size()), records[g].size());
      EXPECT_EQ(frame[4] & 0x04, 0) << "frame carries a checksum";
      EXPECT_EQ(ZSTD_getDictID_fromFrame(frame.data(), frame.size()), dict_id);
    }
    EXPECT_EQ(reader.decoded(g), records[g]);
  }
  for (uint64_t s = 0; s < ends.size(); ++s) {
    EXPECT_EQ(testing::size_of(reader.shard_path(s)), ends[s]) << "shard " << s;
    if (reader.codec() != CODEC_RAW) continue;
    Bytes expected;
    for (uint64_t g = s; g < records.size(); g += ends.size()) {
      expected.insert(expected.end(), records[g].begin(), records[g].end());
    }
    EXPECT_EQ(testing::read_file(reader.shard_path(s)), expected) << "shard " << s;
  }
}

// Redirects one of the store's descriptors to a read-only description of the same file, so that
// its writes fail while the store's other files work; puts the original back when it ends. The
// original description is kept open meanwhile, so the byte-0 lock of meta.qv survives.
class ReadOnlySwap {
 public:
  ReadOnlySwap(const File& file, const std::string& path) : fd_(file.fd()), saved_(dup(fd_)) {
    const int read_only = open(path.c_str(), O_RDONLY);
    dup2(read_only, fd_);
    close(read_only);
  }
  ~ReadOnlySwap() {
    dup2(saved_, fd_);
    close(saved_);
  }

 private:
  int fd_;
  int saved_;
};

// A read-only mapping that costs no memory until touched; the engine must refuse oversized
// records before it reads them.
class LazyRegion {
 public:
  explicit LazyRegion(uint64_t length, int protection = PROT_READ)
      : length_(length),
        data_(static_cast<uint8_t*>(mmap(nullptr, length, protection,
                                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0))) {}
  ~LazyRegion() { munmap(data_, length_); }
  uint8_t* data() const { return data_; }

 private:
  uint64_t length_;
  uint8_t* data_;
};

class AppendTest : public ::testing::Test {
 protected:
  StoreHandle* create(uint8_t codec, uint8_t shards, const std::string& name = "store",
                      ExecutorHandle* executor = nullptr) {
    testing::Opened created =
        testing::create_store(executor != nullptr ? executor : executor_.get(), dir_ / name, codec,
                              shards, {'s'}, trained_dictionary());
    EXPECT_NE(created.handle, nullptr) << created.code;
    return created.handle;
  }

  TempDir dir_;
  TestExecutor executor_{4};
};

// Ten records on four shards from an empty store; three records on five shards after seven.
TEST_F(AppendTest, RecordsLandAtTheirShardsCommittedEnd) {
  std::vector<Bytes> records;
  for (uint64_t g = 0; g < 10; ++g) records.push_back(record(g, 3 + 2 * g));
  StoreHandle* four = create(CODEC_RAW, 4, "four");
  ASSERT_EQ(append_ragged(four, records, 0, 10), 0);
  StoreHandle* five = create(CODEC_RAW, 5, "five");
  ASSERT_EQ(append_ragged(five, records, 0, 7), 0);
  ASSERT_EQ(append_ragged(five, records, 7, 10), 7);
  EXPECT_EQ(store_length(five), 10u);
  EXPECT_EQ(testing::size_of(dir_ / "five/meta.qv"), 4096u + 16 * 10);
  store_close(four);
  store_close(five);
  expect_on_disk(dir_ / "four", records);
  expect_on_disk(dir_ / "five", records);
}

TEST_F(AppendTest, RaggedDecodedTotalOnlySizesTheScratch) {
  const std::vector<Bytes> headers(3, record(1, 8));
  const std::vector<Bytes> values = {record(2, 4), {}, record(3, 12)};
  std::vector<RaggedSlice> slices;
  for (int i = 0; i < 3; ++i) {
    slices.push_back(RaggedSlice{reinterpret_cast<uint64_t>(headers[i].data()), 8,
                                 reinterpret_cast<uint64_t>(values[i].data()), values[i].size()});
  }
  StoreHandle* raw = create(CODEC_RAW, 2, "raw");
  EXPECT_EQ(store_ragged_append(raw, slices.data(), 3, 39), ERR_BUFFER_TOO_SMALL);
  EXPECT_EQ(store_ragged_append(raw, slices.data(), 3, 40), 0);
  EXPECT_EQ(store_ragged_append(raw, slices.data(), 3, 41), 3);
  StoreHandle* zstd = create(CODEC_ZSTD, 2, "zstd");
  EXPECT_EQ(store_ragged_append(zstd, slices.data(), 3, 0), 0);
  store_close(raw);
  store_close(zstd);
  std::vector<Bytes> records;
  for (int i = 0; i < 3; ++i) {
    records.push_back(headers[i]);
    records.back().insert(records.back().end(), values[i].begin(), values[i].end());
  }
  expect_on_disk(dir_ / "zstd", records);
  const std::vector<Bytes> once = records;
  records.insert(records.end(), once.begin(), once.end());
  expect_on_disk(dir_ / "raw", records);
}

TEST_F(AppendTest, FailedCommitsPublishNothingAndSyncCutsTheirBytes) {
  StoreHandle* store = create(CODEC_RAW, 3);
  const std::string shard1 = dir_ / "store/data_1.qv";
  std::vector<Bytes> records;
  for (uint64_t g = 0; g < 12; ++g) records.push_back(record(g, 20 + g));
  std::vector<Bytes> doomed;
  for (uint64_t i = 0; i < 6; ++i) doomed.push_back(record(900 + i, 50));
  ASSERT_EQ(append_ragged(store, records, 0, 6), 0);
  const uint64_t shard0_end = store->shard_lengths[0].load();
  {
    ReadOnlySwap failing_shard(store->shard_files[1], shard1);
    EXPECT_EQ(append_ragged(store, doomed, 0, 6), ERR_IO);
  }
  EXPECT_GT(testing::size_of(dir_ / "store/data_0.qv"), shard0_end) << "no shard was written";
  {
    ReadOnlySwap failing_index(store->meta_file, dir_ / "store/meta.qv");
    EXPECT_EQ(append_ragged(store, doomed, 0, 6), ERR_IO);
  }
  EXPECT_EQ(store_length(store), 6u);
  EXPECT_EQ(store->shard_lengths[0].load(), shard0_end);
  ASSERT_EQ(append_ragged(store, records, 6, 12), 6);
  EXPECT_EQ(append_ragged(store, doomed, 0, 1), 12);  // a trailing record that sync must keep
  records.push_back(doomed[0]);
  ASSERT_EQ(store_sync(store), 0);
  store_close(store);

  expect_on_disk(dir_ / "store", records);  // sync cut the doomed bytes off every shard
  testing::Opened reopened = testing::open_store(executor_.get(), dir_ / "store");
  ASSERT_NE(reopened.handle, nullptr);
  EXPECT_EQ(store_length(reopened.handle), 13u);
  store_close(reopened.handle);
}

TEST_F(AppendTest, TwoThreadsAppendingOnOneHandleGetContiguousRuns) {
  StoreHandle* store = create(CODEC_ZSTD, 3);
  struct Batch {
    int64_t first;
    std::vector<Bytes> records;
  };
  std::vector<Batch> batches[2];
  auto appender = [&](uint64_t thread) {
    for (uint64_t b = 0; b < 30; ++b) {
      const bool dense = b % 2 == 0;
      Batch batch;
      for (uint64_t i = 0; i < 1 + b % 7; ++i) {
        const uint64_t size = dense ? 64 : 1 + (b * 37 + i * 11) % 300;
        batch.records.push_back(record(thread * 100000 + b * 100 + i, size));
      }
      if (dense) {
        Bytes joined;
        for (const Bytes& r : batch.records) joined.insert(joined.end(), r.begin(), r.end());
        batch.first = store_dense_append(store, joined.data(), 64, batch.records.size());
      } else {
        batch.first = append_ragged(store, batch.records, 0, batch.records.size());
      }
      batches[thread].push_back(std::move(batch));
    }
  };
  std::thread other(appender, 1);
  appender(0);
  other.join();

  std::vector<Bytes> records(store_length(store));
  std::vector<int> claimed(records.size(), 0);
  for (const auto& thread_batches : batches) {
    for (const Batch& batch : thread_batches) {
      ASSERT_GE(batch.first, 0);
      for (size_t i = 0; i < batch.records.size(); ++i) {
        ASSERT_LT(batch.first + i, records.size());
        records[batch.first + i] = batch.records[i];
        ++claimed[batch.first + i];
      }
    }
  }
  EXPECT_EQ(std::count(claimed.begin(), claimed.end(), 1), static_cast<long>(claimed.size()));
  store_close(store);
  expect_on_disk(dir_ / "store", records);
}

class AppendCodecTest : public AppendTest, public ::testing::WithParamInterface<uint8_t> {};

TEST_P(AppendCodecTest, DenseAndRaggedRecordsRoundTrip) {
  StoreHandle* store = create(GetParam(), 3);
  std::vector<Bytes> records;
  Bytes dense;
  for (uint64_t g = 0; g < 7; ++g) {
    records.push_back(record(g, 300));
    dense.insert(dense.end(), records.back().begin(), records.back().end());
  }
  ASSERT_EQ(store_dense_append(store, dense.data(), 300, 7), 0);
  for (uint64_t g = 7; g < 20; ++g) records.push_back(record(g, 1 + g * g * 13));
  ASSERT_EQ(append_ragged(store, records, 7, 20), 7);
  store_close(store);
  expect_on_disk(dir_ / "store", records);
}

TEST_P(AppendCodecTest, SizeRulesRejectTheWholeBatch) {
  StoreHandle* store = create(GetParam(), 2);
  const Bytes good = record(1, 16);
  ASSERT_EQ(store_dense_append(store, good.data(), 16, 1), 0);

  EXPECT_EQ(store_dense_append(store, good.data(), 0, 1), ERR_RECORD_TOO_LARGE);
  EXPECT_EQ(store_dense_append(store, good.data(), 0, 0), ERR_RECORD_TOO_LARGE);
  EXPECT_EQ(store_dense_append(store, nullptr, uint64_t{1} << 40, 0), 1);
  EXPECT_EQ(store_dense_append(store, nullptr, uint64_t{1} << 32, uint64_t{1} << 32),
            ERR_STORE_FULL);
  EXPECT_EQ(store_ragged_append(store, nullptr, 0, 12345), 1);
  const LazyRegion huge(kMaxRecord + 1);
  EXPECT_EQ(store_dense_append(store, huge.data(), kMaxRecord + 1, 1), ERR_RECORD_TOO_LARGE);
  const auto good_address = reinterpret_cast<uint64_t>(good.data());
  const RaggedSlice empty_in_batch[] = {{good_address, 8, good_address + 8, 8}, {0, 0, 0, 0}};
  EXPECT_EQ(store_ragged_append(store, empty_in_batch, 2, 16), ERR_RECORD_TOO_LARGE);
  const RaggedSlice too_large[] = {
      {good_address, 8, reinterpret_cast<uint64_t>(huge.data()), kMaxRecord - 7}};
  EXPECT_EQ(store_ragged_append(store, too_large, 1, kMaxRecord + 1), ERR_RECORD_TOO_LARGE);
  const RaggedSlice wrapping[] = {{good_address, UINT64_MAX, good_address, 2}};
  EXPECT_EQ(store_ragged_append(store, wrapping, 1, 16), ERR_RECORD_TOO_LARGE);

  EXPECT_EQ(store_length(store), 1u);
  EXPECT_EQ(store_dense_append(store, good.data(), 16, 1), 1);
  store_close(store);
  expect_on_disk(dir_ / "store", {good, good});
}

TEST_P(AppendCodecTest, ReadOnlyHandleAppendsFailAndChangeNothing) {
  StoreHandle* writer = create(GetParam(), 2);
  const Bytes bytes = record(5, 40);
  ASSERT_EQ(store_dense_append(writer, bytes.data(), 10, 4), 0);
  ASSERT_EQ(store_sync(writer), 0);
  store_close(writer);
  auto snapshot = [&] {
    std::vector<Bytes> files;
    for (const std::string& name : testing::directory_names(dir_ / "store")) {
      files.push_back(testing::read_file(dir_ / "store/" + name));
    }
    return files;
  };
  const std::vector<Bytes> before = snapshot();

  testing::Opened reader = testing::open_store(executor_.get(), dir_ / "store");
  ASSERT_NE(reader.handle, nullptr);
  EXPECT_EQ(store_dense_append(reader.handle, bytes.data(), 10, 4), ERR_IO);
  const RaggedSlice slice{reinterpret_cast<uint64_t>(bytes.data()), 8,
                          reinterpret_cast<uint64_t>(bytes.data()) + 8, 32};
  EXPECT_EQ(store_ragged_append(reader.handle, &slice, 1, 40), ERR_IO);
  EXPECT_EQ(store_length(reader.handle), 4u);
  store_close(reader.handle);
  EXPECT_EQ(snapshot(), before);
}

// The stored form must not depend on how the work was split: one lane, four lanes, or one
// record per call.
TEST_P(AppendCodecTest, LanesAndBatchingDoNotChangeTheStore) {
  std::vector<Bytes> records;
  for (uint64_t g = 0; g < 23; ++g) records.push_back(record(g, 10 + (g * 97) % 500));
  TestExecutor one_lane(1);
  StoreHandle* serial = create(GetParam(), 4, "serial", one_lane.get());
  StoreHandle* parallel = create(GetParam(), 4, "parallel");
  StoreHandle* single = create(GetParam(), 4, "single");
  ASSERT_EQ(append_ragged(serial, records, 0, records.size()), 0);
  ASSERT_EQ(append_ragged(parallel, records, 0, records.size()), 0);
  for (size_t g = 0; g < records.size(); ++g) {
    ASSERT_EQ(append_ragged(single, records, g, g + 1), static_cast<int64_t>(g));
  }
  for (StoreHandle* store : {serial, parallel, single}) store_close(store);
  // For raw this compares the stored bytes themselves, for zstd their decoded bytes.
  for (const char* name : {"serial", "parallel", "single"}) expect_on_disk(dir_ / name, records);
}

INSTANTIATE_TEST_SUITE_P(Codecs, AppendCodecTest,
                         ::testing::Values(CODEC_RAW, CODEC_ZSTD, CODEC_ZSTD_DICT));

// A record of exactly the size limit needs about 2 GiB of memory and 2 GiB of disk per store.
bool has_room_for_max_record() {
  std::ifstream meminfo("/proc/meminfo");
  std::string key;
  uint64_t kib = 0;
  uint64_t available = 0;
  std::string unit;
  while (meminfo >> key >> kib >> unit) {
    if (key == "MemAvailable:") available = kib * 1024;
  }
  const char* tmp = std::getenv("TMPDIR");
  struct statvfs fs;
  if (statvfs(tmp != nullptr ? tmp : "/tmp", &fs) != 0) return false;
  return available >= (uint64_t{6} << 30) &&
         static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize >= (uint64_t{3} << 30);
}

TEST(AppendSlowTest, RecordOfExactlyTheLimitIsAcceptedByRaw) {
  if (!has_room_for_max_record()) GTEST_SKIP() << "needs 6 GiB of memory and 3 GiB of disk";
  TestExecutor executor(2);
  const LazyRegion data(kMaxRecord, PROT_READ | PROT_WRITE);
  data.data()[0] = 0x11;
  data.data()[kMaxRecord / 2] = 0x22;
  data.data()[kMaxRecord - 1] = 0x33;
  const Bytes header = {1, 2, 3, 4, 5, 6, 7, 8};
  for (const bool ragged : {false, true}) {
    SCOPED_TRACE(ragged ? "ragged" : "dense");
    TempDir dir;
    testing::Opened created = testing::create_store(executor.get(), dir / "store", CODEC_RAW, 1);
    ASSERT_NE(created.handle, nullptr);
    const RaggedSlice slice{reinterpret_cast<uint64_t>(header.data()), 8,
                            reinterpret_cast<uint64_t>(data.data()) + 8, kMaxRecord - 8};
    EXPECT_EQ(ragged ? store_ragged_append(created.handle, &slice, 1, kMaxRecord)
                     : store_dense_append(created.handle, data.data(), kMaxRecord, 1),
              0);
    store_close(created.handle);
    const testing::DiskEntry entry = DiskReader(dir / "store").entry(0);
    EXPECT_EQ(entry.raw_len, kMaxRecord);
    EXPECT_EQ(entry.stored_len, kMaxRecord);
    const std::string shard = dir / "store/data_0.qv";
    EXPECT_EQ(testing::size_of(shard), kMaxRecord);
    EXPECT_EQ(testing::read_range(shard, 0, 1)[0], ragged ? 1 : 0x11);
    EXPECT_EQ(testing::read_range(shard, kMaxRecord / 2, 1)[0], 0x22);
    EXPECT_EQ(testing::read_range(shard, kMaxRecord - 1, 1)[0], 0x33);
  }
}

}  // namespace
}  // namespace tavrill
