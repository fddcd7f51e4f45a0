// The engine's flat entry points and the records shared with the _store module. This is the only
// engine header the module includes. No entry point throws; failures come back as the negative
// codes of errors.h, either as the result or through a `code` out-parameter that the caller
// presets (it is written only on failure and skipped when null).
#ifndef TAVRILL_ENGINE_ENGINE_H_
#define TAVRILL_ENGINE_ENGINE_H_

#include <cstdint>

#include "errors.h"

namespace tavrill {

inline constexpr uint8_t CODEC_RAW = 0;
inline constexpr uint8_t CODEC_ZSTD = 1;
inline constexpr uint8_t CODEC_ZSTD_DICT = 2;

// Opaque to the module.
struct ExecutorHandle;
struct StoreHandle;
struct RaggedPlan;

// One ragged record, built by the module and only read by the engine: the record's bytes are the
// header bytes followed by the value bytes.
struct RaggedSlice {
  uint64_t header_ptr;
  uint64_t header_len;
  uint64_t values_ptr;
  uint64_t values_len;
};
static_assert(sizeof(RaggedSlice) == 32);

// Executor: worker threads (at most `lanes`, 0 meaning 1), the codec-context pool and the
// allocator of every store made with it. Every store made with an executor is closed before it.
ExecutorHandle* executor_create(uint32_t lanes, int32_t* code) noexcept;
// Returns after every queued task has run and every worker has been joined.
void executor_close(ExecutorHandle* executor) noexcept;

// A new store directory and its only writable handle (exclusive lock on meta.qv).
StoreHandle* store_create(ExecutorHandle* executor, const uint8_t* path_ptr, uint64_t path_len,
                          uint8_t codec, uint8_t data_shards, const uint8_t* dict_ptr,
                          uint64_t dict_len, const uint8_t* schema_ptr, uint64_t schema_len,
                          int32_t* code) noexcept;
// A read-only handle on an existing store (shared lock); its schema is copied to schema_ptr.
StoreHandle* store_open(ExecutorHandle* executor, const uint8_t* path_ptr, uint64_t path_len,
                        uint8_t* schema_ptr, uint64_t schema_capacity, uint64_t* schema_len,
                        int32_t* code) noexcept;
// 0 or ERR_IO.
int32_t store_sync(StoreHandle* handle) noexcept;
void store_close(StoreHandle* handle) noexcept;
uint64_t store_length(const StoreHandle* handle) noexcept;
uint8_t store_data_shards(const StoreHandle* handle) noexcept;
uint8_t store_codec(const StoreHandle* handle) noexcept;

// Appends: the index of the first new record, or a negative code.
int64_t store_dense_append(StoreHandle* handle, const uint8_t* cpu_pointer, uint64_t record_bytes,
                           uint64_t record_count) noexcept;
int64_t store_ragged_append(StoreHandle* handle, const RaggedSlice* records, uint64_t record_count,
                            uint64_t decoded_total) noexcept;

// Gathers: 0 or a negative code.
int32_t store_dense_gather(StoreHandle* handle, const uint64_t* idxs, uint64_t n, uint8_t* dst,
                           uint64_t record_bytes) noexcept;
RaggedPlan* ragged_plan_create(StoreHandle* handle, const uint64_t* idxs, uint64_t n,
                               uint64_t header_len, uint64_t* ends, int32_t* code) noexcept;
uint64_t ragged_plan_values_bytes(const RaggedPlan* plan) noexcept;
int32_t ragged_plan_gather(RaggedPlan* plan, uint8_t* dst, uint64_t values_end,
                           uint64_t values_offset, const uint64_t* ends) noexcept;
void ragged_plan_free(RaggedPlan* plan) noexcept;

// The dictionary's size, or -1 with ERR_DICT_TRAINING_FAILED written through `code`.
int64_t train_dictionary(const uint8_t* samples, uint64_t samples_bytes, const uint64_t* sizes,
                         uint64_t sample_count, uint8_t* out, uint64_t target,
                         int32_t* code) noexcept;

}  // namespace tavrill

#endif  // TAVRILL_ENGINE_ENGINE_H_
