// The encode stage of an append: every record of a batch turned into its stored form (its raw
// bytes, or one zstd frame) in one shared scratch buffer, in parallel, before the commit touches
// the store.
#ifndef TAVRILL_ENGINE_ENCODE_H_
#define TAVRILL_ENGINE_ENCODE_H_

#include <atomic>
#include <cstdint>

#include "engine.h"
#include "errors.h"
#include "executor.h"

namespace tavrill {

struct StoreHandle;

// Sizes of one encoded record. raw_len comes first here, unlike the on-disk index entry.
struct RecordLengths {
  uint32_t raw_len;
  uint32_t stored_len;
};
static_assert(sizeof(RecordLengths) == 8 && alignof(RecordLengths) == 4);

// What the encode stage hands to the commit. The append owns the arrays and the scratch buffer
// (through its codec context); the stage only writes into them and the commit only reads them.
// Record i's stored bytes are scratch[offsets[i], offsets[i] + lengths[i].stored_len); the other
// scratch bytes are undefined.
struct EncodedBatch {
  uint64_t record_count = 0;
  RecordLengths* lengths = nullptr;
  uint64_t lengths_count = 0;  // entries `lengths` holds; at least record_count
  uint64_t* offsets = nullptr;
  uint64_t offsets_count = 0;  // entries `offsets` holds; at least record_count
  uint8_t* scratch = nullptr;
  uint64_t scratch_capacity = 0;  // scratch bytes this batch may use
};

// Shared by the tasks of one encode stage, on the append's frame for the stage's duration. The
// input, the store's codec and its cdict are only read; each task writes only its own slice of
// the batch arrays and its own reserved scratch range. `scratch_cursor` and `first_error` are the
// only words several tasks write, both by compare-and-swap.
struct EncodeStage {
  enum class Input : uint8_t { kDense, kRagged };

  StoreHandle* store = nullptr;
  Input input = Input::kDense;
  // Dense input: record_count records of record_bytes each, back to back.
  const uint8_t* dense_data = nullptr;
  uint64_t record_bytes = 0;
  // Ragged input: one slice per record.
  const RaggedSlice* ragged = nullptr;
  EncodedBatch batch;
  std::atomic<uint64_t> scratch_cursor{0};  // end of the scratch reserved so far
  FirstError first_error;
};

// The scratch bytes a batch of `total_bytes` raw bytes in `record_count` records may need: the
// total itself for raw, room for every record's compression bound otherwise. StoreFull when
// that does not fit in 64 bits.
Result<uint64_t> encode_scratch_capacity(uint8_t codec, uint64_t total_bytes,
                                         uint64_t record_count);

// Runs the stage over stage.batch.record_count records (at least one) with the task function of
// the input and the store's codec. On success every lengths and offsets entry is set; after a
// failure their contents are undefined and the first failure stored is returned.
Status encode_records(EncodeStage& stage);

// The six tasks; each encodes the contiguous slice t of T of the batch.
void encode_dense_raw(EncodeStage* stage, uint32_t task, uint32_t task_count);
void encode_dense_zstd(EncodeStage* stage, uint32_t task, uint32_t task_count);
void encode_dense_zstd_dict(EncodeStage* stage, uint32_t task, uint32_t task_count);
void encode_ragged_raw(EncodeStage* stage, uint32_t task, uint32_t task_count);
void encode_ragged_zstd(EncodeStage* stage, uint32_t task, uint32_t task_count);
void encode_ragged_zstd_dict(EncodeStage* stage, uint32_t task, uint32_t task_count);

}  // namespace tavrill

#endif  // TAVRILL_ENGINE_ENCODE_H_
