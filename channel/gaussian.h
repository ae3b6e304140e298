#pragma once
// The exact model's random source: xoshiro256** for uniform bits and Marsaglia's polar method for
// normal deviates. Both are defined here to the bit, so a seed gives the same draws with every
// standard library (std::normal_distribution's algorithm is the library's own choice).

#include <cstdint>

#include "common/splitmix.h"

namespace quorvin {

class GaussianSource {
 public:
  // The four state words from SplitMix64 steps of the seed, as xoshiro's authors advise.
  explicit GaussianSource(std::uint64_t seed) {
    for (std::uint64_t& word : state_) word = seed = splitmix64(seed);
  }

  std::uint64_t next_bits() {
    const std::uint64_t result = rotl(state_[1] * 5, 7) * 9;
    const std::uint64_t t = state_[1] << 17;
    state_[2] ^= state_[0];
    state_[3] ^= state_[1];
    state_[1] ^= state_[2];
    state_[0] ^= state_[3];
    state_[2] ^= t;
    state_[3] = rotl(state_[3], 45);
    return result;
  }

  // Uniform in [0, 1), 53 bits.
  double next_uniform() { return static_cast<double>(next_bits() >> 11) * 0x1.0p-53; }

  // Two independent standard normal deviates (polar method).
  void next_normal_pair(double& first, double& second);

 private:
  static std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
  std::uint64_t state_[4] = {};
};

}  // namespace quorvin
