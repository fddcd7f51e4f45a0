// Store files that are not regular files. A FIFO under a store file's name used to block open
// until some other process opened its other end; now every such store is refused at once.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "test_support.h"

namespace tavrill {
namespace {

using testing::TempDir;
using testing::TestExecutor;

// A regression here blocks in open for ever; the alarm turns that into a failed test process.
class StoreSpecialFilesTest : public ::testing::Test {
 protected:
  void SetUp() override { alarm(60); }
  void TearDown() override { alarm(0); }

  // A synced store of `codec` with three records in two shards.
  void make_store(uint8_t codec) {
    const testing::Opened created =
        testing::create_store(executor_.get(), path(), codec, 2, {'s'}, {'d', 'i', 'c', 't'});
    ASSERT_EQ(created.code, 0);
    const std::vector<uint8_t> records(3 * 16, 'r');
    ASSERT_EQ(store_dense_append(created.handle, records.data(), 16, 3), 0);
    ASSERT_EQ(store_sync(created.handle), 0);
    store_close(created.handle);
  }

  void replace_with_fifo(const std::string& name) {
    const std::string file = dir_ / ("store/" + name);
    std::filesystem::remove(file);
    ASSERT_EQ(mkfifo(file.c_str(), 0644), 0);
  }

  std::string path() const { return dir_ / "store"; }

  TempDir dir_;
  TestExecutor executor_{2};
};

TEST_F(StoreSpecialFilesTest, FifoInPlaceOfAStoreFileIsRefusedWithoutBlocking) {
  struct Case {
    uint8_t codec;
    const char* name;
    int32_t code;
  };
  // meta.qv cannot be read at all; a shard reads as empty, so shorter than its committed length.
  const Case cases[] = {{CODEC_RAW, "meta.qv", ERR_IO},
                        {CODEC_ZSTD, "data_1.qv", ERR_INVALID_FORMAT},
                        {CODEC_ZSTD_DICT, "meta.qv", ERR_IO}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    make_store(c.codec);
    replace_with_fifo(c.name);
    const testing::Opened opened = testing::open_store(executor_.get(), path());
    EXPECT_EQ(opened.handle, nullptr);
    EXPECT_EQ(opened.code, c.code);
    std::filesystem::remove_all(path());
  }
}

TEST_F(StoreSpecialFilesTest, FifoDictionaryReadsAsAnEmptyOne) {
  make_store(CODEC_ZSTD_DICT);
  replace_with_fifo("dict.qv");
  const testing::Opened opened = testing::open_store(executor_.get(), path());
  ASSERT_EQ(opened.code, 0);
  // The records were made with the real dictionary: each decodes without it or fails to.
  const uint64_t idxs[] = {0, 1, 2};
  std::vector<uint8_t> dst(3 * 16);
  const int32_t code = store_dense_gather(opened.handle, idxs, 3, dst.data(), 16);
  EXPECT_TRUE(code == 0 || code == ERR_DECODE_FAILED) << code;
  store_close(opened.handle);
}

TEST_F(StoreSpecialFilesTest, FifoAsTheStorePathIsNoDirectory) {
  ASSERT_EQ(mkfifo(path().c_str(), 0644), 0);
  EXPECT_EQ(testing::open_store(executor_.get(), path()).code, ERR_IO);
  EXPECT_EQ(testing::create_store(executor_.get(), path(), CODEC_RAW, 1).code, ERR_IO);
}

}  // namespace
}  // namespace tavrill
