// The three fillers, on unsigned 64-bit values with 128-bit products where positions need them.
#include "fillers.h"

namespace tavrill::sampler {
namespace {

using u128 = unsigned __int128;

u128 wide_product(uint64_t a, uint64_t b) { return static_cast<u128>(a) * b; }
uint64_t high64(u128 value) { return static_cast<uint64_t>(value >> 64); }
uint64_t low64(u128 value) { return static_cast<uint64_t>(value); }

}  // namespace

void fill_sequential(uint64_t length, uint64_t batch_size, uint64_t step, uint64_t* indices) {
  const uint64_t remainder = static_cast<uint64_t>(wide_product(step, batch_size) % length);
  for (uint64_t i = 0; i < batch_size; ++i) {
    indices[i] = static_cast<uint64_t>((static_cast<u128>(remainder) + i) % length);
  }
}

void fill_iid(uint64_t length, uint64_t batch_size, uint64_t seed, uint64_t step,
              uint64_t* indices) {
  const uint64_t threshold = (0 - length) % length;
  const u128 position = wide_product(step, batch_size);
  uint64_t position_high = high64(position);
  uint64_t position_low = low64(position);
  uint64_t counter_seed = mix64((position_high * kG) ^ seed);
  for (uint64_t i = 0; i < batch_size; ++i) {
    const uint64_t h = (position_low * kG) ^ counter_seed;
    uint64_t salt = 0;
    u128 scaled;
    do {
      scaled = wide_product(mix64(h ^ salt), length);
      salt += kW;
    } while (low64(scaled) < threshold);
    indices[i] = high64(scaled);
    if (++position_low == 0) counter_seed = mix64((++position_high * kG) ^ seed);
  }
}

uint64_t fill_cyclic(uint64_t length, uint64_t batch_size, uint64_t seed, uint64_t step,
                     uint64_t* indices) {
  const uint64_t usable_len = length < batch_size ? length : length - length % batch_size;
  const uint64_t steps_per_cycle = batch_size <= usable_len ? usable_len / batch_size : 1;
  const uint64_t cycle = step / steps_per_cycle;
  const uint64_t cursor = (step % steps_per_cycle) * batch_size;
  const uint64_t count = usable_len - cursor < batch_size ? usable_len - cursor : batch_size;
  if (count == 0) return 0;
  if (length < 2) {
    for (uint64_t i = 0; i < count; ++i) indices[i] = 0;
    return count;
  }
  const uint64_t key = mix64((cycle * kG) ^ seed);
  const uint64_t keys[4] = {key, key ^ kW, key ^ (2 * kW), key ^ (3 * kW)};
  const int bits = 64 - __builtin_clzll(length - 1);
  const int half = (bits + 1) / 2;
  const uint64_t mask = (uint64_t{1} << half) - 1;
  auto round = [](uint64_t v, uint64_t k) { return mix64((v * kG) ^ k); };
  for (uint64_t i = 0; i < count; ++i) {
    uint64_t x = cursor + i;
    do {
      const uint64_t left = x >> half;
      const uint64_t right = x & mask;
      const uint64_t left1 = (left ^ round(right, keys[0])) & mask;
      const uint64_t right1 = (right ^ round(left1, keys[1])) & mask;
      const uint64_t left2 = (left1 ^ round(right1, keys[2])) & mask;
      const uint64_t right2 = (right1 ^ round(left2, keys[3])) & mask;
      x = (left2 << half) | right2;
    } while (x >= length);
    indices[i] = x;
  }
  return count;
}

}  // namespace tavrill::sampler
