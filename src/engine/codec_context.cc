#include "codec_context.h"

#include <cstring>

namespace tavrill {
namespace {

void free_scratch(CodecContext* context) {
  if (context->scratch.length != 0) {
    context->allocator.free(context->scratch.data, context->scratch.length, 0);
  }
  context->scratch = ScratchBuffer{};
}

void drop_oversized_scratch(CodecContext* context) {
  if (context->scratch.length > kMaxPooledScratch) free_scratch(context);
}

}  // namespace

Result<CodecContext*> codec_context_acquire(ExecutorHandle* executor) {
  executor->pool_mutex.lock();
  CodecContext* context = executor->pool_head;
  if (context != nullptr) {
    executor->pool_head = context->next;
    --executor->pool_count;
    executor->pool_mutex.unlock();
    context->next = nullptr;
    return context;
  }
  executor->pool_mutex.unlock();
  context = allocator_new<CodecContext>(executor->allocator);
  if (context == nullptr) return ErrorKind::OutOfMemory;
  context->allocator = executor->allocator;
  return context;
}

Status ensure_scratch(CodecContext* context, uint64_t size) {
  ScratchBuffer& scratch = context->scratch;
  if (scratch.length >= size) return Status::Ok();
  if (scratch.length == 0) {
    void* fresh = context->allocator.allocate(size, 0);
    if (fresh == nullptr) return ErrorKind::OutOfMemory;
    scratch = ScratchBuffer{static_cast<uint8_t*>(fresh), size};
    return Status::Ok();
  }
  // Remap first: a large buffer can usually grow in place without copying.
  void* grown = context->allocator.remap(scratch.data, scratch.length, 0, size);
  if (grown == nullptr) {
    grown = context->allocator.allocate(size, 0);
    if (grown == nullptr) return ErrorKind::OutOfMemory;
    std::memcpy(grown, scratch.data, scratch.length);
    context->allocator.free(scratch.data, scratch.length, 0);
  }
  scratch = ScratchBuffer{static_cast<uint8_t*>(grown), size};
  return Status::Ok();
}

Result<ZSTD_DCtx*> ensure_dctx(CodecContext* context) {
  if (context->dctx == nullptr) {
    context->dctx = ZSTD_createDCtx();
    if (context->dctx == nullptr) return ErrorKind::OutOfMemory;
  }
  return context->dctx;
}

void codec_context_release(ExecutorHandle* executor, CodecContext* context) {
  drop_oversized_scratch(context);
  codec_context_put(executor, context);
}

void codec_context_reset_release(ExecutorHandle* executor, CodecContext* context) {
  drop_oversized_scratch(context);
  if (context->cctx != nullptr) ZSTD_CCtx_reset(context->cctx, ZSTD_reset_session_and_parameters);
  if (context->dctx != nullptr) ZSTD_DCtx_reset(context->dctx, ZSTD_reset_session_and_parameters);
  codec_context_put(executor, context);
}

void codec_context_put(ExecutorHandle* executor, CodecContext* context) {
  // lanes + 1: one scratch context of a gather plus one per decode task. Held at the u32 maximum.
  const uint32_t cap = executor->lanes == UINT32_MAX ? UINT32_MAX : executor->lanes + 1;
  executor->pool_mutex.lock();
  if (executor->pool_count >= cap) {
    executor->pool_mutex.unlock();
    codec_context_free(context);
    allocator_delete(executor->allocator, context);
    return;
  }
  context->next = executor->pool_head;
  executor->pool_head = context;
  ++executor->pool_count;
  executor->pool_mutex.unlock();
}

void codec_context_free(CodecContext* context) {
  free_scratch(context);
  if (context->cctx != nullptr) ZSTD_freeCCtx(context->cctx);
  if (context->dctx != nullptr) ZSTD_freeDCtx(context->dctx);
  context->cctx = nullptr;
  context->dctx = nullptr;
}

HeldContext::~HeldContext() {
  if (context_ == nullptr) return;
  if (hand_back_ == HandBack::kRelease) {
    codec_context_release(executor_, context_);
  } else {
    codec_context_reset_release(executor_, context_);
  }
}

Status HeldContext::acquire() {
  const Result<CodecContext*> taken = codec_context_acquire(executor_);
  if (!taken.ok()) return taken.kind();
  context_ = taken.value();
  return Status::Ok();
}

}  // namespace tavrill
