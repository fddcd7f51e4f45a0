// Dictionary training for the zstd_dict codec. The engine only vets the sample layout; the
// training itself is the zstd builder's, with the settings its simple entry point would use.
// Safe to call from any thread: everything it allocates is the builder's, on the C heap.
#include <cstddef>
#include <cstdint>

#define ZDICT_STATIC_LINKING_ONLY
#include <zdict.h>
#include <zstd.h>

#include "engine.h"

namespace tavrill {
namespace {

// The builder takes a 32-bit sample count.
constexpr uint64_t kMaxSampleCount = 0xFFFFFFFFu;
// The builder's smallest dictionary.
constexpr uint64_t kMinDictionaryBytes = 256;

// The sample sizes cross as u64 and the builder reads them as size_t in place, without a copy.
static_assert(sizeof(std::size_t) == sizeof(uint64_t), "the engine is built for 64-bit targets");

// The sum of the sample sizes, unless it overflows 64 bits. Checking each step matters: a sum
// that wraps can land back on exactly `samples_bytes`.
Result<uint64_t> total_sample_bytes(const uint64_t* sizes, uint64_t sample_count) {
  uint64_t total = 0;
  for (uint64_t i = 0; i < sample_count; ++i) {
    if (__builtin_add_overflow(total, sizes[i], &total)) return ErrorKind::DictTrainingFailed;
  }
  return total;
}

Status check_samples(uint64_t samples_bytes, const uint64_t* sizes, uint64_t sample_count,
                     uint64_t target) {
  // Decided before `sizes` is touched: a count this large may not describe real memory.
  if (sample_count > kMaxSampleCount) return ErrorKind::DictTrainingFailed;
  const Result<uint64_t> total = total_sample_bytes(sizes, sample_count);
  TAVRILL_RETURN_IF_ERROR(total.status());
  if (total.value() != samples_bytes) return ErrorKind::DictTrainingFailed;
  if (sample_count == 0 || target < kMinDictionaryBytes) return ErrorKind::DictTrainingFailed;
  return Status::Ok();
}

ZDICT_fastCover_params_t training_parameters() {
  ZDICT_fastCover_params_t parameters{};
  parameters.d = 8;
  parameters.k = 0;  // searched by the builder
  parameters.steps = 4;
  // f, accel and splitPoint stay 0: the builder's defaults.
  parameters.nbThreads = 0;  // every candidate on the calling thread
  parameters.shrinkDict = 0;
  // Candidates are scored at the level the stores compress with.
  parameters.zParams.compressionLevel = 3;
  parameters.zParams.notificationLevel = 0;
  parameters.zParams.dictID = 0;  // derived by the builder
  return parameters;
}

Result<uint64_t> train(const uint8_t* samples, uint64_t samples_bytes, const uint64_t* sizes,
                       uint64_t sample_count, uint8_t* out, uint64_t target) {
  TAVRILL_RETURN_IF_ERROR(check_samples(samples_bytes, sizes, sample_count, target));
  ZDICT_fastCover_params_t parameters = training_parameters();
  const std::size_t size = ZDICT_optimizeTrainFromBuffer_fastCover(
      out, target, samples, reinterpret_cast<const std::size_t*>(sizes),
      static_cast<unsigned>(sample_count), &parameters);
  if (ZSTD_isError(size)) return ErrorKind::DictTrainingFailed;
  return static_cast<uint64_t>(size);
}

}  // namespace

int64_t train_dictionary(const uint8_t* samples, uint64_t samples_bytes, const uint64_t* sizes,
                         uint64_t sample_count, uint8_t* out, uint64_t target,
                         int32_t* code) noexcept {
  const Result<uint64_t> size = train(samples, samples_bytes, sizes, sample_count, out, target);
  if (size.ok()) return static_cast<int64_t>(size.value());
  if (code != nullptr) *code = error_code(size.kind());
  return -1;
}

}  // namespace tavrill
