// Dense gather: n records chosen by index, each record_bytes long, into one caller buffer.
#include <cstdint>

#include "codec_context.h"
#include "engine.h"
#include "executor.h"
#include "frame_decode.h"
#include "locate.h"
#include "platform/allocator.h"
#include "store.h"

namespace tavrill {
namespace {

// Past these a compressed gather's lengths block (2n u64) cannot exist.
constexpr uint64_t kMaxCompressedRequest = uint64_t{1} << 63;
constexpr uint64_t kMaxAllocatableRequest = uint64_t{1} << 60;

// Shared by the decode tasks of one call; they write only their own slots of dst and
// `first_error`.
struct DenseDecodeStage {
  ExecutorHandle* executor;
  const ZSTD_DDict* ddict;
  FrameRun frames;
  uint8_t* dst;
  uint64_t record_bytes;
  FirstError first_error;

  FrameTarget target(uint64_t i) const { return FrameTarget{dst + i * record_bytes, record_bytes}; }
};

void decode_dense_zstd(DenseDecodeStage* stage, uint32_t task, uint32_t task_count) {
  decode_frames_task<CODEC_ZSTD>(stage, task, task_count);
}

void decode_dense_zstd_dict(DenseDecodeStage* stage, uint32_t task, uint32_t task_count) {
  decode_frames_task<CODEC_ZSTD_DICT>(stage, task, task_count);
}

// Record i of the frames into dst + i × record_bytes, each to exactly record_bytes bytes.
Status decode_dense(StoreHandle* store, const uint8_t* scratch, uint64_t stored_total,
                    const uint64_t* stored_ends, uint64_t n, uint8_t* dst, uint64_t record_bytes) {
  const FrameRun frames{scratch, stored_total, stored_ends, n};
  if (!frame_ends_consistent(frames)) return ErrorKind::DecodeFailed;
  // The writing handle of a dictionary store carries the ddict digested at create, so both kinds
  // of handle decode with the store's own dictionary.
  DenseDecodeStage stage{store->executor, store->ddict, frames, dst, record_bytes, {}};
  if (store->codec == CODEC_ZSTD_DICT) {
    return run_stage<decode_dense_zstd_dict>(*store->executor, n, stage);
  }
  return run_stage<decode_dense_zstd>(*store->executor, n, stage);
}

Status gather_compressed(StoreHandle* store, const uint64_t* idxs, uint64_t n, uint8_t* dst,
                         uint64_t record_bytes) {
  if (n >= kMaxCompressedRequest) return ErrorKind::StoreFull;
  if (n >= kMaxAllocatableRequest) return ErrorKind::OutOfMemory;
  ArrayBlock<uint64_t> lengths;
  TAVRILL_RETURN_IF_ERROR(lengths.allocate(store->executor->allocator, 2 * n));
  uint64_t* raw_lens = lengths.data();
  uint64_t* stored_ends = lengths.data() + n;
  TAVRILL_RETURN_IF_ERROR(locate_records(store, idxs, n, raw_lens, n, stored_ends, n));
  const Result<uint64_t> stored_total = stored_lengths_to_ends(stored_ends, n);
  TAVRILL_RETURN_IF_ERROR(stored_total.status());

  HeldContext scratch(store->executor, HeldContext::HandBack::kRelease);
  if (!scratch.acquire().ok()) return ErrorKind::OutOfMemory;
  TAVRILL_RETURN_IF_ERROR(ensure_scratch(scratch.get(), stored_total.value()));
  uint8_t* frames = scratch->scratch.data;
  TAVRILL_RETURN_IF_ERROR(
      read_records(store, idxs, n, ByteSpan{frames, stored_total.value()}, 0, 0));
  return decode_dense(store, frames, stored_total.value(), stored_ends, n, dst, record_bytes);
}

Status dense_gather(StoreHandle* store, const uint64_t* idxs, uint64_t n, uint8_t* dst,
                    uint64_t record_bytes) {
  uint64_t dst_bytes = 0;
  if (__builtin_mul_overflow(n, record_bytes, &dst_bytes)) return ErrorKind::StoreFull;
  if (n == 0) return Status::Ok();
  if (store->codec == CODEC_RAW) {
    // Stored bytes are the records: straight from the shards into dst, back to back. Only their
    // sum is held against dst; a shorter record moves the later ones forward.
    return read_records(store, idxs, n, ByteSpan{dst, dst_bytes}, 0, 0);
  }
  return gather_compressed(store, idxs, n, dst, record_bytes);
}

}  // namespace

int32_t store_dense_gather(StoreHandle* handle, const uint64_t* idxs, uint64_t n, uint8_t* dst,
                           uint64_t record_bytes) noexcept {
  return dense_gather(handle, idxs, n, dst, record_bytes).code();
}

}  // namespace tavrill
