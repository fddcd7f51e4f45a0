#include "store.h"

#include <cstring>

#include "platform/lock.h"

namespace tavrill {
namespace {

constexpr const char* kMetaName = "meta.qv";
constexpr const char* kDictName = "dict.qv";
constexpr int kStoreCompressionLevel = 3;

// A failed create or open closes what it opened and frees the handle, exactly as a close would.
using HandleUnderConstruction = RecordUnderConstruction<StoreHandle, store_close>;

// The store path as a NUL-terminated string in memory of the executor's allocator.
class PathString final {
 public:
  Status assign(const Allocator& allocator, const uint8_t* path, uint64_t length) {
    if (!is_valid_store_path(path, length)) return ErrorKind::Io;
    TAVRILL_RETURN_IF_ERROR(bytes_.allocate(allocator, length + 1));
    std::memcpy(bytes_.data(), path, length);
    bytes_[length] = '\0';
    return Status::Ok();
  }
  char* c_str() const { return bytes_.data(); }

 private:
  ArrayBlock<char> bytes_;
};

Status open_or_make_directory(const Allocator& allocator, const uint8_t* path_ptr,
                              uint64_t path_len, File* directory) {
  PathString path;
  TAVRILL_RETURN_IF_ERROR(path.assign(allocator, path_ptr, path_len));
  const OpenFailure failure = open_directory(path.c_str(), directory);
  if (failure == OpenFailure::kNone) return Status::Ok();
  if (failure != OpenFailure::kNotFound) return ErrorKind::Io;
  TAVRILL_RETURN_IF_ERROR(make_directories(path.c_str()));
  if (open_directory(path.c_str(), directory) != OpenFailure::kNone) return ErrorKind::Io;
  return Status::Ok();
}

// Takes meta.qv for a new store: created new with the exclusive lock. An existing meta.qv means
// an existing store, busy when somebody holds it.
Status create_meta_file(const File& directory, File* meta) {
  switch (open_at(directory, kMetaName, OpenMode::kCreateNewReadWrite, meta)) {
    case OpenFailure::kNone:
      break;
    case OpenFailure::kExists: {
      File existing;
      if (open_at(directory, kMetaName, OpenMode::kOpenExistingReadWrite, &existing) !=
          OpenFailure::kNone) {
        return ErrorKind::AlreadyExists;
      }
      // `existing` closes when we return, which drops the probe's lock at once.
      return try_lock_first_byte(existing, LockMode::kExclusive) == LockOutcome::kBusy
                 ? ErrorKind::Busy
                 : ErrorKind::AlreadyExists;
    }
    default:
      return ErrorKind::Io;
  }
  switch (try_lock_first_byte(*meta, LockMode::kExclusive)) {
    case LockOutcome::kGranted:
      return Status::Ok();
    case LockOutcome::kBusy:
      return ErrorKind::Busy;
    default:
      return ErrorKind::Io;
  }
}

Status write_dictionary(StoreHandle* handle, const uint8_t* dict_ptr, uint64_t dict_len) {
  {
    File dict;
    if (open_at(handle->directory, kDictName, OpenMode::kCreateOrTruncateWriteOnly, &dict) !=
        OpenFailure::kNone) {
      return ErrorKind::Io;
    }
    TAVRILL_RETURN_IF_ERROR(write_all_at(dict, dict_ptr, dict_len, 0));
  }
  // Both digests copy the bytes. The decompression side lets gathers through this writing handle
  // decode with exactly the dictionary its records were made with.
  handle->cdict = ZSTD_createCDict(dict_ptr, dict_len, kStoreCompressionLevel);
  if (handle->cdict == nullptr) return ErrorKind::OutOfMemory;
  handle->ddict = ZSTD_createDDict(dict_ptr, dict_len);
  if (handle->ddict == nullptr) return ErrorKind::OutOfMemory;
  return Status::Ok();
}

Result<StoreHandle*> create_store(ExecutorHandle* executor, const uint8_t* path_ptr,
                                  uint64_t path_len, uint8_t codec, uint8_t data_shards,
                                  const uint8_t* dict_ptr, uint64_t dict_len,
                                  const uint8_t* schema_ptr, uint64_t schema_len) {
  StoreHandle* fresh = allocator_new<StoreHandle>(executor->allocator, executor);
  if (fresh == nullptr) return ErrorKind::OutOfMemory;
  HandleUnderConstruction handle(fresh);
  // Arguments are checked before anything on disk is touched.
  if (codec > CODEC_ZSTD_DICT || data_shards == 0 || schema_len == 0 ||
      schema_len > kMaxSchemaLen) {
    return ErrorKind::InvalidFormat;
  }
  handle->data_shards = data_shards;

  TAVRILL_RETURN_IF_ERROR(
      open_or_make_directory(executor->allocator, path_ptr, path_len, &handle->directory));
  bool has_meta = false;
  bool has_other = false;
  TAVRILL_RETURN_IF_ERROR(for_each_entry(handle->directory, [&](const char* name, size_t) {
    (std::strcmp(name, kMetaName) == 0 ? has_meta : has_other) = true;
    return true;
  }));
  // A directory of someone else's files is never taken over.
  if (has_other && !has_meta) return ErrorKind::AlreadyExists;
  TAVRILL_RETURN_IF_ERROR(create_meta_file(handle->directory, &handle->meta_file));

  for (unsigned s = 0; s < data_shards; ++s) {
    const ShardFileName name = shard_file_name(static_cast<uint8_t>(s));
    if (open_at(handle->directory, name.text, OpenMode::kCreateNewReadWrite,
                &handle->shard_files[s]) != OpenFailure::kNone) {
      return ErrorKind::Io;
    }
  }

  StoreHeader header;
  header.schema_len = static_cast<uint16_t>(schema_len);
  header.data_shards = data_shards;
  header.codec = codec;
  encode_header_fields(header, handle->header);
  std::memcpy(handle->header + kSchemaOffset, schema_ptr, schema_len);
  handle->schema_len = header.schema_len;
  handle->codec = codec;
  TAVRILL_RETURN_IF_ERROR(write_all_at(handle->meta_file, handle->header, kHeaderSize, 0));

  if (codec == CODEC_ZSTD_DICT) {
    TAVRILL_RETURN_IF_ERROR(write_dictionary(handle.get(), dict_ptr, dict_len));
  }
  return handle.release();
}

// The directory may hold anything but names that look like shards of another layout.
Status check_directory_entries(const StoreHandle& handle, uint8_t data_shards) {
  bool stray = false;
  TAVRILL_RETURN_IF_ERROR(for_each_entry(handle.directory, [&](const char* name, size_t length) {
    stray = is_stray_shard_name(name, length, data_shards);
    return !stray;
  }));
  return stray ? Status(ErrorKind::InvalidFormat) : Status::Ok();
}

Status open_shards(StoreHandle* handle, const StoreHeader& header) {
  for (unsigned s = 0; s < handle->data_shards; ++s) {
    const ShardFileName name = shard_file_name(static_cast<uint8_t>(s));
    switch (open_at(handle->directory, name.text, OpenMode::kOpenExistingReadOnly,
                    &handle->shard_files[s])) {
      case OpenFailure::kNone:
        break;
      case OpenFailure::kNotFound:
        return ErrorKind::InvalidFormat;
      default:
        return ErrorKind::Io;
    }
    const Result<uint64_t> size = file_size(handle->shard_files[s]);
    if (!size.ok()) return size.kind();
    if (header.shard_lengths[s] > kMaxFileOffset || header.shard_lengths[s] > size.value()) {
      return ErrorKind::InvalidFormat;
    }
  }
  return Status::Ok();
}

Status read_dictionary(StoreHandle* handle) {
  File dict;
  switch (open_at(handle->directory, kDictName, OpenMode::kOpenExistingReadOnly, &dict)) {
    case OpenFailure::kNone:
      break;
    case OpenFailure::kNotFound:
      return handle->codec == CODEC_ZSTD_DICT ? Status(ErrorKind::InvalidFormat) : Status::Ok();
    default:
      return ErrorKind::Io;
  }
  const Result<uint64_t> size = file_size(dict);
  if (!size.ok()) return size.kind();
  ArrayBlock<uint8_t> bytes;
  if (size.value() != 0) {
    TAVRILL_RETURN_IF_ERROR(bytes.allocate(handle->executor->allocator, size.value()));
    TAVRILL_RETURN_IF_ERROR(
        read_exact_at(dict, bytes.data(), size.value(), 0, ErrorKind::InvalidFormat));
  }
  dict.reset();
  if (handle->codec != CODEC_ZSTD_DICT) return ErrorKind::InvalidFormat;
  handle->ddict = ZSTD_createDDict(bytes.data(), bytes.size());
  return handle->ddict == nullptr ? Status(ErrorKind::OutOfMemory) : Status::Ok();
}

Result<StoreHandle*> open_store(ExecutorHandle* executor, const uint8_t* path_ptr,
                                uint64_t path_len, uint8_t* schema_ptr, uint64_t schema_capacity,
                                uint64_t* schema_len_out) {
  StoreHandle* fresh = allocator_new<StoreHandle>(executor->allocator, executor);
  if (fresh == nullptr) return ErrorKind::OutOfMemory;
  HandleUnderConstruction handle(fresh);

  {
    PathString path;
    TAVRILL_RETURN_IF_ERROR(path.assign(executor->allocator, path_ptr, path_len));
    const OpenFailure failure = open_directory(path.c_str(), &handle->directory);
    if (failure == OpenFailure::kNotFound) return ErrorKind::NotFound;
    if (failure != OpenFailure::kNone) return ErrorKind::Io;
  }
  switch (
      open_at(handle->directory, kMetaName, OpenMode::kOpenExistingReadOnly, &handle->meta_file)) {
    case OpenFailure::kNone:
      break;
    case OpenFailure::kNotFound:
      return ErrorKind::NotFound;
    default:
      return ErrorKind::Io;
  }
  switch (try_lock_first_byte(handle->meta_file, LockMode::kShared)) {
    case LockOutcome::kGranted:
      break;
    case LockOutcome::kBusy:
      return ErrorKind::Busy;
    default:
      return ErrorKind::Io;
  }

  TAVRILL_RETURN_IF_ERROR(
      read_exact_at(handle->meta_file, handle->header, kHeaderSize, 0, ErrorKind::InvalidFormat));
  const StoreHeader header = decode_header(handle->header);
  if (!header_fields_valid(header)) return ErrorKind::InvalidFormat;
  TAVRILL_RETURN_IF_ERROR(check_directory_entries(*handle.get(), header.data_shards));

  handle->data_shards = header.data_shards;
  for (uint64_t s = 0; s < kMaxShards; ++s) {
    if (s >= header.data_shards && header.shard_lengths[s] != 0) return ErrorKind::InvalidFormat;
    handle->shard_lengths[s].store(header.shard_lengths[s], std::memory_order_relaxed);
  }
  TAVRILL_RETURN_IF_ERROR(open_shards(handle.get(), header));

  if (!record_count_fits_index(header.record_count)) return ErrorKind::InvalidFormat;
  const Result<uint64_t> meta_size = file_size(handle->meta_file);
  if (!meta_size.ok()) return meta_size.kind();
  if (meta_size.value() < index_entry_position(header.record_count)) {
    return ErrorKind::InvalidFormat;
  }

  handle->schema_len = header.schema_len;
  handle->codec = header.codec;
  if (schema_capacity < header.schema_len) return ErrorKind::BufferTooSmall;
  std::memcpy(schema_ptr, handle->header + kSchemaOffset, header.schema_len);
  handle->record_count.store(header.record_count, std::memory_order_relaxed);

  TAVRILL_RETURN_IF_ERROR(read_dictionary(handle.get()));
  if (schema_len_out != nullptr) *schema_len_out = header.schema_len;
  return handle.release();
}

template <typename T>
T* report(const Result<T*>& result, int32_t* code) {
  if (result.ok()) return result.value();
  if (code != nullptr) *code = error_code(result.kind());
  return nullptr;
}

}  // namespace

StoreHandle::~StoreHandle() {
  if (cdict != nullptr) ZSTD_freeCDict(cdict);
  if (ddict != nullptr) ZSTD_freeDDict(ddict);
  for (File& shard : shard_files) shard.reset();
  meta_file.reset();
  directory.reset();
}

StoreHandle* store_create(ExecutorHandle* executor, const uint8_t* path_ptr, uint64_t path_len,
                          uint8_t codec, uint8_t data_shards, const uint8_t* dict_ptr,
                          uint64_t dict_len, const uint8_t* schema_ptr, uint64_t schema_len,
                          int32_t* code) noexcept {
  return report(create_store(executor, path_ptr, path_len, codec, data_shards, dict_ptr, dict_len,
                             schema_ptr, schema_len),
                code);
}

StoreHandle* store_open(ExecutorHandle* executor, const uint8_t* path_ptr, uint64_t path_len,
                        uint8_t* schema_ptr, uint64_t schema_capacity, uint64_t* schema_len,
                        int32_t* code) noexcept {
  return report(open_store(executor, path_ptr, path_len, schema_ptr, schema_capacity, schema_len),
                code);
}

int32_t store_sync(StoreHandle* handle) noexcept {
  MutexLock lock(handle->mutex);
  // Cut off what failed commits left past the committed ends; a read-only handle fails here,
  // on shard 0, before anything is written.
  for (unsigned s = 0; s < handle->data_shards; ++s) {
    const uint64_t length = handle->shard_lengths[s].load(std::memory_order_relaxed);
    if (!set_file_end(handle->shard_files[s], length).ok()) return ERR_IO;
  }
  // The mutex excludes commits, so relaxed loads see their final values.
  StoreHeader header;
  header.record_count = handle->record_count.load(std::memory_order_relaxed);
  header.schema_len = handle->schema_len;
  header.data_shards = handle->data_shards;
  header.codec = handle->codec;
  for (unsigned s = 0; s < handle->data_shards; ++s) {
    header.shard_lengths[s] = handle->shard_lengths[s].load(std::memory_order_relaxed);
  }
  encode_header_fields(header, handle->header);
  return write_all_at(handle->meta_file, handle->header, kHeaderSize, 0).code();
}

void store_close(StoreHandle* handle) noexcept {
  allocator_delete(handle->executor->allocator, handle);
}

uint64_t store_length(const StoreHandle* handle) noexcept {
  return handle->record_count.load(std::memory_order_acquire);
}

uint8_t store_data_shards(const StoreHandle* handle) noexcept { return handle->data_shards; }

uint8_t store_codec(const StoreHandle* handle) noexcept { return handle->codec; }

}  // namespace tavrill
