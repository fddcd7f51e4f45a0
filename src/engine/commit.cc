#include "commit.h"

#include "store.h"

namespace tavrill {
namespace {

// The new count must leave every index entry at a valid signed 64-bit file offset.
Status check_new_count(uint64_t first, uint64_t count) {
  if (count > UINT64_MAX - first) return ErrorKind::StoreFull;
  return record_count_fits_index(first + count) ? Status::Ok() : Status(ErrorKind::StoreFull);
}

// The commit writes straight from scratch, so every record's range is checked against the part
// of scratch the batch owns before a byte is written.
Status check_scratch_ranges(const EncodedBatch& batch) {
  if (batch.offsets_count < batch.record_count) return ErrorKind::BufferTooSmall;
  for (uint64_t i = 0; i < batch.record_count; ++i) {
    const uint64_t offset = batch.offsets[i];
    const uint64_t length = batch.lengths[i].stored_len;
    if (length > UINT64_MAX - offset) return ErrorKind::StoreFull;
    if (offset + length > batch.scratch_capacity) return ErrorKind::BufferTooSmall;
  }
  return Status::Ok();
}

// Writes shard s's records of the batch, in increasing index, from the shard's working end.
Status write_one_shard(WriteStage& stage, uint64_t s) {
  const EncodedBatch& batch = *stage.batch;
  const File& file = stage.store->shard_files[s];
  // The batch's first record whose store index g = first + i falls to shard s.
  const uint64_t first_in_shard =
      (s + stage.data_shards - stage.first % stage.data_shards) % stage.data_shards;
  for (uint64_t i = first_in_shard; i < batch.record_count; i += stage.data_shards) {
    const RecordLengths lengths = batch.lengths[i];
    const uint64_t offset = stage.ends[s];
    if (offset > kMaxFileOffset || lengths.stored_len > kMaxFileOffset - offset) {
      return ErrorKind::StoreFull;
    }
    stage.ends[s] = offset + lengths.stored_len;
    if (lengths.stored_len != 0) {
      TAVRILL_RETURN_IF_ERROR(
          write_all_at(file, batch.scratch + batch.offsets[i], lengths.stored_len, offset));
    }
    encode_index_entry(IndexEntry{offset, lengths.stored_len, lengths.raw_len},
                       stage.entries[i].bytes);
  }
  return Status::Ok();
}

}  // namespace

void write_shard_records(WriteStage* stage, uint32_t task, uint32_t task_count) {
  // A failing task stops; the others finish their shards, whose bytes stay unpublished.
  for (uint64_t s = task; s < stage->data_shards; s += task_count) {
    const Status status = write_one_shard(*stage, s);
    if (!status.ok()) {
      stage->first_error.record(status.kind());
      return;
    }
  }
}

Status write_shards(ExecutorHandle& executor, WriteStage& stage, uint64_t data_shards) {
  return run_stage<write_shard_records>(executor, data_shards, stage);
}

Status write_index_entries(const File& meta_file, uint64_t first, const IndexEntryBytes* entries,
                           uint64_t count) {
  if (!record_count_fits_index(first)) return ErrorKind::StoreFull;
  TAVRILL_RETURN_IF_ERROR(check_new_count(first, count));
  return write_all_at(meta_file, entries, count * kIndexEntrySize, index_entry_position(first));
}

Result<uint64_t> commit_records(StoreHandle* handle, const EncodedBatch& batch) {
  const uint64_t count = batch.record_count;
  // Acquire pairs with the release of the commit that published this count.
  if (count == 0) return handle->record_count.load(std::memory_order_acquire);

  MutexLock lock(handle->mutex);
  // Relaxed: the count and lengths change only under the mutex we hold.
  const uint64_t first = handle->record_count.load(std::memory_order_relaxed);
  TAVRILL_RETURN_IF_ERROR(check_new_count(first, count));
  TAVRILL_RETURN_IF_ERROR(check_scratch_ranges(batch));

  WriteStage stage;
  stage.store = handle;
  stage.batch = &batch;
  stage.first = first;
  stage.data_shards = handle->data_shards;
  for (uint64_t s = 0; s < stage.data_shards; ++s) {
    stage.ends[s] = handle->shard_lengths[s].load(std::memory_order_relaxed);
  }
  // Declared after the lock, so the entries are freed before the mutex is released.
  ArrayBlock<IndexEntryBytes> entries;
  if (count >= kRecordCountLimit) return ErrorKind::OutOfMemory;
  TAVRILL_RETURN_IF_ERROR(entries.allocate(handle->executor->allocator, count));
  stage.entries = entries.data();

  TAVRILL_RETURN_IF_ERROR(write_shards(*handle->executor, stage, stage.data_shards));
  TAVRILL_RETURN_IF_ERROR(write_index_entries(handle->meta_file, first, entries.data(), count));

  // Release stores, lengths before the count: a reader that loads the count (acquire) and then
  // the lengths never sees records whose bytes are not yet counted in their shard's length.
  for (uint64_t s = 0; s < stage.data_shards; ++s) {
    handle->shard_lengths[s].store(stage.ends[s], std::memory_order_release);
  }
  handle->record_count.store(first + count, std::memory_order_release);
  return first;
}

}  // namespace tavrill
