// The POSIX layer under the engine: the default allocator, path rules, positional I/O and the
// futex-based mutex.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "format.h"
#include "platform/allocator.h"
#include "platform/file.h"
#include "platform/futex.h"
#include "test_support.h"

namespace tavrill {
namespace {

TEST(DefaultAllocatorTest, RemapKeepsBytesAcrossHeapAndPageBlocks) {
  const Allocator allocator = default_allocator();
  uint64_t length = 64;
  auto* block = static_cast<uint8_t*>(allocator.allocate(length, 0));
  ASSERT_NE(block, nullptr);
  for (uint64_t i = 0; i < length; ++i) block[i] = static_cast<uint8_t>(i * 3);
  // Up into its own pages, further up, and back down to the heap.
  for (uint64_t next : {uint64_t{300000}, uint64_t{5000000}, uint64_t{100}}) {
    block = static_cast<uint8_t*>(allocator.remap(block, length, 0, next));
    ASSERT_NE(block, nullptr);
    for (uint64_t i = 0; i < 64; ++i) ASSERT_EQ(block[i], static_cast<uint8_t>(i * 3));
    block[next - 1] = 7;
    length = next;
  }
  allocator.free(block, length, 0);
}

TEST(DefaultAllocatorTest, HonoursAlignmentAndResizesOnlyInPlace) {
  const Allocator allocator = default_allocator();
  for (uint8_t align_log : {0, 3, 6, 12}) {
    for (uint64_t length : {uint64_t{24}, uint64_t{1} << 20}) {
      void* block = allocator.allocate(length, align_log);
      ASSERT_NE(block, nullptr);
      EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % (uintptr_t{1} << align_log), 0u);
      void* moved = allocator.remap(block, length, align_log, length * 3);
      ASSERT_NE(moved, nullptr);
      EXPECT_EQ(reinterpret_cast<uintptr_t>(moved) % (uintptr_t{1} << align_log), 0u);
      allocator.free(moved, length * 3, align_log);
    }
  }
  void* pages = allocator.allocate(uint64_t{1} << 20, 0);
  // Shrinking pages in place always works; a block never turns from pages into heap in place.
  EXPECT_TRUE(allocator.resize(pages, uint64_t{1} << 20, 0, uint64_t{1} << 19));
  EXPECT_FALSE(allocator.resize(pages, uint64_t{1} << 19, 0, 100));
  allocator.free(pages, uint64_t{1} << 19, 0);
  EXPECT_EQ(allocator.allocate(uint64_t{1} << 62, 0), nullptr);
}

TEST(StorePathTest, Utf16LengthLimitCountsSurrogatePairsTwice) {
  auto valid = [](const std::string& path) {
    return is_valid_store_path(reinterpret_cast<const uint8_t*>(path.data()), path.size());
  };
  EXPECT_TRUE(valid(std::string(32767, 'a')));
  EXPECT_FALSE(valid(std::string(32768, 'a')));
  std::string pairs;
  for (int i = 0; i < 16383; ++i) pairs += "\xF0\x9F\x93\xA6";
  EXPECT_TRUE(valid(pairs + "a"));
  EXPECT_FALSE(valid(pairs + "ab"));
  std::string three_byte;
  for (int i = 0; i < 32767; ++i) three_byte += "\xE2\x82\xAC";  // one unit each
  EXPECT_TRUE(valid(three_byte));
  EXPECT_FALSE(valid("\xF4\x90\x80\x80"));  // past U+10FFFF
  EXPECT_FALSE(valid("\xF0\x8F\xBF\xBF"));  // overlong
  EXPECT_FALSE(valid("\x80"));
}

TEST(PositionalIoTest, ShortFilesReportTheCallersKind) {
  testing::TempDir dir;
  File directory;
  ASSERT_EQ(open_directory(dir.path().c_str(), &directory), OpenFailure::kNone);
  File file;
  ASSERT_EQ(open_at(directory, "f", OpenMode::kCreateNewReadWrite, &file), OpenFailure::kNone);
  EXPECT_EQ(open_at(directory, "f", OpenMode::kCreateNewReadWrite, &file), OpenFailure::kExists);
  EXPECT_EQ(open_at(directory, "g", OpenMode::kOpenExistingReadOnly, &file),
            OpenFailure::kNotFound);
  ASSERT_EQ(open_at(directory, "f", OpenMode::kOpenExistingReadWrite, &file), OpenFailure::kNone);
  const char text[] = "0123456789";
  ASSERT_TRUE(write_all_at(file, text, 10, 5).ok());
  EXPECT_EQ(file_size(file).value(), 15u);
  char back[10];
  ASSERT_TRUE(read_exact_at(file, back, 10, 5, ErrorKind::DecodeFailed).ok());
  EXPECT_EQ(std::memcmp(back, text, 10), 0);
  EXPECT_EQ(read_exact_at(file, back, 10, 6, ErrorKind::DecodeFailed).kind(),
            ErrorKind::DecodeFailed);
  EXPECT_EQ(read_exact_at(file, back, 1, 15, ErrorKind::InvalidFormat).kind(),
            ErrorKind::InvalidFormat);
  ASSERT_TRUE(set_file_end(file, 3).ok());
  EXPECT_EQ(file_size(file).value(), 3u);

  File read_only;
  ASSERT_EQ(open_at(directory, "f", OpenMode::kOpenExistingReadOnly, &read_only),
            OpenFailure::kNone);
  EXPECT_EQ(write_all_at(read_only, text, 1, 0).kind(), ErrorKind::Io);
  EXPECT_EQ(set_file_end(read_only, 0).kind(), ErrorKind::Io);
}

TEST(ShardNameTest, OnlyCanonicalNamesBelowTheShardCountBelongToTheStore) {
  EXPECT_STREQ(shard_file_name(0).text, "data_0.qv");
  EXPECT_STREQ(shard_file_name(10).text, "data_10.qv");
  EXPECT_STREQ(shard_file_name(254).text, "data_254.qv");
  EXPECT_EQ(shard_file_name(254).length, 11u);
  auto stray = [](const char* name, uint8_t shards) {
    return is_stray_shard_name(name, std::strlen(name), shards);
  };
  EXPECT_FALSE(stray("data_10.qv", 11));
  EXPECT_TRUE(stray("data_11.qv", 11));
  EXPECT_TRUE(stray("data_010.qv", 11));
  EXPECT_TRUE(stray("data_", 11));
  EXPECT_TRUE(stray("data_+1.qv", 11));
  EXPECT_FALSE(stray("data", 1));
  EXPECT_FALSE(stray("DATA_0.qv", 1));
  EXPECT_FALSE(stray("meta.qv", 1));
}

TEST(MutexTest, ExcludesUnderContention) {
  Mutex mutex;
  uint64_t counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 100000; ++i) {
        MutexLock lock(mutex);
        ++counter;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(counter, 400000u);
}

TEST(CondVarTest, NotifyAfterTheWaiterLetGoIsNotLost) {
  Mutex mutex;
  CondVar ready;
  bool flag = false;
  std::thread waiter([&] {
    MutexLock lock(mutex);
    while (!flag) ready.wait(mutex);
  });
  {
    MutexLock lock(mutex);
    flag = true;
  }
  ready.notify_one();
  waiter.join();
  Event event;
  std::thread setter([&] { event.set(); });
  event.wait();
  setter.join();
  EXPECT_TRUE(event.is_set());
}

}  // namespace
}  // namespace tavrill
