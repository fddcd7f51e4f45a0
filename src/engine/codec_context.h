// Pooled codec contexts: a scratch buffer plus a zstd decompression context, lent to appends,
// gathers and decode tasks and kept by the executor between calls.
#ifndef TAVRILL_ENGINE_CODEC_CONTEXT_H_
#define TAVRILL_ENGINE_CODEC_CONTEXT_H_

#include <zstd.h>

#include <cstdint>

#include "errors.h"
#include "executor.h"
#include "platform/allocator.h"

namespace tavrill {

// Scratch buffers above this size go back to the allocator instead of staying in the pool.
inline constexpr uint64_t kMaxPooledScratch = 4 * 1024 * 1024;

struct ScratchBuffer {
  uint8_t* data = nullptr;
  uint64_t length = 0;  // 0: nothing allocated
};

// Held by exactly one call or task at a time, or sitting in its executor's pool. The scratch
// buffer comes from `allocator` (alignment 1); the zstd contexts from the C heap. `dctx` is made
// on first use and kept for the context's whole life; `cctx` is set only in the task-private
// contexts of encode tasks, which never enter the pool.
struct CodecContext {
  Allocator allocator;
  ScratchBuffer scratch;
  ZSTD_CCtx* cctx = nullptr;
  ZSTD_DCtx* dctx = nullptr;
  CodecContext* next = nullptr;
};

// The pooled context put back last, or a fresh empty one. OutOfMemory when a fresh one cannot be
// allocated.
Result<CodecContext*> codec_context_acquire(ExecutorHandle* executor);
// Grows the scratch buffer to at least `size` bytes (never shrinks it). On OutOfMemory the old
// buffer stays in the context unchanged.
Status ensure_scratch(CodecContext* context, uint64_t size);
// The context's decompression context, made on first use.
Result<ZSTD_DCtx*> ensure_dctx(CodecContext* context);
// Hand back after an append or a gather: frees a scratch buffer above 4 MiB, then puts.
void codec_context_release(ExecutorHandle* executor, CodecContext* context);
// Hand back after a decode task: as release, and the zstd contexts forget their dictionary and
// parameters.
void codec_context_reset_release(ExecutorHandle* executor, CodecContext* context);
// Into the pool, or freed whole when the pool already holds lanes + 1 contexts.
void codec_context_put(ExecutorHandle* executor, CodecContext* context);
// Frees what the context holds, not the record.
void codec_context_free(CodecContext* context);

// A pooled context held for one scope and handed back when the scope ends, on every path.
class HeldContext final {
 public:
  enum class HandBack { kRelease, kResetRelease };

  HeldContext(ExecutorHandle* executor, HandBack hand_back)
      : executor_(executor), hand_back_(hand_back) {}
  ~HeldContext();
  HeldContext(const HeldContext&) = delete;
  HeldContext& operator=(const HeldContext&) = delete;

  Status acquire();
  CodecContext* get() const { return context_; }
  CodecContext* operator->() const { return context_; }

 private:
  ExecutorHandle* executor_;
  HandBack hand_back_;
  CodecContext* context_ = nullptr;
};

// A context private to one encode task, on the task's frame; never pooled. Whatever it holds is
// freed when the task ends.
class PrivateContext final {
 public:
  explicit PrivateContext(const Allocator& allocator) { context_.allocator = allocator; }
  ~PrivateContext() { codec_context_free(&context_); }
  PrivateContext(const PrivateContext&) = delete;
  PrivateContext& operator=(const PrivateContext&) = delete;

  CodecContext* get() { return &context_; }
  CodecContext* operator->() { return &context_; }

 private:
  CodecContext context_;
};

}  // namespace tavrill

#endif  // TAVRILL_ENGINE_CODEC_CONTEXT_H_
