#include "locate.h"

#include <atomic>

#include "executor.h"
#include "platform/allocator.h"

namespace tavrill {
namespace {

// Below this a request fits the offsets and sizes of the working arrays with room to spare.
constexpr uint64_t kMaxReadRequest = uint64_t{1} << 60;

Status check_entry(const IndexEntry& entry, uint64_t g, const ShardSnapshot& snapshot) {
  if (entry.stored_len == 0) return ErrorKind::InvalidFormat;
  if (entry.raw_len == 0 || entry.raw_len > kMaxRecordLen) return ErrorKind::InvalidFormat;
  if (snapshot.codec == CODEC_RAW && entry.stored_len != entry.raw_len) {
    return ErrorKind::InvalidFormat;
  }
  uint64_t end = 0;
  if (__builtin_add_overflow(entry.offset, uint64_t{entry.stored_len}, &end)) {
    return ErrorKind::InvalidFormat;
  }
  if (end > snapshot.shard_lengths[g % snapshot.data_shards]) return ErrorKind::InvalidFormat;
  return Status::Ok();
}

// One locate pass over a request. Each task writes only the slots of its own slice; whichever of
// `entries` or the two length arrays is set receives the result.
struct LocateStage {
  const File* meta_file;
  const uint64_t* idxs;
  uint64_t n;
  const ShardSnapshot* snapshot;
  IndexEntry* entries = nullptr;
  uint64_t* raw_lens = nullptr;
  uint64_t* stored_lens = nullptr;
  FirstError first_error{};
};

void locate_task(LocateStage* stage, uint32_t task, uint32_t task_count) {
  const Slice slice = contiguous_slice(stage->n, task, task_count);
  for (uint64_t i = slice.begin; i < slice.end; ++i) {
    const Result<IndexEntry> located =
        locate_record(*stage->meta_file, stage->idxs[i], *stage->snapshot);
    if (!located.ok()) {
      stage->first_error.record(located.kind());
      continue;
    }
    if (stage->entries != nullptr) {
      stage->entries[i] = located.value();
    } else {
      stage->raw_lens[i] = located.value().raw_len;
      stage->stored_lens[i] = located.value().stored_len;
    }
  }
}

struct ReadStage {
  const StoreHandle* store;
  const uint64_t* idxs;
  uint64_t n;
  uint8_t data_shards;
  const IndexEntry* entries;
  const uint64_t* value_starts;
  uint8_t* span;
  uint64_t header_len;
  uint64_t values_offset;
  FirstError first_error{};
};

Status read_one(const ReadStage& stage, uint64_t i) {
  const IndexEntry& entry = stage.entries[i];
  const File& shard = stage.store->shard_files[stage.idxs[i] % stage.data_shards];
  // A shard that ends inside a record it claims to hold is damaged data, not a broken index.
  if (stage.header_len != 0) {
    TAVRILL_RETURN_IF_ERROR(read_exact_at(shard, stage.span + i * stage.header_len,
                                          stage.header_len, entry.offset, ErrorKind::DecodeFailed));
  }
  return read_exact_at(shard, stage.span + stage.values_offset + stage.value_starts[i],
                       entry.stored_len - stage.header_len, entry.offset + stage.header_len,
                       ErrorKind::DecodeFailed);
}

void read_task(ReadStage* stage, uint32_t task, uint32_t task_count) {
  const Slice slice = contiguous_slice(stage->n, task, task_count);
  for (uint64_t i = slice.begin; i < slice.end; ++i) {
    const Status read = read_one(*stage, i);
    if (!read.ok()) stage->first_error.record(read.kind());
  }
}

// Where each request's values go, and their total. Sequential: it stops at the first record that
// keeps no value byte after its header.
Result<uint64_t> lay_out_values(const IndexEntry* entries, uint64_t n, uint64_t header_len,
                                uint64_t* value_starts) {
  uint64_t total = 0;
  for (uint64_t i = 0; i < n; ++i) {
    if (entries[i].stored_len <= header_len) return ErrorKind::DecodeFailed;
    value_starts[i] = total;
    if (__builtin_add_overflow(total, entries[i].stored_len - header_len, &total)) {
      return ErrorKind::StoreFull;
    }
  }
  return total;
}

Status check_span(ByteSpan span, uint64_t headers_bytes, uint64_t values_offset,
                  uint64_t values_total, uint64_t header_len) {
  uint64_t values_end = 0;
  if (__builtin_add_overflow(values_offset, values_total, &values_end)) {
    return ErrorKind::StoreFull;
  }
  if (headers_bytes > span.length || values_end > span.length) return ErrorKind::BufferTooSmall;
  if (header_len != 0 && values_offset < headers_bytes) return ErrorKind::BufferTooSmall;
  return Status::Ok();
}

}  // namespace

ShardSnapshot take_shard_snapshot(const StoreHandle& store) {
  ShardSnapshot snapshot;
  // Acquire on the count pairs with the commit's release store of it, which follows the release
  // stores of its lengths: every length loaded below is then at least what that commit
  // published, so the count never runs ahead of the bytes. Acquire on each length makes the shard
  // bytes written before it visible to our reads.
  snapshot.record_count = store.record_count.load(std::memory_order_acquire);
  snapshot.data_shards = store.data_shards;
  snapshot.codec = store.codec;
  for (unsigned s = 0; s < store.data_shards; ++s) {
    snapshot.shard_lengths[s] = store.shard_lengths[s].load(std::memory_order_acquire);
  }
  return snapshot;
}

Result<IndexEntry> locate_record(const File& meta_file, uint64_t g, const ShardSnapshot& snapshot) {
  if (!record_count_fits_index(g)) return ErrorKind::InvalidFormat;
  // An entry at or past the count may be a leftover of a failed commit that now lies inside
  // longer shards, or one an append on this handle is writing right now; either would hand back
  // another record's bytes.
  if (g >= snapshot.record_count) return ErrorKind::InvalidFormat;
  uint8_t bytes[kIndexEntrySize];
  TAVRILL_RETURN_IF_ERROR(read_exact_at(meta_file, bytes, kIndexEntrySize, index_entry_position(g),
                                        ErrorKind::InvalidFormat));
  const IndexEntry entry = decode_index_entry(bytes);
  TAVRILL_RETURN_IF_ERROR(check_entry(entry, g, snapshot));
  return entry;
}

Status locate_records(StoreHandle* store, const uint64_t* idxs, uint64_t n, uint64_t* raw_lens,
                      uint64_t raw_capacity, uint64_t* stored_lens, uint64_t stored_capacity) {
  if (raw_capacity < n || stored_capacity < n) return ErrorKind::BufferTooSmall;
  if (n == 0) return Status::Ok();
  const ShardSnapshot snapshot = take_shard_snapshot(*store);
  LocateStage stage{.meta_file = &store->meta_file,
                    .idxs = idxs,
                    .n = n,
                    .snapshot = &snapshot,
                    .raw_lens = raw_lens,
                    .stored_lens = stored_lens};
  return run_stage<locate_task>(*store->executor, n, stage);
}

Result<uint64_t> stored_lengths_to_ends(uint64_t* lengths, uint64_t n) {
  uint64_t total = 0;
  for (uint64_t i = 0; i < n; ++i) {
    if (__builtin_add_overflow(total, lengths[i], &total)) return ErrorKind::StoreFull;
    lengths[i] = total;
  }
  return total;
}

Status read_records(StoreHandle* store, const uint64_t* idxs, uint64_t n, ByteSpan span,
                    uint64_t header_len, uint64_t values_offset) {
  uint64_t headers_bytes = 0;
  if (__builtin_mul_overflow(n, header_len, &headers_bytes)) return ErrorKind::StoreFull;
  if (n >= kMaxReadRequest) return ErrorKind::OutOfMemory;
  if (n == 0) {
    return values_offset > span.length ? Status(ErrorKind::BufferTooSmall) : Status::Ok();
  }

  const Allocator& allocator = store->executor->allocator;
  ArrayBlock<IndexEntry> entries;
  ArrayBlock<uint64_t> value_starts;
  TAVRILL_RETURN_IF_ERROR(entries.allocate(allocator, n));
  TAVRILL_RETURN_IF_ERROR(value_starts.allocate(allocator, n));

  const ShardSnapshot snapshot = take_shard_snapshot(*store);
  LocateStage locate{.meta_file = &store->meta_file,
                     .idxs = idxs,
                     .n = n,
                     .snapshot = &snapshot,
                     .entries = entries.data()};
  TAVRILL_RETURN_IF_ERROR(run_stage<locate_task>(*store->executor, n, locate));

  const Result<uint64_t> values_total =
      lay_out_values(entries.data(), n, header_len, value_starts.data());
  TAVRILL_RETURN_IF_ERROR(values_total.status());
  TAVRILL_RETURN_IF_ERROR(
      check_span(span, headers_bytes, values_offset, values_total.value(), header_len));

  ReadStage read{.store = store,
                 .idxs = idxs,
                 .n = n,
                 .data_shards = snapshot.data_shards,
                 .entries = entries.data(),
                 .value_starts = value_starts.data(),
                 .span = span.data,
                 .header_len = header_len,
                 .values_offset = values_offset};
  return run_stage<read_task>(*store->executor, n, read);
}

}  // namespace tavrill
