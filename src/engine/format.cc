#include "format.h"

namespace tavrill {

StoreHeader decode_header(const uint8_t* image) {
  StoreHeader header;
  header.record_count = load_u64_le(image);
  header.schema_len = load_u16_le(image + 8);
  header.data_shards = image[10];
  header.codec = image[11];
  header.reserved = load_u32_le(image + 12);
  for (uint64_t s = 0; s < kMaxShards; ++s) {
    header.shard_lengths[s] = load_u64_le(image + kShardLengthsOffset + 8 * s);
  }
  return header;
}

void encode_header_fields(const StoreHeader& header, uint8_t* image) {
  store_u64_le(image, header.record_count);
  store_u16_le(image + 8, header.schema_len);
  image[10] = header.data_shards;
  image[11] = header.codec;
  store_u32_le(image + 12, header.reserved);
  for (uint64_t s = 0; s < kMaxShards; ++s) {
    store_u64_le(image + kShardLengthsOffset + 8 * s, header.shard_lengths[s]);
  }
}

bool header_fields_valid(const StoreHeader& header) {
  return header.codec <= CODEC_ZSTD_DICT && header.schema_len >= 1 &&
         header.schema_len <= kMaxSchemaLen && header.data_shards != 0 && header.reserved == 0;
}

bool record_count_fits_index(uint64_t count) {
  return count < kRecordCountLimit && count <= (kMaxFileOffset - kHeaderSize) / kIndexEntrySize;
}

ShardFileName shard_file_name(uint8_t shard) {
  ShardFileName name{};
  std::memcpy(name.text, "data_", 5);
  size_t at = 5;
  char digits[3];
  int count = 0;
  unsigned value = shard;
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (count > 0) name.text[at++] = digits[--count];
  std::memcpy(name.text + at, ".qv", 4);  // with the terminating NUL
  name.length = at + 3;
  return name;
}

bool is_stray_shard_name(const char* name, size_t length, uint8_t data_shards) {
  if (length < 5 || std::memcmp(name, "data_", 5) != 0) return false;
  // Parse "data_<digits>.qv" strictly, then compare with the canonical name of that number, so
  // leading zeros ("data_010.qv") and other spellings stay stray.
  size_t at = 5;
  unsigned value = 0;
  size_t digits = 0;
  while (at < length && name[at] >= '0' && name[at] <= '9' && digits < 4) {
    value = value * 10 + static_cast<unsigned>(name[at] - '0');
    ++at;
    ++digits;
  }
  if (digits == 0 || value >= data_shards) return true;
  const ShardFileName canonical = shard_file_name(static_cast<uint8_t>(value));
  return !(canonical.length == length && std::memcmp(canonical.text, name, length) == 0);
}

}  // namespace tavrill
