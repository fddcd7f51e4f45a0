// The index fillers behind tavrill._sampler, free of Python. Each computes batch `step` of size
// `batch_size` from its arguments alone, so any batch of any pass can be recomputed on its own,
// on any thread, in any order. Every function is safe to call from any thread at once; each
// writes only the `indices` it is given and allocates nothing.
#ifndef TAVRILL_SAMPLER_FILLERS_H_
#define TAVRILL_SAMPLER_FILLERS_H_

#include <cstdint>

namespace tavrill::sampler {

// Multiplier of positions, cycle numbers and half-blocks before they are mixed.
inline constexpr uint64_t kG = 0x9E3779B97F4A7C15;
// The two multipliers of mix64.
inline constexpr uint64_t kM1 = 0xBF58476D1CE4E5B9;
inline constexpr uint64_t kM2 = 0x94D049BB133111EB;
// Step between retry salts (fill_iid) and between round keys (fill_cyclic).
inline constexpr uint64_t kW = 0xD1B54A32D192ED03;

// A bijection on 64-bit values whose every output bit depends on every input bit; products wrap
// modulo 2^64. `Value` is uint64_t or a vector of them, mixed lane by lane.
template <typename Value>
[[gnu::always_inline]] constexpr Value mix64(const Value& input) {
  Value x = (input ^ (input >> 30)) * kM1;
  x = (x ^ (x >> 27)) * kM2;
  return x ^ (x >> 31);
}

// Entry i is (step × batch_size + i) mod length, the products and sums exact. Needs length > 0;
// writes batch_size entries.
void fill_sequential(uint64_t length, uint64_t batch_size, uint64_t step, uint64_t* indices);

// Entry i is an unbiased draw from [0, length) that depends only on `seed` and the 128-bit
// position step × batch_size + i. Needs length > 0; writes batch_size entries.
void fill_iid(uint64_t length, uint64_t batch_size, uint64_t seed, uint64_t step,
              uint64_t* indices);

// Batch `step` of a walk through [0, length) in cycles, each cycle a seeded permutation cut into
// whole batches. Needs batch_size > 0. Returns the number of entries written, which is below
// batch_size only for a short batch (length < batch_size) and 0 when length is 0; the entries
// after them are left as they were.
uint64_t fill_cyclic(uint64_t length, uint64_t batch_size, uint64_t seed, uint64_t step,
                     uint64_t* indices);

}  // namespace tavrill::sampler

#endif  // TAVRILL_SAMPLER_FILLERS_H_
