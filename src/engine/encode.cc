#include "encode.h"

#include <zstd.h>

#include <cstring>

#include "codec_context.h"
#include "format.h"
#include "store.h"

namespace tavrill {
namespace {

constexpr int kCompressionLevel = 3;
// Every compression bound exceeds its record by at most size / 256 + 64, so 128 per record plus
// 64 covers the bounds of any batch whose true total is B; the count limit keeps 128 × count in
// 64 bits.
constexpr uint64_t kBoundSlackPerRecord = 128;
constexpr uint64_t kBoundSlackPerBatch = 64;
constexpr uint64_t kCompressedCountLimit = uint64_t{1} << 57;

Status checked_add(uint64_t& sum, uint64_t addend) {
  if (addend > UINT64_MAX - sum) return ErrorKind::StoreFull;
  sum += addend;
  return Status::Ok();
}

Result<uint64_t> checked_record_size(uint64_t size) {
  if (size == 0 || size > kMaxRecordLen) return ErrorKind::RecordTooLarge;
  return size;
}

Result<uint64_t> compress_bound(uint64_t size) {
  const size_t bound = ZSTD_compressBound(size);
  if (ZSTD_isError(bound)) return ErrorKind::OutOfMemory;
  return bound;
}

void copy_bytes(uint8_t* destination, uint64_t source_address, uint64_t length) {
  // An empty part may come with any address, null included; memcpy must never see it.
  if (length != 0) std::memcpy(destination, reinterpret_cast<const void*>(source_address), length);
}

// Dense input: every record has record_bytes bytes, back to back in the caller's memory.
class DenseRecords final {
 public:
  explicit DenseRecords(const EncodeStage& stage)
      : data_(stage.dense_data), record_bytes_(stage.record_bytes) {}

  Result<uint64_t> size(uint64_t) const { return checked_record_size(record_bytes_); }
  // The slice is contiguous in the caller's memory and packed in scratch: one copy moves it all.
  void copy_slice(Slice slice, uint8_t* destination) const {
    std::memcpy(destination, data_ + slice.begin * record_bytes_,
                (slice.end - slice.begin) * record_bytes_);
  }
  // Compressed straight from the caller's memory: dense records need no joining.
  Result<const uint8_t*> joined(uint64_t i, CodecContext*) const {
    return data_ + i * record_bytes_;
  }

 private:
  const uint8_t* data_;
  uint64_t record_bytes_;
};

// Ragged input: a record is its header bytes followed by its value bytes, two separate ranges.
class RaggedRecords final {
 public:
  explicit RaggedRecords(const EncodeStage& stage) : slices_(stage.ragged) {}

  Result<uint64_t> size(uint64_t i) const {
    const RaggedSlice& slice = slices_[i];
    if (slice.header_len > UINT64_MAX - slice.values_len) return ErrorKind::RecordTooLarge;
    return checked_record_size(slice.header_len + slice.values_len);
  }
  // Header and values go straight into place one after the other; they are never joined first.
  void copy_slice(Slice slice, uint8_t* destination) const {
    for (uint64_t i = slice.begin; i < slice.end; ++i) {
      copy_to(i, destination);
      destination += slices_[i].header_len + slices_[i].values_len;
    }
  }
  // zstd wants one contiguous source, so the two parts are joined in the task's staging buffer,
  // which only ever grows while the task runs.
  Result<const uint8_t*> joined(uint64_t i, CodecContext* staging) const {
    const RaggedSlice& slice = slices_[i];
    TAVRILL_RETURN_IF_ERROR(ensure_scratch(staging, slice.header_len + slice.values_len));
    copy_to(i, staging->scratch.data);
    return staging->scratch.data;
  }

 private:
  void copy_to(uint64_t i, uint8_t* destination) const {
    const RaggedSlice& slice = slices_[i];
    copy_bytes(destination, slice.header_ptr, slice.header_len);
    copy_bytes(destination + slice.header_len, slice.values_ptr, slice.values_len);
  }

  const RaggedSlice* slices_;
};

// One reservation per task keeps contention on the cursor independent of the record count.
// Relaxed order: the cursor only hands out disjoint ranges; the bytes written into them reach
// the commit through the stage's join, never through the cursor.
Result<uint64_t> reserve_scratch(EncodeStage& stage, uint64_t length) {
  uint64_t start = stage.scratch_cursor.load(std::memory_order_relaxed);
  for (;;) {
    if (length > UINT64_MAX - start) return ErrorKind::StoreFull;
    if (start + length > stage.batch.scratch_capacity) return ErrorKind::BufferTooSmall;
    if (stage.scratch_cursor.compare_exchange_weak(start, start + length,
                                                   std::memory_order_relaxed)) {
      return start;
    }
  }
}

template <typename Records>
Status encode_raw(EncodeStage& stage, const Records& records, Slice slice) {
  uint64_t total = 0;
  for (uint64_t i = slice.begin; i < slice.end; ++i) {
    const Result<uint64_t> size = records.size(i);
    TAVRILL_RETURN_IF_ERROR(size.status());
    TAVRILL_RETURN_IF_ERROR(checked_add(total, size.value()));
  }
  const Result<uint64_t> start = reserve_scratch(stage, total);
  TAVRILL_RETURN_IF_ERROR(start.status());

  EncodedBatch& batch = stage.batch;
  records.copy_slice(slice, batch.scratch + start.value());
  uint64_t position = start.value();
  for (uint64_t i = slice.begin; i < slice.end; ++i) {
    const uint64_t size = records.size(i).value();
    batch.offsets[i] = position;
    batch.lengths[i] = RecordLengths{static_cast<uint32_t>(size), static_cast<uint32_t>(size)};
    position += size;
  }
  return Status::Ok();
}

// Level 3 and the library's defaults otherwise: the frame carries the content size (and the
// dictionary's ID for a formatted dictionary) and no checksum.
Status make_compression_context(CodecContext* context, const ZSTD_CDict* dictionary,
                                bool with_dictionary) {
  context->cctx = ZSTD_createCCtx();
  if (context->cctx == nullptr) return ErrorKind::OutOfMemory;
  if (ZSTD_isError(
          ZSTD_CCtx_setParameter(context->cctx, ZSTD_c_compressionLevel, kCompressionLevel))) {
    return ErrorKind::OutOfMemory;
  }
  if (with_dictionary && ZSTD_isError(ZSTD_CCtx_refCDict(context->cctx, dictionary))) {
    return ErrorKind::OutOfMemory;
  }
  return Status::Ok();
}

// Every record gets a slot of its compression bound, so ZSTD_compress2 writes its frame straight
// into place and can never run out of room; the commit skips the gaps.
template <typename Records>
Status encode_compressed(EncodeStage& stage, const Records& records, Slice slice,
                         bool with_dictionary) {
  // Owns the task's zstd context and staging buffer until the task ends, on every path.
  PrivateContext context(stage.store->executor->allocator);
  TAVRILL_RETURN_IF_ERROR(
      make_compression_context(context.get(), stage.store->cdict, with_dictionary));

  uint64_t total = 0;
  for (uint64_t i = slice.begin; i < slice.end; ++i) {
    const Result<uint64_t> size = records.size(i);
    TAVRILL_RETURN_IF_ERROR(size.status());
    const Result<uint64_t> bound = compress_bound(size.value());
    TAVRILL_RETURN_IF_ERROR(bound.status());
    TAVRILL_RETURN_IF_ERROR(checked_add(total, bound.value()));
  }
  const Result<uint64_t> start = reserve_scratch(stage, total);
  TAVRILL_RETURN_IF_ERROR(start.status());

  EncodedBatch& batch = stage.batch;
  uint64_t position = start.value();
  for (uint64_t i = slice.begin; i < slice.end; ++i) {
    const uint64_t size = records.size(i).value();
    const uint64_t bound = compress_bound(size).value();
    const Result<const uint8_t*> source = records.joined(i, context.get());
    TAVRILL_RETURN_IF_ERROR(source.status());
    const size_t frame =
        ZSTD_compress2(context->cctx, batch.scratch + position, bound, source.value(), size);
    if (ZSTD_isError(frame)) return ErrorKind::OutOfMemory;
    if (frame > kMaxRecordLen) return ErrorKind::RecordTooLarge;
    batch.offsets[i] = position;
    batch.lengths[i] = RecordLengths{static_cast<uint32_t>(size), static_cast<uint32_t>(frame)};
    position += bound;
  }
  return Status::Ok();
}

enum class Encoding { kRaw, kZstd, kZstdDict };

// A task stops at its first failure; the others are not told and finish their slices.
template <typename Records, Encoding kEncoding>
void encode_task(EncodeStage* stage, uint32_t task, uint32_t task_count) {
  const Slice slice = contiguous_slice(stage->batch.record_count, task, task_count);
  if (slice.begin == slice.end) return;
  const Records records(*stage);
  const Status status =
      kEncoding == Encoding::kRaw
          ? encode_raw(*stage, records, slice)
          : encode_compressed(*stage, records, slice, kEncoding == Encoding::kZstdDict);
  if (!status.ok()) stage->first_error.record(status.kind());
}

}  // namespace

void encode_dense_raw(EncodeStage* stage, uint32_t task, uint32_t task_count) {
  encode_task<DenseRecords, Encoding::kRaw>(stage, task, task_count);
}
void encode_dense_zstd(EncodeStage* stage, uint32_t task, uint32_t task_count) {
  encode_task<DenseRecords, Encoding::kZstd>(stage, task, task_count);
}
void encode_dense_zstd_dict(EncodeStage* stage, uint32_t task, uint32_t task_count) {
  encode_task<DenseRecords, Encoding::kZstdDict>(stage, task, task_count);
}
void encode_ragged_raw(EncodeStage* stage, uint32_t task, uint32_t task_count) {
  encode_task<RaggedRecords, Encoding::kRaw>(stage, task, task_count);
}
void encode_ragged_zstd(EncodeStage* stage, uint32_t task, uint32_t task_count) {
  encode_task<RaggedRecords, Encoding::kZstd>(stage, task, task_count);
}
void encode_ragged_zstd_dict(EncodeStage* stage, uint32_t task, uint32_t task_count) {
  encode_task<RaggedRecords, Encoding::kZstdDict>(stage, task, task_count);
}

Result<uint64_t> encode_scratch_capacity(uint8_t codec, uint64_t total_bytes,
                                         uint64_t record_count) {
  if (codec == CODEC_RAW) return total_bytes;
  if (record_count >= kCompressedCountLimit) return ErrorKind::StoreFull;
  uint64_t capacity = total_bytes;
  TAVRILL_RETURN_IF_ERROR(checked_add(capacity, total_bytes / 256));
  TAVRILL_RETURN_IF_ERROR(checked_add(capacity, kBoundSlackPerRecord * record_count));
  TAVRILL_RETURN_IF_ERROR(checked_add(capacity, kBoundSlackPerBatch));
  return capacity;
}

Status encode_records(EncodeStage& stage) {
  const EncodedBatch& batch = stage.batch;
  const uint64_t n = batch.record_count;
  if (n == 0) return Status::Ok();
  if (batch.lengths_count < n || batch.offsets_count < n) return ErrorKind::BufferTooSmall;
  ExecutorHandle& executor = *stage.store->executor;
  const bool dense = stage.input == EncodeStage::Input::kDense;
  // A store only ever holds codecs 0 to 2; anything past zstd takes the dictionary road.
  switch (stage.store->codec) {
    case CODEC_RAW:
      return dense ? run_stage<encode_dense_raw>(executor, n, stage)
                   : run_stage<encode_ragged_raw>(executor, n, stage);
    case CODEC_ZSTD:
      return dense ? run_stage<encode_dense_zstd>(executor, n, stage)
                   : run_stage<encode_ragged_zstd>(executor, n, stage);
    default:
      return dense ? run_stage<encode_dense_zstd_dict>(executor, n, stage)
                   : run_stage<encode_ragged_zstd_dict>(executor, n, stage);
  }
}

}  // namespace tavrill
