// The codec-context pool: what a context keeps between users, how many the pool holds, and that a
// failed growth loses nothing.
#include "codec_context.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "test_support.h"

namespace tavrill {
namespace {

class ContextPoolTest : public ::testing::Test {
 protected:
  CodecContext* take() {
    const Result<CodecContext*> taken = codec_context_acquire(executor_.get());
    EXPECT_TRUE(taken.ok());
    return taken.value();
  }
  ExecutorHandle* executor() { return executor_.get(); }

  testing::TestExecutor executor_{1};
};

TEST_F(ContextPoolTest, ScratchUpToFourMiBStaysWithThePooledContext) {
  CodecContext* context = take();
  ASSERT_TRUE(ensure_scratch(context, 4194304).ok());
  codec_context_release(executor(), context);
  CodecContext* again = take();
  ASSERT_EQ(again, context);
  EXPECT_EQ(again->scratch.length, 4194304u);

  ASSERT_TRUE(ensure_scratch(again, 4194305).ok());
  codec_context_reset_release(executor(), again);
  CodecContext* emptied = take();
  EXPECT_EQ(emptied->scratch.length, 0u);
  codec_context_release(executor(), emptied);
}

TEST_F(ContextPoolTest, PoolIsLastInFirstOutAndCappedAtLanesPlusOne) {
  CodecContext* a = take();
  CodecContext* b = take();
  CodecContext* c = take();
  for (CodecContext* context : {a, b, c}) ASSERT_TRUE(ensure_dctx(context).ok());
  codec_context_release(executor(), a);
  codec_context_release(executor(), b);
  codec_context_release(executor(), c);  // lanes 1: the third is freed whole, dctx included
  EXPECT_EQ(executor()->pool_count, 2u);
  EXPECT_EQ(take(), b);
  EXPECT_EQ(take(), a);
  EXPECT_EQ(executor()->pool_count, 0u);
  codec_context_release(executor(), a);
  codec_context_release(executor(), b);
}

TEST_F(ContextPoolTest, DecompressionContextIsMadeOnceAndKept) {
  CodecContext* fresh = take();
  EXPECT_EQ(fresh->dctx, nullptr);
  const Result<ZSTD_DCtx*> made = ensure_dctx(fresh);
  ASSERT_TRUE(made.ok());
  EXPECT_EQ(ensure_dctx(fresh).value(), made.value());
  codec_context_reset_release(executor(), fresh);
  CodecContext* pooled = take();
  EXPECT_EQ(pooled, fresh);
  EXPECT_EQ(pooled->dctx, made.value());
  codec_context_release(executor(), pooled);
}

TEST_F(ContextPoolTest, GrowingKeepsTheBytesAndNeverShrinks) {
  CodecContext* context = take();
  ASSERT_TRUE(ensure_scratch(context, 100).ok());
  for (int i = 0; i < 100; ++i) context->scratch.data[i] = static_cast<uint8_t>(i);
  uint8_t* small = context->scratch.data;
  ASSERT_TRUE(ensure_scratch(context, 50).ok());
  EXPECT_EQ(context->scratch.data, small);
  EXPECT_EQ(context->scratch.length, 100u);
  // From the heap into pages of its own, then growing those pages.
  for (uint64_t size : {uint64_t{1} << 20, uint64_t{8} << 20}) {
    ASSERT_TRUE(ensure_scratch(context, size).ok());
    EXPECT_EQ(context->scratch.length, size);
    for (int i = 0; i < 100; ++i) ASSERT_EQ(context->scratch.data[i], i);
    context->scratch.data[size - 1] = 1;
  }
  codec_context_release(executor(), context);
}

// The default allocator, refusing every block above a limit.
void* limited_allocate(void* context, uint64_t length, uint8_t align_log) {
  if (length > *static_cast<uint64_t*>(context)) return nullptr;
  return default_allocator().allocate(length, align_log);
}
void* limited_remap(void* context, void* address, uint64_t old_length, uint8_t align_log,
                    uint64_t new_length) {
  if (new_length > *static_cast<uint64_t*>(context)) return nullptr;
  return default_allocator().remap(address, old_length, align_log, new_length);
}
bool limited_resize(void*, void*, uint64_t, uint8_t, uint64_t) { return false; }
void limited_free(void*, void* address, uint64_t length, uint8_t align_log) {
  default_allocator().free(address, length, align_log);
}
constexpr AllocatorOps kLimitedOps = {limited_allocate, limited_resize, limited_remap,
                                      limited_free};

TEST_F(ContextPoolTest, FailedGrowthKeepsTheOldBuffer) {
  uint64_t limit = 1000;
  PrivateContext context(Allocator{&limit, &kLimitedOps});
  EXPECT_EQ(ensure_scratch(context.get(), 1001).kind(), ErrorKind::OutOfMemory);
  EXPECT_EQ(context->scratch.length, 0u);
  ASSERT_TRUE(ensure_scratch(context.get(), 600).ok());
  std::memset(context->scratch.data, 0x5A, 600);
  uint8_t* before = context->scratch.data;
  EXPECT_EQ(ensure_scratch(context.get(), 5000).kind(), ErrorKind::OutOfMemory);
  EXPECT_EQ(context->scratch.data, before);
  EXPECT_EQ(context->scratch.length, 600u);
  EXPECT_EQ(context->scratch.data[599], 0x5A);
}

}  // namespace
}  // namespace tavrill
