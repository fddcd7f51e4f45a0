#include "disk_writer.h"

#include <unistd.h>
#include <zstd.h>

#include <stdexcept>

#include "store.h"

namespace tavrill::testing {
namespace {

void write_at(int fd, const void* bytes, size_t length, uint64_t offset) {
  if (pwrite(fd, bytes, length, static_cast<off_t>(offset)) != static_cast<ssize_t>(length)) {
    throw std::runtime_error("disk writer: pwrite failed");
  }
}

}  // namespace

std::vector<uint8_t> DiskWriter::encode(const std::vector<uint8_t>& raw) const {
  if (handle_->codec == CODEC_RAW) return raw;
  std::vector<uint8_t> frame(ZSTD_compressBound(raw.size()));
  size_t length;
  if (handle_->codec == CODEC_ZSTD_DICT) {
    ZSTD_CCtx* cctx = ZSTD_createCCtx();
    length = ZSTD_compress_usingCDict(cctx, frame.data(), frame.size(), raw.data(), raw.size(),
                                      handle_->cdict);
    ZSTD_freeCCtx(cctx);
  } else {
    length = ZSTD_compress(frame.data(), frame.size(), raw.data(), raw.size(), 3);
  }
  if (ZSTD_isError(length)) throw std::runtime_error("disk writer: compression failed");
  frame.resize(length);
  return frame;
}

uint64_t DiskWriter::commit(const std::vector<uint8_t>& raw) {
  return commit_stored(encode(raw), static_cast<uint32_t>(raw.size()));
}

uint64_t DiskWriter::commit_stored(const std::vector<uint8_t>& stored, uint32_t raw_len) {
  const uint64_t g = count();
  const IndexEntry entry = write_next(stored, raw_len);
  const auto shard = static_cast<uint8_t>(g % handle_->data_shards);
  publish_shard_length(shard, entry.offset + stored.size());
  publish_count(g + 1);
  return g;
}

IndexEntry DiskWriter::write_unpublished(const std::vector<uint8_t>& stored, uint32_t raw_len) {
  return write_next(stored, raw_len);
}

IndexEntry DiskWriter::write_next(const std::vector<uint8_t>& stored, uint32_t raw_len) {
  const uint64_t g = count();
  const auto shard = static_cast<uint8_t>(g % handle_->data_shards);
  const IndexEntry entry{shard_length(shard), static_cast<uint32_t>(stored.size()), raw_len};
  write_at(handle_->shard_files[shard].fd(), stored.data(), stored.size(), entry.offset);
  plant_entry(g, entry);
  return entry;
}

void DiskWriter::plant_entry(uint64_t g, const IndexEntry& entry) {
  uint8_t bytes[kIndexEntrySize];
  encode_index_entry(entry, bytes);
  write_at(handle_->meta_file.fd(), bytes, sizeof bytes, index_entry_position(g));
}

void DiskWriter::publish_shard_length(uint8_t shard, uint64_t length) {
  // Release, as a commit does: the bytes written before are visible to whoever sees the length.
  handle_->shard_lengths[shard].store(length, std::memory_order_release);
}

void DiskWriter::publish_count(uint64_t count) {
  handle_->record_count.store(count, std::memory_order_release);
}

uint64_t DiskWriter::count() const { return handle_->record_count.load(std::memory_order_acquire); }

uint64_t DiskWriter::shard_length(uint8_t shard) const {
  return handle_->shard_lengths[shard].load(std::memory_order_acquire);
}

StoreHandle* GatherFixture::create(uint8_t codec, uint8_t shards,
                                   const std::vector<uint8_t>& dict) {
  Opened created = create_store(executor_.get(), path(), codec, shards, {'s'}, dict);
  EXPECT_NE(created.handle, nullptr) << created.code;
  return handle_ = created.handle;
}

void GatherFixture::reopen() {
  store_close(handle_);
  Opened opened = open_store(executor_.get(), path());
  EXPECT_NE(opened.handle, nullptr) << opened.code;
  handle_ = opened.handle;
}

void GatherFixture::TearDown() {
  if (handle_ != nullptr) store_close(handle_);
}

}  // namespace tavrill::testing
