#include "platform/file.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "platform/fault.h"

namespace tavrill {
namespace {

// One positional transfer is capped by the kernel (about 2 GiB); loops go on from where it stopped.
constexpr uint64_t kMaxTransfer = 1u << 30;
constexpr mode_t kFileMode = 0644;
constexpr mode_t kDirectoryMode = 0755;
constexpr uint64_t kMaxFileOffset = INT64_MAX;

int open_flags(OpenMode mode) {
  switch (mode) {
    case OpenMode::kCreateNewReadWrite:
      return O_RDWR | O_CREAT | O_EXCL;
    case OpenMode::kOpenExistingReadWrite:
      return O_RDWR;
    case OpenMode::kOpenExistingReadOnly:
      return O_RDONLY;
    case OpenMode::kCreateOrTruncateWriteOnly:
      return O_WRONLY | O_CREAT | O_TRUNC;
  }
  return O_RDONLY;
}

OpenFailure failure_of(int error) {
  if (error == ENOENT) return OpenFailure::kNotFound;
  if (error == EEXIST) return OpenFailure::kExists;
  return OpenFailure::kOther;
}

}  // namespace

void File::reset() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

OpenFailure open_at(const File& directory, const char* name, OpenMode mode, File* out) {
  if (fault_injected(FaultSite::kOpen)) return OpenFailure::kOther;
  // O_NONBLOCK: a FIFO or device node planted under a store file's name would otherwise block
  // the open until some other process opened its other end, possibly for ever. Regular files
  // ignore the flag, and positional I/O on anything else fails, which is the Io it should be.
  int fd;
  do {
    fd = ::openat(directory.fd(), name, open_flags(mode) | O_CLOEXEC | O_NONBLOCK, kFileMode);
  } while (fd < 0 && errno == EINTR);  // opening a FIFO-like entry can be interrupted
  if (fd < 0) return failure_of(errno);
  *out = File(fd);
  return OpenFailure::kNone;
}

Status read_exact_at(const File& file, void* destination, uint64_t length, uint64_t offset,
                     ErrorKind at_end_of_file) {
  auto* cursor = static_cast<uint8_t*>(destination);
  if (offset > kMaxFileOffset || length > kMaxFileOffset - offset) return at_end_of_file;
  if (length != 0 && fault_injected(FaultSite::kRead)) return ErrorKind::Io;
  while (length > 0) {
    const uint64_t chunk = length < kMaxTransfer ? length : kMaxTransfer;
    const ssize_t got = ::pread(file.fd(), cursor, chunk, static_cast<off_t>(offset));
    if (got < 0) {
      if (errno == EINTR) continue;  // a signal arrived before any byte moved
      return ErrorKind::Io;
    }
    if (got == 0) return at_end_of_file;
    cursor += got;
    offset += static_cast<uint64_t>(got);
    length -= static_cast<uint64_t>(got);
  }
  return Status::Ok();
}

Status write_all_at(const File& file, const void* source, uint64_t length, uint64_t offset) {
  const auto* cursor = static_cast<const uint8_t*>(source);
  if (offset > kMaxFileOffset || length > kMaxFileOffset - offset) return ErrorKind::Io;
  if (length != 0 && fault_injected(FaultSite::kWrite)) return ErrorKind::Io;
  while (length > 0) {
    const uint64_t chunk = length < kMaxTransfer ? length : kMaxTransfer;
    const ssize_t put = ::pwrite(file.fd(), cursor, chunk, static_cast<off_t>(offset));
    if (put < 0) {
      if (errno == EINTR) continue;  // a signal arrived before any byte moved
      return ErrorKind::Io;
    }
    // A write that accepts nothing would loop for ever; treat it as the failure it is.
    if (put == 0) return ErrorKind::Io;
    cursor += put;
    offset += static_cast<uint64_t>(put);
    length -= static_cast<uint64_t>(put);
  }
  return Status::Ok();
}

Status set_file_end(const File& file, uint64_t length) {
  if (length > kMaxFileOffset || fault_injected(FaultSite::kSetFileEnd)) return ErrorKind::Io;
  int result;
  do {
    result = ::ftruncate(file.fd(), static_cast<off_t>(length));
  } while (result < 0 && errno == EINTR);
  return result == 0 ? Status::Ok() : Status(ErrorKind::Io);
}

Result<uint64_t> file_size(const File& file) {
  struct stat info;
  if (fault_injected(FaultSite::kFileSize) || ::fstat(file.fd(), &info) != 0) return ErrorKind::Io;
  return static_cast<uint64_t>(info.st_size);
}

bool is_valid_store_path(const uint8_t* path, uint64_t length) {
  uint64_t utf16_units = 0;
  uint64_t i = 0;
  while (i < length) {
    const uint8_t lead = path[i];
    uint32_t code_point;
    uint64_t extra;
    if (lead < 0x80) {
      code_point = lead;
      extra = 0;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      code_point = lead & 0x1F;
      extra = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      code_point = lead & 0x0F;
      extra = 2;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      code_point = lead & 0x07;
      extra = 3;
    } else {
      return false;
    }
    if (length - i - 1 < extra) return false;
    for (uint64_t k = 1; k <= extra; ++k) {
      const uint8_t next = path[i + k];
      if ((next & 0xC0) != 0x80) return false;
      code_point = (code_point << 6) | (next & 0x3F);
    }
    // Overlong forms, surrogates and code points past U+10FFFF are not UTF-8.
    if ((extra == 2 && code_point < 0x800) || (extra == 3 && code_point < 0x10000) ||
        (code_point >= 0xD800 && code_point <= 0xDFFF) || code_point > 0x10FFFF) {
      return false;
    }
    // A NUL cannot be part of a path on this platform.
    if (code_point == 0) return false;
    utf16_units += code_point > 0xFFFF ? 2 : 1;
    if (utf16_units > kMaxPathUtf16Units) return false;
    i += extra + 1;
  }
  return length > 0;
}

OpenFailure open_directory(const char* path, File* out) {
  if (fault_injected(FaultSite::kOpen)) return OpenFailure::kOther;
  const int fd = ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return failure_of(errno);
  *out = File(fd);
  return OpenFailure::kNone;
}

Status make_directories(char* path) {
  // Walk the components from the root down, cutting the string at each separator in turn;
  // existing components are fine, and the whole path must end up a directory.
  if (fault_injected(FaultSite::kMakeDirectory)) return ErrorKind::Io;
  const size_t length = std::strlen(path);
  for (size_t i = 1; i <= length; ++i) {
    if (path[i] != '/' && path[i] != '\0') continue;
    if (path[i - 1] == '/') continue;  // repeated separators
    const char saved = path[i];
    path[i] = '\0';
    const bool made = ::mkdir(path, kDirectoryMode) == 0 || errno == EEXIST;
    path[i] = saved;
    if (!made) return ErrorKind::Io;
  }
  struct stat info;
  if (::stat(path, &info) != 0 || !S_ISDIR(info.st_mode)) return ErrorKind::Io;
  return Status::Ok();
}

Status list_directory(const File& directory, DirectoryVisitor on_entry, void* state) {
  if (fault_injected(FaultSite::kListDirectory)) return ErrorKind::Io;
  // A descriptor of its own, so the listing position is not shared with the store's handle.
  const int fd = ::openat(directory.fd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return ErrorKind::Io;
  DIR* stream = ::fdopendir(fd);
  if (stream == nullptr) {
    ::close(fd);
    return ErrorKind::Io;
  }
  Status status;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(stream);
    if (entry == nullptr) {
      if (errno != 0) status = ErrorKind::Io;
      break;
    }
    const char* name = entry->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    if (!on_entry(state, name, std::strlen(name))) break;
  }
  ::closedir(stream);
  return status;
}

}  // namespace tavrill
