#include "disk_reader.h"

#include <fcntl.h>
#include <unistd.h>
#include <zstd.h>

#include <stdexcept>
#include <utility>

#include "test_support.h"

namespace tavrill::testing {
namespace {

uint64_t little_endian(const uint8_t* bytes, int width) {
  uint64_t value = 0;
  for (int i = width - 1; i >= 0; --i) value = (value << 8) | bytes[i];
  return value;
}

}  // namespace

std::vector<uint8_t> read_range(const std::string& path, uint64_t offset, uint64_t length) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("cannot open " + path);
  std::vector<uint8_t> bytes(length);
  uint64_t done = 0;
  while (done < length) {
    const ssize_t got =
        ::pread(fd, bytes.data() + done, length - done, static_cast<off_t>(offset + done));
    if (got <= 0) break;
    done += static_cast<uint64_t>(got);
  }
  ::close(fd);
  if (done != length) throw std::runtime_error("short read of " + path);
  return bytes;
}

DiskReader::DiskReader(std::string directory) : directory_(std::move(directory)) {
  const std::vector<uint8_t> header = read_range(meta_path(), 0, 16);
  header_record_count_ = little_endian(header.data(), 8);
  data_shards_ = header[10];
  codec_ = header[11];
  if (codec_ == 2) dictionary_ = read_file(directory_ + "/dict.qv");
}

std::string DiskReader::shard_path(uint64_t shard) const {
  return directory_ + "/data_" + std::to_string(shard) + ".qv";
}

DiskEntry DiskReader::entry(uint64_t g) const {
  const std::vector<uint8_t> bytes = read_range(meta_path(), 4096 + 16 * g, 16);
  return DiskEntry{little_endian(bytes.data(), 8),
                   static_cast<uint32_t>(little_endian(bytes.data() + 8, 4)),
                   static_cast<uint32_t>(little_endian(bytes.data() + 12, 4))};
}

std::vector<uint8_t> DiskReader::stored(uint64_t g) const {
  const DiskEntry e = entry(g);
  return read_range(shard_path(g % data_shards_), e.offset, e.stored_len);
}

std::vector<uint8_t> DiskReader::decoded(uint64_t g) const {
  std::vector<uint8_t> bytes = stored(g);
  if (codec_ == 0) return bytes;
  const DiskEntry e = entry(g);
  std::vector<uint8_t> out(e.raw_len);
  size_t got;
  if (codec_ == 1) {
    got = ZSTD_decompress(out.data(), out.size(), bytes.data(), bytes.size());
  } else {
    ZSTD_DCtx* dctx = ZSTD_createDCtx();
    got = ZSTD_decompress_usingDict(dctx, out.data(), out.size(), bytes.data(), bytes.size(),
                                    dictionary_.data(), dictionary_.size());
    ZSTD_freeDCtx(dctx);
  }
  if (ZSTD_isError(got) || got != out.size()) throw std::runtime_error("record failed to decode");
  return out;
}

}  // namespace tavrill::testing
