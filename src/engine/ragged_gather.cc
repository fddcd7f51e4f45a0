#include "ragged_gather.h"

#include <cstring>

#include "codec_context.h"
#include "executor.h"
#include "frame_decode.h"
#include "locate.h"
#include "store.h"

namespace tavrill {
namespace {

// A plan's stored_ends (8 bytes a record) cannot be allocated past this.
constexpr uint64_t kMaxPlanRequest = uint64_t{1} << 61;

// A plan that fails while it is being made is freed like any other.
using PlanUnderConstruction = RecordUnderConstruction<RaggedPlan, ragged_plan_free>;

// Turns the located decoded sizes in `ends` into running value ends, in request order. A record
// must keep at least one value byte after its header.
Result<uint64_t> accumulate_value_ends(uint64_t* ends, uint64_t n, uint64_t header_len) {
  uint64_t data_total = 0;
  for (uint64_t i = 0; i < n; ++i) {
    if (ends[i] <= header_len) return ErrorKind::DecodeFailed;
    if (__builtin_add_overflow(data_total, ends[i] - header_len, &data_total)) {
      return ErrorKind::StoreFull;
    }
    ends[i] = data_total;
  }
  return data_total;
}

Result<RaggedPlan*> create_plan(StoreHandle* store, const uint64_t* idxs, uint64_t n,
                                uint64_t header_len, uint64_t* ends) {
  if (n >= kMaxPlanRequest) return ErrorKind::OutOfMemory;
  const Allocator allocator = store->executor->allocator;
  RaggedPlan* fresh = allocator_new<RaggedPlan>(allocator);
  if (fresh == nullptr) return ErrorKind::OutOfMemory;
  PlanUnderConstruction plan(fresh);
  plan->allocator = allocator;
  plan->store = store;
  plan->idxs = idxs;
  plan->n = n;
  plan->header_len = header_len;
  TAVRILL_RETURN_IF_ERROR(plan->stored_ends.allocate(allocator, n));

  uint64_t* stored_ends = plan->stored_ends.data();
  TAVRILL_RETURN_IF_ERROR(locate_records(store, idxs, n, ends, n, stored_ends, n));
  const Result<uint64_t> stored_total = stored_lengths_to_ends(stored_ends, n);
  TAVRILL_RETURN_IF_ERROR(stored_total.status());
  const Result<uint64_t> data_total = accumulate_value_ends(ends, n, header_len);
  TAVRILL_RETURN_IF_ERROR(data_total.status());
  uint64_t headers_bytes = 0;
  uint64_t decoded_total = 0;
  if (__builtin_mul_overflow(n, header_len, &headers_bytes) ||
      __builtin_add_overflow(headers_bytes, data_total.value(), &decoded_total)) {
    return ErrorKind::StoreFull;
  }
  plan->stored_total = stored_total.value();
  plan->data_total = data_total.value();
  plan->decoded_total = decoded_total;
  return plan.release();
}

// Whether the caller's value ends never go back and, after n headers, fill the output exactly.
// The compressed path places decoded bytes by them, so they must not reach outside it.
bool value_ends_fit(const uint64_t* ends, uint64_t n, uint64_t header_len, uint64_t output_length) {
  if (n == 0) return true;
  uint64_t headers_bytes = 0;
  if (__builtin_mul_overflow(n, header_len, &headers_bytes) || headers_bytes > output_length) {
    return false;
  }
  uint64_t previous = 0;
  for (uint64_t i = 0; i < n; ++i) {
    if (ends[i] < previous) return false;
    previous = ends[i];
  }
  return previous == output_length - headers_bytes;
}

// Shared by the decode tasks of one stage; they write only their own records' ranges of
// `output` and `first_error`. With header_len 0 the output is the values region itself.
struct RaggedDecodeStage {
  ExecutorHandle* executor;
  const ZSTD_DDict* ddict;
  FrameRun frames;
  uint8_t* output;
  const uint64_t* ends;
  uint64_t header_len;
  FirstError first_error;

  FrameTarget target(uint64_t i) const {
    const uint64_t begin = i == 0 ? 0 : ends[i - 1];
    return FrameTarget{output + i * header_len + begin, header_len + ends[i] - begin};
  }
};

void decode_ragged_zstd(RaggedDecodeStage* stage, uint32_t task, uint32_t task_count) {
  decode_frames_task<CODEC_ZSTD>(stage, task, task_count);
}

void decode_ragged_zstd_dict(RaggedDecodeStage* stage, uint32_t task, uint32_t task_count) {
  decode_frames_task<CODEC_ZSTD_DICT>(stage, task, task_count);
}

Status run_ragged_decode(StoreHandle* store, const FrameRun& frames, uint8_t* output,
                         uint64_t output_length, const uint64_t* ends, uint64_t header_len) {
  if (!frame_ends_consistent(frames)) return ErrorKind::DecodeFailed;
  if (!value_ends_fit(ends, frames.n, header_len, output_length)) return ErrorKind::DecodeFailed;
  // The writing handle of a dictionary store carries the ddict digested at create, so both kinds
  // of handle decode with the store's own dictionary.
  RaggedDecodeStage stage{store->executor, store->ddict, frames, output, ends, header_len, {}};
  if (store->codec == CODEC_ZSTD_DICT) {
    return run_stage<decode_ragged_zstd_dict>(*store->executor, frames.n, stage);
  }
  return run_stage<decode_ragged_zstd>(*store->executor, frames.n, stage);
}

// From the decode area (whole records back to back) to the caller's headers and values regions.
void copy_apart(const uint8_t* area, uint64_t n, uint64_t header_len, const uint64_t* ends,
                uint8_t* dst, uint64_t values_offset) {
  uint64_t begin = 0;
  for (uint64_t i = 0; i < n; ++i) {
    const uint8_t* record = area + i * header_len + begin;
    std::memcpy(dst + i * header_len, record, header_len);
    std::memcpy(dst + values_offset + begin, record + header_len, ends[i] - begin);
    begin = ends[i];
  }
}

Status gather_compressed(const RaggedPlan& plan, uint8_t* dst, uint64_t values_offset,
                         const uint64_t* ends) {
  const uint64_t header_len = plan.header_len;
  const uint64_t area_bytes = header_len != 0 ? plan.decoded_total : 0;
  uint64_t scratch_bytes = 0;
  if (__builtin_add_overflow(plan.stored_total, area_bytes, &scratch_bytes)) {
    return ErrorKind::StoreFull;
  }
  HeldContext scratch(plan.store->executor, HeldContext::HandBack::kRelease);
  if (!scratch.acquire().ok()) return ErrorKind::OutOfMemory;
  TAVRILL_RETURN_IF_ERROR(ensure_scratch(scratch.get(), scratch_bytes));
  uint8_t* frames = scratch->scratch.data;
  TAVRILL_RETURN_IF_ERROR(
      read_records(plan.store, plan.idxs, plan.n, ByteSpan{frames, plan.stored_total}, 0, 0));
  const uint64_t* stored_ends = plan.stored_ends.data();
  if (header_len == 0) {
    return decode_ragged_values(plan.store, frames, plan.stored_total, stored_ends, plan.n,
                                dst + values_offset, plan.data_total, ends);
  }
  // A frame holds header and values together, so records decode into scratch first; dst is
  // written only once every record has decoded.
  uint8_t* area = frames + plan.stored_total;
  TAVRILL_RETURN_IF_ERROR(decode_ragged_records(plan.store, frames, plan.stored_total, stored_ends,
                                                plan.n, area, plan.decoded_total, ends,
                                                header_len));
  copy_apart(area, plan.n, header_len, ends, dst, values_offset);
  return Status::Ok();
}

Status gather(const RaggedPlan& plan, uint8_t* dst, uint64_t values_end, uint64_t values_offset,
              const uint64_t* ends) {
  uint64_t headers_bytes = 0;
  uint64_t values_stop = 0;
  if (__builtin_mul_overflow(plan.n, plan.header_len, &headers_bytes) ||
      __builtin_add_overflow(values_offset, plan.data_total, &values_stop)) {
    return ErrorKind::StoreFull;
  }
  if (headers_bytes > values_end || values_offset < headers_bytes || values_stop > values_end) {
    return ErrorKind::BufferTooSmall;
  }
  if (plan.store->codec == CODEC_RAW) {
    // Stored bytes are the records: headers and values go straight from the shards into place.
    // The span stops where the plan's values end, which is as far as the caller sized for.
    return read_records(plan.store, plan.idxs, plan.n, ByteSpan{dst, values_stop}, plan.header_len,
                        values_offset);
  }
  return gather_compressed(plan, dst, values_offset, ends);
}

}  // namespace

Status decode_ragged_values(StoreHandle* store, const uint8_t* frames, uint64_t stored_total,
                            const uint64_t* stored_ends, uint64_t n, uint8_t* output,
                            uint64_t output_length, const uint64_t* ends) {
  return run_ragged_decode(store, FrameRun{frames, stored_total, stored_ends, n}, output,
                           output_length, ends, 0);
}

Status decode_ragged_records(StoreHandle* store, const uint8_t* frames, uint64_t stored_total,
                             const uint64_t* stored_ends, uint64_t n, uint8_t* output,
                             uint64_t output_length, const uint64_t* ends, uint64_t header_len) {
  return run_ragged_decode(store, FrameRun{frames, stored_total, stored_ends, n}, output,
                           output_length, ends, header_len);
}

RaggedPlan* ragged_plan_create(StoreHandle* handle, const uint64_t* idxs, uint64_t n,
                               uint64_t header_len, uint64_t* ends, int32_t* code) noexcept {
  const Result<RaggedPlan*> plan = create_plan(handle, idxs, n, header_len, ends);
  if (plan.ok()) return plan.value();
  if (code != nullptr) *code = error_code(plan.kind());
  return nullptr;
}

uint64_t ragged_plan_values_bytes(const RaggedPlan* plan) noexcept { return plan->data_total; }

int32_t ragged_plan_gather(RaggedPlan* plan, uint8_t* dst, uint64_t values_end,
                           uint64_t values_offset, const uint64_t* ends) noexcept {
  return gather(*plan, dst, values_end, values_offset, ends).code();
}

void ragged_plan_free(RaggedPlan* plan) noexcept {
  // The plan's own copy of the allocator dies with it, so free through a copy.
  const Allocator allocator = plan->allocator;
  allocator_delete(allocator, plan);
}

}  // namespace tavrill
