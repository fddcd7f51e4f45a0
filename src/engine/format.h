// Everything that is on disk: the meta.qv header and index entries, shard file names, and the
// little-endian encoding they share. No I/O here.
#ifndef TAVRILL_ENGINE_FORMAT_H_
#define TAVRILL_ENGINE_FORMAT_H_

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "engine.h"

namespace tavrill {

inline constexpr uint64_t kHeaderSize = 4096;
inline constexpr uint64_t kIndexEntrySize = 16;
inline constexpr uint64_t kMaxShards = 255;
inline constexpr uint64_t kMaxSchemaLen = 2040;
inline constexpr uint64_t kShardLengthsOffset = 16;
inline constexpr uint64_t kSchemaOffset = kShardLengthsOffset + 8 * kMaxShards;  // 2056
inline constexpr uint64_t kMaxRecordLen = uint64_t{1} << 31;
// File offsets are signed 64-bit; every length and position on disk stays at or below this.
inline constexpr uint64_t kMaxFileOffset = INT64_MAX;
// Record counts stay below this so that 4096 + 16 × count is a valid file offset.
inline constexpr uint64_t kRecordCountLimit = uint64_t{1} << 60;

static_assert(kSchemaOffset + kMaxSchemaLen == kHeaderSize);

inline uint16_t load_u16_le(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t load_u32_le(const uint8_t* p) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}
inline uint64_t load_u64_le(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}
inline void store_u16_le(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void store_u32_le(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void store_u64_le(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// The fixed fields of the 4096-byte header. The schema blob is not copied here: it lives only in
// the header image, at kSchemaOffset.
struct StoreHeader {
  uint64_t record_count = 0;
  uint16_t schema_len = 0;
  uint8_t data_shards = 0;
  uint8_t codec = 0;
  uint32_t reserved = 0;
  uint64_t shard_lengths[kMaxShards] = {};
};

StoreHeader decode_header(const uint8_t* image);
// Writes the fixed fields into `image`; the schema area is left as it is.
void encode_header_fields(const StoreHeader& header, uint8_t* image);

// The cheap checks of a header read from disk: known codec, schema length 1..2040, at least one
// shard, reserved word 0.
bool header_fields_valid(const StoreHeader& header);

// Whether 4096 + 16 × count is a valid file offset (count ≤ 2^59 − 257).
bool record_count_fits_index(uint64_t count);
// Byte position of record g's index entry; only valid when record_count_fits_index(g).
inline uint64_t index_entry_position(uint64_t g) { return kHeaderSize + kIndexEntrySize * g; }

struct IndexEntry {
  uint64_t offset = 0;
  uint32_t stored_len = 0;
  uint32_t raw_len = 0;
};

inline IndexEntry decode_index_entry(const uint8_t* bytes) {
  return IndexEntry{load_u64_le(bytes), load_u32_le(bytes + 8), load_u32_le(bytes + 12)};
}
inline void encode_index_entry(const IndexEntry& entry, uint8_t* bytes) {
  store_u64_le(bytes, entry.offset);
  store_u32_le(bytes + 8, entry.stored_len);
  store_u32_le(bytes + 12, entry.raw_len);
}

// "data_<shard>.qv", NUL-terminated; 9 to 11 bytes of name.
struct ShardFileName {
  char text[12];
  size_t length;
};
ShardFileName shard_file_name(uint8_t shard);

// The directory rule at open: a name that starts with "data_" must be exactly the name of a
// shard below data_shards. Names that do not start with "data_" are never stray.
bool is_stray_shard_name(const char* name, size_t length, uint8_t data_shards);

}  // namespace tavrill

#endif  // TAVRILL_ENGINE_FORMAT_H_
