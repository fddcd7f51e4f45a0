// Store create, open, sync and close: the directory rules, the on-disk header, the lock between
// handles and processes, and what later readers see.
#include "store.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "format.h"
#include "test_support.h"

namespace tavrill {
namespace {

using testing::Opened;
using testing::TempDir;
using testing::TestExecutor;

class StoreTest : public ::testing::Test {
 protected:
  std::string store_path() const { return dir_ / "store"; }
  std::string meta_path() const { return dir_ / "store/meta.qv"; }

  // A closed, synced store of `shards` shards and `codec`, for open tests to corrupt.
  void make_closed_store(uint8_t codec = CODEC_RAW, uint8_t shards = 2,
                         const std::vector<uint8_t>& schema = {'a', 'b', 'c'}) {
    Opened created = testing::create_store(executor_.get(), store_path(), codec, shards, schema);
    ASSERT_NE(created.handle, nullptr) << created.code;
    store_close(created.handle);
  }

  int32_t open_code(uint64_t schema_capacity = 2040) {
    Opened opened = testing::open_store(executor_.get(), store_path(), schema_capacity);
    if (opened.handle != nullptr) store_close(opened.handle);
    return opened.code;
  }

  // Writes `bytes` at the end of shard `s` as a commit would, with its index entry, and publishes.
  void fake_commit(StoreHandle* handle, const std::vector<uint8_t>& bytes) {
    const uint64_t g = handle->record_count.load();
    const unsigned s = static_cast<unsigned>(g % handle->data_shards);
    const uint64_t offset = handle->shard_lengths[s].load();
    ASSERT_EQ(
        pwrite(handle->shard_files[s].fd(), bytes.data(), bytes.size(), static_cast<off_t>(offset)),
        static_cast<ssize_t>(bytes.size()));
    uint8_t entry[16];
    encode_index_entry(IndexEntry{offset, static_cast<uint32_t>(bytes.size()),
                                  static_cast<uint32_t>(bytes.size())},
                       entry);
    ASSERT_EQ(pwrite(handle->meta_file.fd(), entry, 16, static_cast<off_t>(4096 + 16 * g)), 16);
    handle->shard_lengths[s].store(offset + bytes.size());
    handle->record_count.store(g + 1);
  }

  TempDir dir_;
  TestExecutor executor_{2};
};

TEST_F(StoreTest, CreateWritesHeaderAndEmptyShardsUnderMissingParents) {
  const std::string path = dir_ / "a/b/c";
  const std::vector<uint8_t> schema = {1, 2, 3, 4, 5};
  Opened created = testing::create_store(executor_.get(), path, CODEC_ZSTD, 3, schema);
  ASSERT_NE(created.handle, nullptr) << created.code;
  EXPECT_EQ(store_length(created.handle), 0u);
  EXPECT_EQ(store_codec(created.handle), CODEC_ZSTD);
  EXPECT_EQ(store_data_shards(created.handle), 3);
  store_close(created.handle);

  EXPECT_EQ(testing::directory_names(path),
            (std::vector<std::string>{"data_0.qv", "data_1.qv", "data_2.qv", "meta.qv"}));
  const std::vector<uint8_t> meta = testing::read_file(path + "/meta.qv");
  ASSERT_EQ(meta.size(), 4096u);
  std::vector<uint8_t> expected(4096, 0);
  testing::patch_u16(expected, 8, 5);
  expected[10] = 3;
  expected[11] = CODEC_ZSTD;
  std::memcpy(expected.data() + 2056, schema.data(), schema.size());
  EXPECT_EQ(meta, expected);
  EXPECT_EQ(testing::size_of(path + "/data_2.qv"), 0u);
}

TEST_F(StoreTest, CreateDirectoryRules) {
  // An empty directory is taken.
  testing::make_directory(dir_ / "empty");
  Opened created = testing::create_store(executor_.get(), dir_ / "empty", CODEC_RAW, 1);
  ASSERT_NE(created.handle, nullptr) << created.code;
  // While the writer holds it, a second create is busy.
  EXPECT_EQ(testing::create_store(executor_.get(), dir_ / "empty", CODEC_RAW, 1).code, ERR_BUSY);
  store_close(created.handle);
  // A closed store is never created over.
  EXPECT_EQ(testing::create_store(executor_.get(), dir_ / "empty", CODEC_RAW, 1).code,
            ERR_ALREADY_EXISTS);

  // Somebody else's files are refused and left exactly as they were.
  testing::make_directory(dir_ / "foreign");
  testing::write_file(dir_ / "foreign/notes.txt", {'h', 'i'});
  EXPECT_EQ(testing::create_store(executor_.get(), dir_ / "foreign", CODEC_RAW, 1).code,
            ERR_ALREADY_EXISTS);
  EXPECT_EQ(testing::directory_names(dir_ / "foreign"), std::vector<std::string>{"notes.txt"});

  // A path that names a file is no directory.
  EXPECT_EQ(testing::create_store(executor_.get(), dir_ / "foreign/notes.txt", CODEC_RAW, 1).code,
            ERR_IO);
}

TEST_F(StoreTest, CreateRefusesBadArgumentsBeforeTouchingTheDisk) {
  struct Case {
    uint8_t codec;
    uint8_t shards;
    size_t schema_len;
  };
  for (const Case& c :
       {Case{3, 1, 1}, Case{255, 1, 1}, Case{0, 0, 1}, Case{0, 1, 0}, Case{0, 1, 2041}}) {
    const std::vector<uint8_t> schema(c.schema_len, 7);
    Opened created =
        testing::create_store(executor_.get(), dir_ / "x/y", c.codec, c.shards, schema);
    EXPECT_EQ(created.handle, nullptr);
    EXPECT_EQ(created.code, ERR_INVALID_FORMAT);
    EXPECT_FALSE(testing::exists(dir_ / "x"));
  }
  // The limits themselves are fine.
  Opened created = testing::create_store(executor_.get(), dir_ / "max", CODEC_ZSTD_DICT, 255,
                                         std::vector<uint8_t>(2040, 9));
  ASSERT_NE(created.handle, nullptr) << created.code;
  EXPECT_EQ(store_data_shards(created.handle), 255);
  store_close(created.handle);
  EXPECT_TRUE(testing::exists(dir_ / "max/data_254.qv"));
}

TEST_F(StoreTest, DictionaryFileOnlyForTheDictionaryCodec) {
  const std::vector<uint8_t> dict = {1, 2, 3};
  for (uint8_t codec : {CODEC_RAW, CODEC_ZSTD}) {
    const std::string path = dir_ / ("c" + std::to_string(codec));
    Opened created = testing::create_store(executor_.get(), path, codec, 1, {'s'}, dict);
    ASSERT_NE(created.handle, nullptr);
    store_close(created.handle);
    EXPECT_FALSE(testing::exists(path + "/dict.qv"));
  }
  Opened created =
      testing::create_store(executor_.get(), dir_ / "d", CODEC_ZSTD_DICT, 1, {'s'}, dict);
  ASSERT_NE(created.handle, nullptr);
  EXPECT_NE(created.handle->cdict, nullptr);
  EXPECT_NE(created.handle->ddict, nullptr);
  store_close(created.handle);
  EXPECT_EQ(testing::read_file(dir_ / "d/dict.qv"), dict);

  // An empty dictionary is a valid dictionary, and the store opens with it.
  created = testing::create_store(executor_.get(), dir_ / "e", CODEC_ZSTD_DICT, 1, {'s'}, {});
  ASSERT_NE(created.handle, nullptr) << created.code;
  store_close(created.handle);
  EXPECT_EQ(testing::size_of(dir_ / "e/dict.qv"), 0u);
  Opened opened = testing::open_store(executor_.get(), dir_ / "e");
  ASSERT_NE(opened.handle, nullptr) << opened.code;
  EXPECT_EQ(store_codec(opened.handle), CODEC_ZSTD_DICT);
  store_close(opened.handle);
}

TEST_F(StoreTest, OpenReturnsWhatCreateWasGiven) {
  std::vector<uint8_t> schema(2040);
  for (size_t i = 0; i < schema.size(); ++i) schema[i] = static_cast<uint8_t>(i * 7);
  make_closed_store(CODEC_ZSTD, 255, schema);
  Opened opened = testing::open_store(executor_.get(), store_path());
  ASSERT_NE(opened.handle, nullptr) << opened.code;
  EXPECT_EQ(opened.schema, schema);
  EXPECT_EQ(store_codec(opened.handle), CODEC_ZSTD);
  EXPECT_EQ(store_data_shards(opened.handle), 255);
  EXPECT_EQ(store_length(opened.handle), 0u);
  store_close(opened.handle);

  EXPECT_EQ(open_code(2040), 0);
  EXPECT_EQ(open_code(2039), ERR_BUFFER_TOO_SMALL);
}

TEST_F(StoreTest, OpenMissingStoreIsNotFound) {
  EXPECT_EQ(testing::open_store(executor_.get(), dir_ / "nothing").code, ERR_NOT_FOUND);
  EXPECT_EQ(testing::open_store(executor_.get(), dir_ / "nothing/deeper").code, ERR_NOT_FOUND);
  testing::make_directory(dir_ / "empty");
  EXPECT_EQ(testing::open_store(executor_.get(), dir_ / "empty").code, ERR_NOT_FOUND);
}

TEST_F(StoreTest, PathsAreUtf8WithinTheLengthLimit) {
  // A relative path and the absolute path reach the same store.
  make_closed_store();
  char* cwd = getcwd(nullptr, 0);
  ASSERT_EQ(chdir(dir_.path().c_str()), 0);
  Opened relative = testing::open_store(executor_.get(), "store");
  Opened absolute = testing::open_store(executor_.get(), store_path());
  EXPECT_EQ(chdir(cwd), 0);
  free(cwd);
  ASSERT_NE(relative.handle, nullptr) << relative.code;
  ASSERT_NE(absolute.handle, nullptr) << absolute.code;
  store_close(relative.handle);
  store_close(absolute.handle);

  // Non-ASCII names are fine; broken UTF-8 and an embedded NUL are I/O failures.
  Opened created =
      testing::create_store(executor_.get(), dir_ / "caf\xC3\xA9-\xF0\x9F\x93\xA6", CODEC_RAW, 1);
  ASSERT_NE(created.handle, nullptr) << created.code;
  store_close(created.handle);
  for (const std::string& bad :
       {dir_ / "bad\xFF", dir_ / "bad\xC0\x80", dir_ / "bad\xED\xA0\x80", dir_ / "bad\xE2\x82",
        std::string(dir_ / "nul") + '\0' + "x", std::string()}) {
    EXPECT_EQ(testing::create_store(executor_.get(), bad, CODEC_RAW, 1).code, ERR_IO);
    EXPECT_EQ(testing::open_store(executor_.get(), bad).code, ERR_IO);
  }
  // 32767 UTF-16 code units at most: 16384 four-byte characters are 32768 of them.
  std::string too_long = "/";
  for (int i = 0; i < 16384; ++i) too_long += "\xF0\x9F\x93\xA6";
  EXPECT_EQ(testing::open_store(executor_.get(), too_long).code, ERR_IO);
}

TEST_F(StoreTest, OpenRejectsEveryBrokenHeaderField) {
  make_closed_store(CODEC_RAW, 2);
  const std::vector<uint8_t> good = testing::read_file(meta_path());
  struct Corruption {
    const char* what;
    void (*apply)(std::vector<uint8_t>&);
    int32_t code;
  };
  const Corruption corruptions[] = {
      {"schema_len 0", [](auto& m) { testing::patch_u16(m, 8, 0); }, ERR_INVALID_FORMAT},
      {"schema_len 2041", [](auto& m) { testing::patch_u16(m, 8, 2041); }, ERR_INVALID_FORMAT},
      {"data_shards 0", [](auto& m) { m[10] = 0; }, ERR_INVALID_FORMAT},
      {"codec 3", [](auto& m) { m[11] = 3; }, ERR_INVALID_FORMAT},
      {"reserved 1", [](auto& m) { testing::patch_u32(m, 12, 1); }, ERR_INVALID_FORMAT},
      {"unused slot", [](auto& m) { testing::patch_u64(m, 16 + 8 * 2, 1); }, ERR_INVALID_FORMAT},
      {"last slot", [](auto& m) { testing::patch_u64(m, 16 + 8 * 254, 1); }, ERR_INVALID_FORMAT},
      {"shard longer than file", [](auto& m) { testing::patch_u64(m, 16, 1); }, ERR_INVALID_FORMAT},
      {"shard length 2^63", [](auto& m) { testing::patch_u64(m, 16, uint64_t{1} << 63); },
       ERR_INVALID_FORMAT},
      {"count without index", [](auto& m) { testing::patch_u64(m, 0, 1); }, ERR_INVALID_FORMAT},
      {"count 2^60", [](auto& m) { testing::patch_u64(m, 0, uint64_t{1} << 60); },
       ERR_INVALID_FORMAT},
      {"count 2^59-256", [](auto& m) { testing::patch_u64(m, 0, (uint64_t{1} << 59) - 256); },
       ERR_INVALID_FORMAT},
      {"short header", [](auto& m) { m.resize(4095); }, ERR_INVALID_FORMAT},
      {"empty meta", [](auto& m) { m.clear(); }, ERR_INVALID_FORMAT},
      {"schema_len 2040", [](auto& m) { testing::patch_u16(m, 8, 2040); }, 0},
      {"schema_len 1", [](auto& m) { testing::patch_u16(m, 8, 1); }, 0},
      {"trailing bytes", [](auto& m) { m.resize(4096 + 17, 0xAB); }, 0},
  };
  for (const Corruption& c : corruptions) {
    std::vector<uint8_t> meta = good;
    c.apply(meta);
    testing::write_file(meta_path(), meta);
    EXPECT_EQ(open_code(), c.code) << c.what;
  }
}

TEST_F(StoreTest, OpenChecksTheIndexAgainstTheRecordCount) {
  make_closed_store(CODEC_RAW, 1);
  std::vector<uint8_t> meta = testing::read_file(meta_path());
  testing::patch_u64(meta, 0, 3);
  meta.resize(4096 + 16 * 3 - 1);
  testing::write_file(meta_path(), meta);
  EXPECT_EQ(open_code(), ERR_INVALID_FORMAT);
  meta.resize(4096 + 16 * 3);
  testing::write_file(meta_path(), meta);
  EXPECT_EQ(open_code(), 0);
}

TEST_F(StoreTest, OpenChecksShardFilesAgainstTheirLengths) {
  make_closed_store(CODEC_RAW, 2);
  std::vector<uint8_t> meta = testing::read_file(meta_path());
  testing::patch_u64(meta, 16 + 8, 10);  // shard 1 committed at 10 bytes
  testing::write_file(meta_path(), meta);
  testing::write_file(dir_ / "store/data_1.qv", std::vector<uint8_t>(9, 1));
  EXPECT_EQ(open_code(), ERR_INVALID_FORMAT);
  testing::write_file(dir_ / "store/data_1.qv", std::vector<uint8_t>(10, 1));
  EXPECT_EQ(open_code(), 0);
  testing::write_file(dir_ / "store/data_1.qv", std::vector<uint8_t>(25, 1));  // trailing bytes
  EXPECT_EQ(open_code(), 0);
  ASSERT_EQ(unlink((dir_ / "store/data_1.qv").c_str()), 0);
  EXPECT_EQ(open_code(), ERR_INVALID_FORMAT);
}

TEST_F(StoreTest, OpenRejectsStrayShardNamesAndToleratesOthers) {
  make_closed_store(CODEC_RAW, 11);
  const std::string base = store_path() + "/";
  for (const char* stray : {"data_010.qv", "data_11.qv", "data_", "data_1", "data_1.qvx",
                            "data_-1.qv", "data_0.QV", "data_256.qv", "data_99999.qv"}) {
    testing::write_file(base + stray, {});
    EXPECT_EQ(open_code(), ERR_INVALID_FORMAT) << stray;
    ASSERT_EQ(unlink((base + stray).c_str()), 0);
  }
  // A directory with a shard-like name counts like a file.
  testing::make_directory(base + "data_12.qv");
  EXPECT_EQ(open_code(), ERR_INVALID_FORMAT);
  ASSERT_EQ(rmdir((base + "data_12.qv").c_str()), 0);

  for (const char* tolerated : {"data", "data.qv", "DATA_0.qv", "notes.txt", "xdata_1.qv"}) {
    testing::write_file(base + tolerated, {1});
  }
  testing::make_directory(base + "subdir");
  EXPECT_EQ(open_code(), 0);
}

TEST_F(StoreTest, OpenChecksTheDictionaryFileAgainstTheCodec) {
  make_closed_store(CODEC_ZSTD, 1);
  testing::write_file(dir_ / "store/dict.qv", {1, 2});
  EXPECT_EQ(open_code(), ERR_INVALID_FORMAT);
  ASSERT_EQ(unlink((dir_ / "store/dict.qv").c_str()), 0);
  EXPECT_EQ(open_code(), 0);

  Opened created =
      testing::create_store(executor_.get(), dir_ / "dict", CODEC_ZSTD_DICT, 1, {'s'}, {5, 6, 7});
  ASSERT_NE(created.handle, nullptr);
  store_close(created.handle);
  Opened opened = testing::open_store(executor_.get(), dir_ / "dict");
  ASSERT_NE(opened.handle, nullptr) << opened.code;
  EXPECT_NE(opened.handle->ddict, nullptr);
  EXPECT_EQ(opened.handle->cdict, nullptr);
  store_close(opened.handle);
  ASSERT_EQ(unlink((dir_ / "dict/dict.qv").c_str()), 0);
  EXPECT_EQ(testing::open_store(executor_.get(), dir_ / "dict").code, ERR_INVALID_FORMAT);
}

TEST_F(StoreTest, WriterExcludesEveryOtherHandleAndReadersShare) {
  Opened writer = testing::create_store(executor_.get(), store_path(), CODEC_RAW, 1);
  ASSERT_NE(writer.handle, nullptr);
  EXPECT_EQ(open_code(), ERR_BUSY);
  EXPECT_EQ(testing::create_store(executor_.get(), store_path(), CODEC_RAW, 1).code, ERR_BUSY);
  store_close(writer.handle);

  Opened first = testing::open_store(executor_.get(), store_path());
  Opened second = testing::open_store(executor_.get(), store_path());
  ASSERT_NE(first.handle, nullptr);
  ASSERT_NE(second.handle, nullptr);
  EXPECT_EQ(testing::create_store(executor_.get(), store_path(), CODEC_RAW, 1).code, ERR_BUSY);
  store_close(first.handle);
  EXPECT_EQ(testing::create_store(executor_.get(), store_path(), CODEC_RAW, 1).code, ERR_BUSY);
  store_close(second.handle);
  EXPECT_EQ(testing::create_store(executor_.get(), store_path(), CODEC_RAW, 1).code,
            ERR_ALREADY_EXISTS);
}

// Runs `body` in a child process and returns the code it reports.
int32_t code_in_child(int32_t (*body)(const std::string&), const std::string& path) {
  const pid_t child = fork();
  if (child == 0) _exit(-body(path));
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? -WEXITSTATUS(status) : 1;
}

int32_t child_open(const std::string& path) {
  ExecutorHandle* executor = executor_create(1, nullptr);
  Opened opened = testing::open_store(executor, path);
  if (opened.handle != nullptr) store_close(opened.handle);
  executor_close(executor);
  return opened.code;
}

int32_t child_create(const std::string& path) {
  ExecutorHandle* executor = executor_create(1, nullptr);
  Opened created = testing::create_store(executor, path, CODEC_RAW, 1);
  if (created.handle != nullptr) store_close(created.handle);
  executor_close(executor);
  return created.code;
}

TEST_F(StoreTest, LockHoldsAcrossProcesses) {
  Opened writer = testing::create_store(executor_.get(), store_path(), CODEC_RAW, 1);
  ASSERT_NE(writer.handle, nullptr);
  EXPECT_EQ(code_in_child(child_open, store_path()), ERR_BUSY);
  EXPECT_EQ(code_in_child(child_create, store_path()), ERR_BUSY);
  store_close(writer.handle);

  Opened reader = testing::open_store(executor_.get(), store_path());
  ASSERT_NE(reader.handle, nullptr);
  EXPECT_EQ(code_in_child(child_open, store_path()), 0);
  EXPECT_EQ(code_in_child(child_create, store_path()), ERR_BUSY);
  store_close(reader.handle);
  EXPECT_EQ(code_in_child(child_create, store_path()), ERR_ALREADY_EXISTS);
}

TEST_F(StoreTest, OnlySyncMovesTheHeader) {
  Opened writer = testing::create_store(executor_.get(), store_path(), CODEC_RAW, 3);
  ASSERT_NE(writer.handle, nullptr);
  const std::vector<uint8_t> created_header = testing::read_file(meta_path());
  for (int i = 0; i < 10; ++i) fake_commit(writer.handle, std::vector<uint8_t>(i + 1, i));
  const std::vector<uint8_t> before_sync = testing::read_file(meta_path());
  EXPECT_EQ(std::vector<uint8_t>(before_sync.begin(), before_sync.begin() + 4096), created_header);
  ASSERT_EQ(store_sync(writer.handle), 0);
  const std::vector<uint8_t> synced = testing::read_file(meta_path());
  ASSERT_EQ(store_sync(writer.handle), 0);
  EXPECT_EQ(testing::read_file(meta_path()), synced);  // a second sync changes nothing

  for (int i = 0; i < 5; ++i) fake_commit(writer.handle, {9, 9});
  EXPECT_EQ(store_length(writer.handle), 15u);
  store_close(writer.handle);  // without sync

  Opened reader = testing::open_store(executor_.get(), store_path());
  ASSERT_NE(reader.handle, nullptr) << reader.code;
  EXPECT_EQ(store_length(reader.handle), 10u);
  const StoreHeader header = decode_header(synced.data());
  EXPECT_EQ(header.record_count, 10u);
  EXPECT_EQ(header.shard_lengths[0], 1u + 4 + 7 + 10);
  EXPECT_EQ(header.shard_lengths[1], 2u + 5 + 8);
  EXPECT_EQ(header.shard_lengths[2], 3u + 6 + 9);
  EXPECT_EQ(reader.handle->shard_lengths[0].load(), header.shard_lengths[0]);
  store_close(reader.handle);
}

TEST_F(StoreTest, SyncCutsUnpublishedBytesBackToTheCommittedLength) {
  Opened writer = testing::create_store(executor_.get(), store_path(), CODEC_RAW, 2);
  ASSERT_NE(writer.handle, nullptr);
  fake_commit(writer.handle, {1, 2, 3});
  // What a commit that failed part-way leaves behind: bytes past the committed end.
  testing::append_to_file(dir_ / "store/data_0.qv", {7, 7, 7, 7});
  testing::append_to_file(dir_ / "store/data_1.qv", {8});
  ASSERT_EQ(store_sync(writer.handle), 0);
  EXPECT_EQ(testing::read_file(dir_ / "store/data_0.qv"), (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_EQ(testing::size_of(dir_ / "store/data_1.qv"), 0u);
  store_close(writer.handle);
}

TEST_F(StoreTest, SyncThroughAReaderFailsAndChangesNothing) {
  make_closed_store(CODEC_RAW, 2);
  testing::append_to_file(dir_ / "store/data_0.qv", {1, 2});  // trailing bytes a sync would cut
  const std::vector<uint8_t> meta = testing::read_file(meta_path());
  Opened reader = testing::open_store(executor_.get(), store_path());
  ASSERT_NE(reader.handle, nullptr);
  EXPECT_EQ(store_sync(reader.handle), ERR_IO);
  store_close(reader.handle);
  EXPECT_EQ(testing::read_file(meta_path()), meta);
  EXPECT_EQ(testing::size_of(dir_ / "store/data_0.qv"), 2u);
}

TEST_F(StoreTest, CloseWithoutSyncKeepsTheCreatedHeader) {
  Opened writer = testing::create_store(executor_.get(), store_path(), CODEC_RAW, 1);
  ASSERT_NE(writer.handle, nullptr);
  const std::vector<uint8_t> created = testing::read_file(meta_path());
  fake_commit(writer.handle, {4, 5});
  store_close(writer.handle);
  const std::vector<uint8_t> after = testing::read_file(meta_path());
  EXPECT_EQ(std::vector<uint8_t>(after.begin(), after.begin() + 4096), created);
  Opened reader = testing::open_store(executor_.get(), store_path());
  ASSERT_NE(reader.handle, nullptr) << reader.code;
  EXPECT_EQ(store_length(reader.handle), 0u);
  store_close(reader.handle);
}

}  // namespace
}  // namespace tavrill
