#include "channel/random.h"

namespace quorvin {

Seed device_seed() {
  std::random_device device;
  return static_cast<Seed>(device());
}

std::mt19937 make_engine(std::optional<Seed> seed) {
  return std::mt19937(seed ? *seed : device_seed());
}

}  // namespace quorvin
