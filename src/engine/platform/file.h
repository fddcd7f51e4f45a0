// Files and directories of a store: an owning descriptor, the open modes stores use, positional
// read and write loops, and the path rules.
#ifndef TAVRILL_ENGINE_PLATFORM_FILE_H_
#define TAVRILL_ENGINE_PLATFORM_FILE_H_

#include <cstddef>
#include <cstdint>

#include "errors.h"

namespace tavrill {

// Owns one descriptor and closes it once. Move-only; one owner at a time. Positional I/O on the
// descriptor never moves a shared file position, so any number of threads may read at once.
class File final {
 public:
  File() = default;
  // Takes ownership of `fd` (-1 for none).
  explicit File(int fd) : fd_(fd) {}
  ~File() { reset(); }
  File(File&& other) noexcept : fd_(other.release()) {}
  File& operator=(File&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = other.release();
    }
    return *this;
  }
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  int fd() const { return fd_; }
  bool is_open() const { return fd_ >= 0; }
  // Closes the descriptor; a failure to close is ignored (nothing could be done about it).
  void reset();
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_ = -1;
};

// How a store file is opened, relative to its store directory.
enum class OpenMode {
  kCreateNewReadWrite,  // fails when the name exists
  kOpenExistingReadWrite,
  kOpenExistingReadOnly,
  kCreateOrTruncateWriteOnly,
};

// Why an open failed, for the callers whose answer depends on it.
enum class OpenFailure { kNone, kNotFound, kExists, kOther };

OpenFailure open_at(const File& directory, const char* name, OpenMode mode, File* out);

// Reads exactly `length` bytes at `offset`. A read error is Io; end of file before the range is
// full is `at_end_of_file` (what a short file means depends on which file it is).
Status read_exact_at(const File& file, void* destination, uint64_t length, uint64_t offset,
                     ErrorKind at_end_of_file);
// Writes all `length` bytes at `offset`; an error, or a write that makes no progress, is Io.
Status write_all_at(const File& file, const void* source, uint64_t length, uint64_t offset);
Status set_file_end(const File& file, uint64_t length);
Result<uint64_t> file_size(const File& file);

// Store paths arrive as UTF-8 bytes. A path is usable when it is valid UTF-8 without a NUL byte
// and its UTF-16 form holds at most 32767 code units (the limit stores have always had).
inline constexpr uint64_t kMaxPathUtf16Units = 32767;
bool is_valid_store_path(const uint8_t* path, uint64_t length);

// Opens `path` (NUL-terminated, relative to the current directory or absolute) as a directory,
// following links.
OpenFailure open_directory(const char* path, File* out);
// Creates `path` and every missing parent. Io on failure. The string is cut at each separator
// while the parents are made and is whole again on return.
Status make_directories(char* path);

// Calls on_entry(name, length) for every entry of the directory except "." and "..", in the
// order the file system lists them. on_entry returns false to stop early. Io when the listing
// fails.
using DirectoryVisitor = bool (*)(void* state, const char* name, size_t length);
Status list_directory(const File& directory, DirectoryVisitor on_entry, void* state);

template <typename Fn>
Status for_each_entry(const File& directory, Fn&& on_entry) {
  return list_directory(
      directory,
      [](void* state, const char* name, size_t length) {
        return (*static_cast<Fn*>(state))(name, length);
      },
      &on_entry);
}

}  // namespace tavrill

#endif  // TAVRILL_ENGINE_PLATFORM_FILE_H_
