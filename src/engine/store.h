// The engine record behind one Python Store.
#ifndef TAVRILL_ENGINE_STORE_H_
#define TAVRILL_ENGINE_STORE_H_

#include <zstd.h>

#include <atomic>
#include <cstdint>

#include "engine.h"
#include "executor.h"
#include "format.h"
#include "platform/file.h"
#include "platform/futex.h"

namespace tavrill {

// Made by store_create (writable: files read-write, exclusive lock) or store_open (read-only:
// files read-only, shared lock), freed by store_close through its executor's allocator.
//
// Thread safety: any number of gathers and appends may use one handle at once. `shard_lengths`
// and `record_count` change only inside a commit, under `mutex`, and are published with release
// stores (lengths first, then the count) so that lock-free readers that load the count first and
// the lengths after (acquire) never see a count that runs ahead of its bytes. `mutex` is also
// taken by sync. Everything else is fixed once the handle is returned. store_close must not
// overlap any other call on the handle.
struct StoreHandle {
  explicit StoreHandle(ExecutorHandle* owner) : executor(owner) {}
  // Frees the dictionaries, then closes the shard files in order, meta.qv (ending the lock) and
  // the directory.
  ~StoreHandle();
  StoreHandle(const StoreHandle&) = delete;
  StoreHandle& operator=(const StoreHandle&) = delete;

  ExecutorHandle* executor;
  File directory;
  File meta_file;  // holds the store's byte-0 lock
  File shard_files[kMaxShards];
  std::atomic<uint64_t> shard_lengths[kMaxShards] = {};
  std::atomic<uint64_t> record_count{0};
  Mutex mutex;
  uint16_t schema_len = 0;
  uint8_t header[kHeaderSize] = {};  // image of the header; the schema blob lives only here
  uint8_t data_shards = 0;
  uint8_t codec = CODEC_RAW;
  // Digested dictionaries of a zstd_dict store (null for the other codecs). The writing handle
  // keeps both, so that gathers through it decode its own records; a reading handle only ddict.
  ZSTD_CDict* cdict = nullptr;
  ZSTD_DDict* ddict = nullptr;
};

}  // namespace tavrill

#endif  // TAVRILL_ENGINE_STORE_H_
