// Ragged gather: records of differing sizes, each split into a fixed-size header and its values.
// A plan measures the request first so the caller can size one destination; the gather then
// reads and decodes into it.
#ifndef TAVRILL_ENGINE_RAGGED_GATHER_H_
#define TAVRILL_ENGINE_RAGGED_GATHER_H_

#include <cstdint>

#include "engine.h"
#include "errors.h"
#include "platform/allocator.h"

namespace tavrill {

// One ragged gather, from ragged_plan_create to ragged_plan_free. Owns `stored_ends` (empty when
// n is 0); borrows the store, the caller's `idxs` (alive and unchanged until the last gather
// returns) and, through `allocator`, the store's executor. Never changed after create; one caller
// at a time.
struct RaggedPlan {
  Allocator allocator;
  StoreHandle* store = nullptr;
  const uint64_t* idxs = nullptr;
  uint64_t n = 0;
  // Entry i: end of record i's stored bytes when the n records lie back to back.
  ArrayBlock<uint64_t> stored_ends;
  uint64_t header_len = 0;
  uint64_t decoded_total = 0;  // n × header_len + data_total
  uint64_t stored_total = 0;
  uint64_t data_total = 0;  // value bytes of all n records
};

// The decode stages of a compressed ragged gather. `frames` holds the n frames back to back,
// record i's ending at stored_ends[i]; `ends` are the plan's running value ends.
//
// Values only (no header): record i's decoded bytes to output + ends[i − 1].
Status decode_ragged_values(StoreHandle* store, const uint8_t* frames, uint64_t stored_total,
                            const uint64_t* stored_ends, uint64_t n, uint8_t* output,
                            uint64_t output_length, const uint64_t* ends);
// Whole records (header then values) to output + i × header_len + ends[i − 1].
Status decode_ragged_records(StoreHandle* store, const uint8_t* frames, uint64_t stored_total,
                             const uint64_t* stored_ends, uint64_t n, uint8_t* output,
                             uint64_t output_length, const uint64_t* ends, uint64_t header_len);

}  // namespace tavrill

#endif  // TAVRILL_ENGINE_RAGGED_GATHER_H_
