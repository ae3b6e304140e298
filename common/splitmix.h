#pragma once
// SplitMix64, the small mixing function behind the run's per-file seeds and the writer's nonces.

#include <cstdint>

namespace quorvin {

// One SplitMix64 step: adds the golden-ratio increment and scrambles the bits, so nearby inputs
// give unrelated outputs.
constexpr std::uint64_t splitmix64(std::uint64_t z) {
  z += 0x9E3779B97F4A7C15ull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

}  // namespace quorvin
