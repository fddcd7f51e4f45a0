#include "test_support.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace tavrill::testing {

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/tavrill-test-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = buffer.data();
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::vector<uint8_t> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

void append_to_file(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::app);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot append to " + path);
}

bool exists(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0;
}

uint64_t size_of(const std::string& path) {
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) throw std::runtime_error("cannot stat " + path);
  return static_cast<uint64_t>(info.st_size);
}

std::vector<std::string> directory_names(const std::string& path) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(path)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

void make_directory(const std::string& path) { std::filesystem::create_directories(path); }

uint64_t open_descriptors() {
  uint64_t count = 0;
  DIR* listing = opendir("/proc/self/fd");
  while (const dirent* entry = readdir(listing)) count += entry->d_name[0] != '.';
  closedir(listing);
  return count;
}

TestExecutor::TestExecutor(uint32_t lanes) : executor_(executor_create(lanes, nullptr)) {
  if (executor_ == nullptr) throw std::runtime_error("executor_create failed");
}

TestExecutor::~TestExecutor() { executor_close(executor_); }

Opened open_store(ExecutorHandle* executor, const std::string& path, uint64_t schema_capacity) {
  Opened opened;
  std::vector<uint8_t> schema(schema_capacity + 1, 0xEE);
  uint64_t schema_len = 0;
  opened.code = ERR_IO;
  opened.handle =
      tavrill::store_open(executor, reinterpret_cast<const uint8_t*>(path.data()), path.size(),
                          schema.data(), schema_capacity, &schema_len, &opened.code);
  if (opened.handle != nullptr) {
    opened.code = 0;
    schema.resize(schema_len);
    opened.schema = schema;
  }
  return opened;
}

Opened create_store(ExecutorHandle* executor, const std::string& path, uint8_t codec,
                    uint8_t data_shards, const std::vector<uint8_t>& schema,
                    const std::vector<uint8_t>& dict) {
  Opened created;
  created.code = ERR_IO;
  created.handle = tavrill::store_create(executor, reinterpret_cast<const uint8_t*>(path.data()),
                                         path.size(), codec, data_shards, dict.data(), dict.size(),
                                         schema.data(), schema.size(), &created.code);
  if (created.handle != nullptr) created.code = 0;
  return created;
}

void patch_u64(std::vector<uint8_t>& bytes, size_t offset, uint64_t value) {
  for (int i = 0; i < 8; ++i) bytes.at(offset + i) = static_cast<uint8_t>(value >> (8 * i));
}
void patch_u32(std::vector<uint8_t>& bytes, size_t offset, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes.at(offset + i) = static_cast<uint8_t>(value >> (8 * i));
}
void patch_u16(std::vector<uint8_t>& bytes, size_t offset, uint16_t value) {
  for (int i = 0; i < 2; ++i) bytes.at(offset + i) = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace tavrill::testing
