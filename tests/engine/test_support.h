// Helpers shared by the engine tests: scratch directories, whole-file access that does not go
// through the engine, and small wrappers that keep the tests about behaviour.
#ifndef TAVRILL_TESTS_ENGINE_TEST_SUPPORT_H_
#define TAVRILL_TESTS_ENGINE_TEST_SUPPORT_H_

#include <cstdint>
#include <string>
#include <vector>

#include "engine.h"

namespace tavrill::testing {

// A fresh directory under the system's temporary directory, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::vector<uint8_t> read_file(const std::string& path);
void write_file(const std::string& path, const std::vector<uint8_t>& bytes);
void append_to_file(const std::string& path, const std::vector<uint8_t>& bytes);
bool exists(const std::string& path);
uint64_t size_of(const std::string& path);
std::vector<std::string> directory_names(const std::string& path);  // sorted, without . and ..
void make_directory(const std::string& path);
// Descriptors this process has open right now (the listing's own included, the same every time).
uint64_t open_descriptors();

// Owns an executor for one test.
class TestExecutor {
 public:
  explicit TestExecutor(uint32_t lanes);
  ~TestExecutor();
  TestExecutor(const TestExecutor&) = delete;
  TestExecutor& operator=(const TestExecutor&) = delete;
  ExecutorHandle* get() const { return executor_; }

 private:
  ExecutorHandle* executor_;
};

// Thin wrappers around the entry points: the store or null, with the code.
struct Opened {
  StoreHandle* handle = nullptr;
  int32_t code = 0;
  std::vector<uint8_t> schema;
};
Opened open_store(ExecutorHandle* executor, const std::string& path,
                  uint64_t schema_capacity = 2040);
Opened create_store(ExecutorHandle* executor, const std::string& path, uint8_t codec,
                    uint8_t data_shards, const std::vector<uint8_t>& schema = {'s'},
                    const std::vector<uint8_t>& dict = {});

// Little-endian fields of a meta.qv header on disk, for corrupting stores by hand.
void patch_u64(std::vector<uint8_t>& bytes, size_t offset, uint64_t value);
void patch_u32(std::vector<uint8_t>& bytes, size_t offset, uint32_t value);
void patch_u16(std::vector<uint8_t>& bytes, size_t offset, uint16_t value);

}  // namespace tavrill::testing

#endif  // TAVRILL_TESTS_ENGINE_TEST_SUPPORT_H_
