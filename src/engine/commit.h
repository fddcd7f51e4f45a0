// The second half of every append: an encoded batch placed in the store under the store mutex,
// record bytes at the ends of their shards, index entries in meta.qv, and only then published.
#ifndef TAVRILL_ENGINE_COMMIT_H_
#define TAVRILL_ENGINE_COMMIT_H_

#include <cstdint>

#include "encode.h"
#include "errors.h"
#include "executor.h"
#include "format.h"
#include "platform/file.h"

namespace tavrill {

struct StoreHandle;

// One index entry in its on-disk encoding, aligned for the allocator's 8-byte blocks.
struct IndexEntryBytes {
  alignas(8) uint8_t bytes[kIndexEntrySize];
};
static_assert(sizeof(IndexEntryBytes) == kIndexEntrySize);

// Shared by the tasks of the write stage, on the commit's frame. Task t owns shards t, t + T, ...:
// it alone writes their `ends` slots, their files and the `entries` of their records.
struct WriteStage {
  StoreHandle* store = nullptr;
  uint64_t ends[kMaxShards] = {};  // working shard ends, copied from the committed lengths
  const EncodedBatch* batch = nullptr;
  uint64_t first = 0;  // store index of the batch's record 0
  uint64_t data_shards = 0;
  IndexEntryBytes* entries = nullptr;  // batch.record_count entries, in batch order
  FirstError first_error;
};

// Numbers the batch after the records committed so far, writes it and its index entries, and
// publishes the new shard lengths and record count. Returns the index of the batch's first
// record. A failure publishes nothing; bytes already written lie past the committed ends, where
// the next commit overwrites them and sync cuts them off.
Result<uint64_t> commit_records(StoreHandle* handle, const EncodedBatch& batch);

// The write stage: min(lanes, data_shards) tasks over striped shards.
Status write_shards(ExecutorHandle& executor, WriteStage& stage, uint64_t data_shards);
void write_shard_records(WriteStage* stage, uint32_t task, uint32_t task_count);

// The batch's entries in one positional write at the entry of record `first`.
Status write_index_entries(const File& meta_file, uint64_t first, const IndexEntryBytes* entries,
                           uint64_t count);

}  // namespace tavrill

#endif  // TAVRILL_ENGINE_COMMIT_H_
