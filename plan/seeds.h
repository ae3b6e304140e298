#pragma once
// Reproducible runs: per-file engine seeds derived from one run seed.

#include <cstdint>
#include <string_view>

#include "generator/generator.h"

namespace quorvin {

// The symbol and noise seeds of file `index` of `modulation_name` in a run seeded with
// `run_seed`. Stable across versions and platforms, independent of the order in which files are
// produced:
//   key     = mix(mix(fnv1a64(name) ^ run_seed) ^ index)
//   symbols = low 32 bits of mix(key ^ 1),  noise = low 32 bits of mix(key ^ 2)
// where mix is the SplitMix64 step and fnv1a64 the 64-bit FNV-1a hash of the name's bytes.
DigitalSeeds derive_file_seeds(std::uint32_t run_seed, std::string_view modulation_name,
                               std::int32_t index);

// The seed of the impairment draws of one file and stage (1, 2, ...): mix(mix(key ^ 3) ^ stage),
// key as above, so turning one stage on changes no other stage's values and no other file's.
std::uint64_t derive_impairment_seed(std::uint32_t run_seed, std::string_view modulation_name, std::int32_t index,
                                     std::uint32_t stage);

}  // namespace quorvin
