// The one road from record indices to stored bytes: reading and checking index entries, and
// reading the records they point at into place. Gathers never touch meta.qv or a shard otherwise.
#ifndef TAVRILL_ENGINE_LOCATE_H_
#define TAVRILL_ENGINE_LOCATE_H_

#include <cstdint>

#include "errors.h"
#include "format.h"
#include "platform/file.h"
#include "store.h"

namespace tavrill {

// What one locate pass checks index entries against, copied from the handle at the pass's start
// without the store mutex. The count is read before the lengths, so every record below
// `record_count` lies inside the lengths held here; lengths of shards a commit is still growing
// may be newer than the count, which only ever makes them longer. Plain value, one per pass.
struct ShardSnapshot {
  uint64_t record_count = 0;
  uint64_t shard_lengths[kMaxShards] = {};
  uint8_t data_shards = 1;
  uint8_t codec = CODEC_RAW;
};

ShardSnapshot take_shard_snapshot(const StoreHandle& store);

// The index entry of record g, read from `meta_file` and checked against `snapshot`.
// InvalidFormat for an index not below the snapshot's count, an entry past the end of meta.qv or
// one that breaks the format's invariants; Io for a failed read.
Result<IndexEntry> locate_record(const File& meta_file, uint64_t g, const ShardSnapshot& snapshot);

// raw_len and stored_len of every requested record, in request order, located in parallel.
// BufferTooSmall when either output holds fewer than n entries.
Status locate_records(StoreHandle* store, const uint64_t* idxs, uint64_t n, uint64_t* raw_lens,
                      uint64_t raw_capacity, uint64_t* stored_lens, uint64_t stored_capacity);

// Turns located stored lengths, in place, into where each record's stored bytes end when the n
// records lie back to back in request order; returns the total. StoreFull when it overflows.
Result<uint64_t> stored_lengths_to_ends(uint64_t* lengths, uint64_t n);

// A destination that may be written only inside its first `length` bytes.
struct ByteSpan {
  uint8_t* data;
  uint64_t length;
};

// Locates the requested records and reads their stored bytes into `span` in parallel: request
// i's first `header_len` bytes to i × header_len, the rest to values_offset + the sum of
// (stored_len − header_len) over the requests before it. With header_len 0 and values_offset 0
// the records land back to back in request order. Every size check is made before the first
// byte of the span is written; after a failed read the span holds whatever the other reads wrote.
Status read_records(StoreHandle* store, const uint64_t* idxs, uint64_t n, ByteSpan span,
                    uint64_t header_len, uint64_t values_offset);

}  // namespace tavrill

#endif  // TAVRILL_ENGINE_LOCATE_H_
