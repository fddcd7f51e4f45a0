// The three fillers, on unsigned 64-bit values with 128-bit products where positions need them.
// Each loop is shaped for throughput; the values are exactly those of the plain formulas.

// The vector instances of mix64 and CyclePermutation::pass return vectors by value, which GCC
// flags as an ABI hazard outside AVX-512 code; they are always inlined into the AVX-512 function
// and never called across a boundary, so there is no ABI to disagree on.
#pragma GCC diagnostic ignored "-Wpsabi"

#include "fillers.h"

namespace tavrill::sampler {
namespace {

using u128 = unsigned __int128;

u128 wide_product(uint64_t a, uint64_t b) { return static_cast<u128>(a) * b; }
uint64_t high64(u128 value) { return static_cast<uint64_t>(value >> 64); }
uint64_t low64(u128 value) { return static_cast<uint64_t>(value); }

// A keyed Feistel network of four rounds on 2 × half bits, the smallest even width that holds
// every value below `length`; walking a value's cycle until it falls below `length` makes it a
// permutation of [0, length). Needs length >= 2.
class CyclePermutation final {
 public:
  CyclePermutation(uint64_t length, uint64_t cycle, uint64_t seed)
      : length_(length),
        half_((64 - __builtin_clzll(length - 1) + 1) / 2),
        mask_((uint64_t{1} << half_) - 1) {
    const uint64_t key = mix64((cycle * kG) ^ seed);
    for (uint64_t round = 0; round < 4; ++round) keys_[round] = key ^ (round * kW);
  }

  uint64_t length() const { return length_; }

  // One pass through the network, of one value or of a vector of them; the result may lie at or
  // above `length`.
  template <typename Value>
  [[gnu::always_inline]] Value pass(const Value& x) const {
    Value left = x >> half_;
    Value right = x & mask_;
    left = (left ^ round(right, keys_[0])) & mask_;
    right = (right ^ round(left, keys_[1])) & mask_;
    left = (left ^ round(right, keys_[2])) & mask_;
    right = (right ^ round(left, keys_[3])) & mask_;
    return (left << half_) | right;
  }

 private:
  template <typename Value>
  [[gnu::always_inline]] static Value round(const Value& value, uint64_t key) {
    return mix64((value * kG) ^ key);
  }

  const uint64_t length_;
  const int half_;
  const uint64_t mask_;
  uint64_t keys_[4];
};

// Eight values as one vector, for processors that multiply eight 64-bit lanes at once.
typedef uint64_t EightValues __attribute__((vector_size(64)));
constexpr uint64_t kVectorWidth = 8;

// Positions per block; the values still walking and their slots live on the stack (6 KiB).
constexpr uint64_t kBlock = 512;

// values[i] = pass(values[i]) for i < count; with `kVectors`, whole groups of eight as vectors.
// The scalar tail is the same template as the vector body, so processors that take the vector
// road run both.
template <bool kVectors>
[[gnu::always_inline]] inline void pass_all(const CyclePermutation& permutation, uint64_t* values,
                                            uint64_t count) {
  uint64_t i = 0;
  if constexpr (kVectors) {
    for (; i + kVectorWidth <= count; i += kVectorWidth) {
      EightValues lanes;
      __builtin_memcpy(&lanes, values + i, sizeof lanes);
      lanes = permutation.pass(lanes);
      __builtin_memcpy(values + i, &lanes, sizeof lanes);
    }
  }
  for (; i < count; ++i) values[i] = permutation.pass(values[i]);
}

// out[i] = pass(first + i) for i < count, like pass_all over consecutive positions.
template <bool kVectors>
[[gnu::always_inline]] inline void pass_positions(const CyclePermutation& permutation,
                                                  uint64_t first, uint64_t count, uint64_t* out) {
  uint64_t i = 0;
  if constexpr (kVectors) {
    EightValues positions = EightValues{0, 1, 2, 3, 4, 5, 6, 7} + first;
    for (; i + kVectorWidth <= count; i += kVectorWidth) {
      const EightValues lanes = permutation.pass(positions);
      __builtin_memcpy(out + i, &lanes, sizeof lanes);
      positions += kVectorWidth;
    }
  }
  for (; i < count; ++i) out[i] = permutation.pass(first + i);
}

// indices[i] = the permutation of first + i, for i < count.
//
// Walking one position at a time, each would wait on its own chain of passes (about 75 dependent
// cycles each), and the test that ends a walk is a coin toss the branch predictor loses whenever
// the network's domain is much larger than `length`. So a block of positions takes each pass
// together, free of branches and of dependencies between positions: the first pass straight
// into `indices`, then the values that are still at or above `length` are packed into a list
// that walks on, one pass per round, and is packed again after each round. A walking value is
// stored to its slot after every pass; the last store, the one that landed, stays.
template <bool kVectors>
[[gnu::always_inline]] inline void permute_blocks(const CyclePermutation& permutation,
                                                  uint64_t first, uint64_t count,
                                                  uint64_t* indices) {
  uint64_t values[kBlock];
  uint32_t slots[kBlock];
  for (uint64_t done = 0; done < count; done += kBlock) {
    const uint64_t size = count - done < kBlock ? count - done : kBlock;
    uint64_t* out = indices + done;
    pass_positions<kVectors>(permutation, first + done, size, out);
    uint64_t walking = 0;
    for (uint64_t i = 0; i < size; ++i) {
      values[walking] = out[i];
      slots[walking] = static_cast<uint32_t>(i);
      walking += out[i] >= permutation.length();
    }
    while (walking > 0) {
      pass_all<kVectors>(permutation, values, walking);
      const uint64_t walked = walking;
      walking = 0;
      for (uint64_t i = 0; i < walked; ++i) {
        const uint64_t value = values[i];
        const uint32_t slot = slots[i];
        out[slot] = value;
        values[walking] = value;
        slots[walking] = slot;
        walking += value >= permutation.length();
      }
    }
  }
}

#if defined(__x86_64__)
[[gnu::target("avx512f,avx512dq")]] void permute_with_avx512(const CyclePermutation& permutation,
                                                             uint64_t first, uint64_t count,
                                                             uint64_t* indices) {
  permute_blocks<true>(permutation, first, count, indices);
}
#endif

void permute_portably(const CyclePermutation& permutation, uint64_t first, uint64_t count,
                      uint64_t* indices) {
  permute_blocks<false>(permutation, first, count, indices);
}

// Eight 64-bit multiplications per instruction where the processor has them; elsewhere one value
// at a time, which beats vector multiplies built from 32-bit ones.
void permute_positions(const CyclePermutation& permutation, uint64_t first, uint64_t count,
                       uint64_t* indices) {
#if defined(__x86_64__)
  if (__builtin_cpu_supports("avx512dq")) {
    permute_with_avx512(permutation, first, count, indices);
    return;
  }
#endif
  permute_portably(permutation, first, count, indices);
}

}  // namespace

void fill_sequential(uint64_t length, uint64_t batch_size, uint64_t step, uint64_t* indices) {
  // One 128-bit modulo for the whole batch; after it the values only count up and wrap to 0,
  // in runs plain enough for the compiler to vectorise.
  uint64_t value = static_cast<uint64_t>(wide_product(step, batch_size) % length);
  uint64_t written = 0;
  while (written < batch_size) {
    const uint64_t left = batch_size - written;
    const uint64_t run = length - value < left ? length - value : left;
    uint64_t* out = indices + written;
    for (uint64_t i = 0; i < run; ++i) out[i] = value + i;
    written += run;
    value = 0;
  }
}

void fill_iid(uint64_t length, uint64_t batch_size, uint64_t seed, uint64_t step,
              uint64_t* indices) {
  // Draws whose low half falls below this would make some results more likely than others.
  const uint64_t threshold = (0 - length) % length;
  const u128 position = wide_product(step, batch_size);
  uint64_t position_high = high64(position);
  uint64_t position_low = low64(position);
  uint64_t counter_seed = mix64((position_high * kG) ^ seed);
  // position_low × G, advanced by addition: both wrap modulo 2^64 alike.
  uint64_t scaled_low = position_low * kG;
  for (uint64_t i = 0; i < batch_size; ++i) {
    const uint64_t h = scaled_low ^ counter_seed;
    u128 scaled = wide_product(mix64(h), length);
    if (__builtin_expect(low64(scaled) < threshold, 0)) {
      uint64_t salt = kW;
      do {
        scaled = wide_product(mix64(h ^ salt), length);
        salt += kW;
      } while (low64(scaled) < threshold);
    }
    indices[i] = high64(scaled);
    scaled_low += kG;
    if (__builtin_expect(++position_low == 0, 0)) {
      counter_seed = mix64((++position_high * kG) ^ seed);
    }
  }
}

uint64_t fill_cyclic(uint64_t length, uint64_t batch_size, uint64_t seed, uint64_t step,
                     uint64_t* indices) {
  // The last length mod batch_size positions of each cycle are never handed out, so that every
  // batch is whole; a data set smaller than one batch is one short batch per cycle.
  const uint64_t usable_len = length < batch_size ? length : length - length % batch_size;
  const uint64_t steps_per_cycle = batch_size <= usable_len ? usable_len / batch_size : 1;
  const uint64_t cycle = step / steps_per_cycle;
  const uint64_t cursor = (step % steps_per_cycle) * batch_size;
  const uint64_t count = usable_len - cursor < batch_size ? usable_len - cursor : batch_size;
  if (length < 2) {
    for (uint64_t i = 0; i < count; ++i) indices[i] = 0;
  } else {
    permute_positions(CyclePermutation(length, cycle, seed), cursor, count, indices);
  }
  return count;
}

}  // namespace tavrill::sampler
