#include "plan/seeds.h"

#include "common/splitmix.h"

namespace quorvin {
namespace {

std::uint64_t fnv1a64(std::string_view bytes) {
  std::uint64_t hash = 14695981039346656037ull;
  for (const char c : bytes) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 1099511628211ull;
  }
  return hash;
}

Seed low_bits(std::uint64_t value) { return static_cast<Seed>(value & 0xFFFFFFFFull); }

std::uint64_t file_key(std::uint32_t run_seed, std::string_view modulation_name, std::int32_t index) {
  return splitmix64(splitmix64(fnv1a64(modulation_name) ^ run_seed) ^ static_cast<std::uint32_t>(index));
}

}  // namespace

DigitalSeeds derive_file_seeds(std::uint32_t run_seed, std::string_view modulation_name,
                               std::int32_t index) {
  const std::uint64_t key = file_key(run_seed, modulation_name, index);
  return {low_bits(splitmix64(key ^ 1u)), low_bits(splitmix64(key ^ 2u))};
}

std::uint64_t derive_impairment_seed(std::uint32_t run_seed, std::string_view modulation_name, std::int32_t index,
                                     std::uint32_t stage) {
  return splitmix64(splitmix64(file_key(run_seed, modulation_name, index) ^ 3u) ^ stage);
}

}  // namespace quorvin
