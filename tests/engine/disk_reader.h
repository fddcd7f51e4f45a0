// Reads a store directory with plain file reads and zstd, independently of the engine's code, so
// that tests check the on-disk layout itself rather than the engine agreeing with itself.
#ifndef TAVRILL_TESTS_ENGINE_DISK_READER_H_
#define TAVRILL_TESTS_ENGINE_DISK_READER_H_

#include <cstdint>
#include <string>
#include <vector>

namespace tavrill::testing {

struct DiskEntry {
  uint64_t offset;
  uint32_t stored_len;
  uint32_t raw_len;
};

// Takes the shard count and codec from the header of meta.qv; index entries are read wherever
// they lie in meta.qv, synced or not. Failures throw std::runtime_error.
class DiskReader {
 public:
  explicit DiskReader(std::string directory);

  uint64_t header_record_count() const { return header_record_count_; }
  uint8_t data_shards() const { return data_shards_; }
  uint8_t codec() const { return codec_; }
  std::string shard_path(uint64_t shard) const;
  std::string meta_path() const { return directory_ + "/meta.qv"; }
  const std::vector<uint8_t>& dictionary() const { return dictionary_; }  // dict.qv, if any

  // The index entry of record g (at byte 4096 + 16 × g of meta.qv).
  DiskEntry entry(uint64_t g) const;
  // Record g's stored bytes, from shard g mod data_shards.
  std::vector<uint8_t> stored(uint64_t g) const;
  // Record g decoded: its stored bytes (raw), or its single zstd frame decompressed, with the
  // bytes of dict.qv for zstd_dict; the frame must decode to exactly raw_len bytes.
  std::vector<uint8_t> decoded(uint64_t g) const;

 private:
  std::string directory_;
  uint64_t header_record_count_ = 0;
  uint8_t data_shards_ = 0;
  uint8_t codec_ = 0;
  std::vector<uint8_t> dictionary_;
};

// Reads `length` bytes at `offset` of a file; throws when the file ends first.
std::vector<uint8_t> read_range(const std::string& path, uint64_t offset, uint64_t length);

}  // namespace tavrill::testing

#endif  // TAVRILL_TESTS_ENGINE_DISK_READER_H_
