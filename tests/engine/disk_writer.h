// A stand-in for the append road in tests: writes records into a live writing handle exactly as a
// commit lays them out (stored bytes at the end of shard g mod data_shards, the 16-byte entry at
// 4096 + 16 × g of meta.qv) and publishes them, and lets tests plant entries of their own.
// One writer per handle at a time; it throws std::runtime_error when a write fails.
#ifndef TAVRILL_TESTS_ENGINE_DISK_WRITER_H_
#define TAVRILL_TESTS_ENGINE_DISK_WRITER_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "engine.h"
#include "format.h"
#include "test_support.h"

namespace tavrill::testing {

class DiskWriter {
 public:
  explicit DiskWriter(StoreHandle* handle) : handle_(handle) {}

  // The stored form of `raw` under the handle's codec: itself, a zstd frame at level 3, or a
  // frame made with the handle's compression dictionary.
  std::vector<uint8_t> encode(const std::vector<uint8_t>& raw) const;

  // Encodes and commits one record; returns its index.
  uint64_t commit(const std::vector<uint8_t>& raw);
  // Commits `stored` as given, recording `raw_len` as its decoded size.
  uint64_t commit_stored(const std::vector<uint8_t>& stored, uint32_t raw_len);

  // Writes the next record's bytes and entry but publishes neither its shard length nor the
  // count, like a commit that failed after its writes. Returns the entry it wrote.
  IndexEntry write_unpublished(const std::vector<uint8_t>& stored, uint32_t raw_len);
  // Overwrites the entry of record g, published or not.
  void plant_entry(uint64_t g, const IndexEntry& entry);
  // Raises the published length of `shard` (as a later commit would) without writing bytes.
  void publish_shard_length(uint8_t shard, uint64_t length);
  void publish_count(uint64_t count);

  uint64_t count() const;
  uint64_t shard_length(uint8_t shard) const;

 private:
  IndexEntry write_next(const std::vector<uint8_t>& stored, uint32_t raw_len);

  StoreHandle* handle_;
};

// One store per test, made in a fresh directory and closed at the end.
class GatherFixture : public ::testing::Test {
 protected:
  StoreHandle* create(uint8_t codec, uint8_t shards, const std::vector<uint8_t>& dict = {});
  // Closes the handle and opens the store again read-only.
  void reopen();
  void TearDown() override;
  std::string path() const { return dir_ / "store"; }

  TempDir dir_;
  TestExecutor executor_{3};
  StoreHandle* handle_ = nullptr;
};

}  // namespace tavrill::testing

#endif  // TAVRILL_TESTS_ENGINE_DISK_WRITER_H_
