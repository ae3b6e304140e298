#pragma once
// The random engines of the symbol and noise stages. Each call that draws makes its own engine;
// none is shared or kept. An explicit seed makes a call reproducible; without one the engine is
// seeded from the platform's non-deterministic device.

#include <cstdint>
#include <optional>
#include <random>

namespace quorvin {

using Seed = std::uint32_t;

// One 32-bit value from std::random_device.
Seed device_seed();

// A fresh 32-bit Mersenne Twister, seeded through its single-integer constructor with `seed`,
// or with device_seed() when no seed is given.
std::mt19937 make_engine(std::optional<Seed> seed);

}  // namespace quorvin
