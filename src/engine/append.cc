// The two append entry points: argument checks, the batch arrays and a borrowed scratch context,
// then the encode stage and the commit. Only the commit touches the store.
#include "codec_context.h"
#include "commit.h"
#include "encode.h"
#include "engine.h"
#include "store.h"

namespace tavrill {
namespace {

// Larger batches could not have their arrays allocated anyway; refusing them first keeps every
// size computed from the count inside 64 bits.
constexpr uint64_t kAppendCountLimit = uint64_t{1} << 61;

// Encodes and commits a batch whose input is already set in `stage`. `total_bytes` is the
// batch's raw size as the caller states it; it sizes the scratch and nothing else.
Result<uint64_t> encode_and_commit(StoreHandle* handle, EncodeStage& stage, uint64_t record_count,
                                   uint64_t total_bytes) {
  if (record_count >= kAppendCountLimit) return ErrorKind::OutOfMemory;
  ExecutorHandle* executor = handle->executor;
  // Declared in this order so that every path hands the context back first, then frees offsets,
  // then lengths.
  ArrayBlock<RecordLengths> lengths;
  TAVRILL_RETURN_IF_ERROR(lengths.allocate(executor->allocator, record_count));
  ArrayBlock<uint64_t> offsets;
  TAVRILL_RETURN_IF_ERROR(offsets.allocate(executor->allocator, record_count));
  HeldContext context(executor, HeldContext::HandBack::kRelease);
  TAVRILL_RETURN_IF_ERROR(context.acquire());

  const Result<uint64_t> capacity =
      encode_scratch_capacity(handle->codec, total_bytes, record_count);
  TAVRILL_RETURN_IF_ERROR(capacity.status());
  // A longer pooled buffer is kept as it is; only its first `capacity` bytes serve this batch.
  TAVRILL_RETURN_IF_ERROR(ensure_scratch(context.get(), capacity.value()));

  stage.store = handle;
  stage.batch = EncodedBatch{.record_count = record_count,
                             .lengths = lengths.data(),
                             .lengths_count = record_count,
                             .offsets = offsets.data(),
                             .offsets_count = record_count,
                             .scratch = context->scratch.data,
                             .scratch_capacity = capacity.value()};
  TAVRILL_RETURN_IF_ERROR(encode_records(stage));
  return commit_records(handle, stage.batch);
}

int64_t to_result(const Result<uint64_t>& first) {
  // A first index is below 2^60, so it never looks like a negative code.
  return first.ok() ? static_cast<int64_t>(first.value()) : error_code(first.kind());
}

Result<uint64_t> dense_append(StoreHandle* handle, const uint8_t* cpu_pointer,
                              uint64_t record_bytes, uint64_t record_count) {
  if (record_bytes == 0) return ErrorKind::RecordTooLarge;
  if (record_count > UINT64_MAX / record_bytes) return ErrorKind::StoreFull;
  // Acquire pairs with the release of the commit that published this count.
  if (record_count == 0) return handle->record_count.load(std::memory_order_acquire);
  EncodeStage stage;
  stage.input = EncodeStage::Input::kDense;
  stage.dense_data = cpu_pointer;
  stage.record_bytes = record_bytes;
  return encode_and_commit(handle, stage, record_count, record_bytes * record_count);
}

Result<uint64_t> ragged_append(StoreHandle* handle, const RaggedSlice* records,
                               uint64_t record_count, uint64_t decoded_total) {
  if (record_count == 0) return handle->record_count.load(std::memory_order_acquire);
  EncodeStage stage;
  stage.input = EncodeStage::Input::kRagged;
  stage.ragged = records;
  return encode_and_commit(handle, stage, record_count, decoded_total);
}

}  // namespace

int64_t store_dense_append(StoreHandle* handle, const uint8_t* cpu_pointer, uint64_t record_bytes,
                           uint64_t record_count) noexcept {
  return to_result(dense_append(handle, cpu_pointer, record_bytes, record_count));
}

int64_t store_ragged_append(StoreHandle* handle, const RaggedSlice* records, uint64_t record_count,
                            uint64_t decoded_total) noexcept {
  return to_result(ragged_append(handle, records, record_count, decoded_total));
}

}  // namespace tavrill
